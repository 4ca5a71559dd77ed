// System configuration: routing of the EXTI lines to the GPIO ports.
#pragma once

#include <cstdint>

#include "device.h"

// Port index of EXTI_PortSourceGPIOx.
inline constexpr std::uint8_t EXTI_PortSourceGPIOA = 0;
inline constexpr std::uint8_t EXTI_PortSourceGPIOB = 1;
inline constexpr std::uint8_t EXTI_PortSourceGPIOC = 2;

inline constexpr std::uint8_t EXTI_PinSource7 = 7;
inline constexpr std::uint8_t EXTI_PinSource8 = 8;

// Connects EXTI line `EXTI_PinSourcex` to that pin of port `EXTI_PortSourceGPIOx`.
void SYSCFG_EXTILineConfig(std::uint8_t EXTI_PortSourceGPIOx, std::uint8_t EXTI_PinSourcex);
