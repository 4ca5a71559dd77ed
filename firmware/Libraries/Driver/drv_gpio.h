// GPIO port operations.
#pragma once

#include <cstdint>

#include "device.h"

inline constexpr std::uint16_t GPIO_Pin_0 = 0x0001u;
inline constexpr std::uint16_t GPIO_Pin_1 = 0x0002u;
inline constexpr std::uint16_t GPIO_Pin_2 = 0x0004u;
inline constexpr std::uint16_t GPIO_Pin_3 = 0x0008u;
inline constexpr std::uint16_t GPIO_Pin_4 = 0x0010u;
inline constexpr std::uint16_t GPIO_Pin_5 = 0x0020u;
inline constexpr std::uint16_t GPIO_Pin_6 = 0x0040u;
inline constexpr std::uint16_t GPIO_Pin_7 = 0x0080u;
inline constexpr std::uint16_t GPIO_Pin_8 = 0x0100u;
inline constexpr std::uint16_t GPIO_Pin_9 = 0x0200u;
inline constexpr std::uint16_t GPIO_Pin_10 = 0x0400u;
inline constexpr std::uint16_t GPIO_Pin_11 = 0x0800u;
inline constexpr std::uint16_t GPIO_Pin_12 = 0x1000u;
inline constexpr std::uint16_t GPIO_Pin_13 = 0x2000u;
inline constexpr std::uint16_t GPIO_Pin_14 = 0x4000u;
inline constexpr std::uint16_t GPIO_Pin_15 = 0x8000u;

// Run-time operations: one register access each.
void GPIO_SetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
void GPIO_ResetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
void GPIO_ToggleBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
std::uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
