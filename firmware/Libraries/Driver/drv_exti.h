// External interrupt line operations.
#pragma once

#include <cstdint>

#include "device.h"

inline constexpr std::uint32_t EXTI_Line7 = 0x00080u;
inline constexpr std::uint32_t EXTI_Line8 = 0x00100u;

ITStatus EXTI_GetITStatus(std::uint32_t EXTI_Line);
void EXTI_ClearITPendingBit(std::uint32_t EXTI_Line);
