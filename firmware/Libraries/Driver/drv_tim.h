// Timer operations.
#pragma once

#include <cstdint>

#include "device.h"

inline constexpr std::uint16_t TIM_IT_Update = 0x0001u;
inline constexpr std::uint16_t TIM_IT_CC1 = 0x0002u;
inline constexpr std::uint16_t TIM_IT_CC2 = 0x0004u;
inline constexpr std::uint16_t TIM_IT_CC3 = 0x0008u;
inline constexpr std::uint16_t TIM_IT_CC4 = 0x0010u;

ITStatus TIM_GetITStatus(TIM_TypeDef* TIMx, std::uint16_t TIM_IT);
void TIM_ClearITPendingBit(TIM_TypeDef* TIMx, std::uint16_t TIM_IT);
std::uint32_t TIM_GetCapture1(TIM_TypeDef* TIMx);
std::uint32_t TIM_GetCapture2(TIM_TypeDef* TIMx);
