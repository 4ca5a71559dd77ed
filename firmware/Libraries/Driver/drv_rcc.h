// Reset and clock control: peripheral clock gates and the clock readout.
#pragma once

#include <cstdint>

#include "device.h"

inline constexpr std::uint32_t RCC_AHB1Periph_GPIOA = 0x00000001u;
inline constexpr std::uint32_t RCC_AHB1Periph_GPIOB = 0x00000002u;
inline constexpr std::uint32_t RCC_AHB1Periph_GPIOC = 0x00000004u;
inline constexpr std::uint32_t RCC_APB1Periph_TIM2 = 0x00000001u;
inline constexpr std::uint32_t RCC_APB1Periph_TIM3 = 0x00000002u;
inline constexpr std::uint32_t RCC_APB1Periph_TIM5 = 0x00000008u;
inline constexpr std::uint32_t RCC_APB1Periph_TIM6 = 0x00000010u;
inline constexpr std::uint32_t RCC_APB1Periph_SPI2 = 0x00004000u;
inline constexpr std::uint32_t RCC_APB1Periph_USART3 = 0x00040000u;
inline constexpr std::uint32_t RCC_APB2Periph_SYSCFG = 0x00004000u;

void RCC_AHB1PeriphClockCmd(std::uint32_t RCC_AHB1Periph, FunctionalState NewState);
void RCC_APB1PeriphClockCmd(std::uint32_t RCC_APB1Periph, FunctionalState NewState);
void RCC_APB2PeriphClockCmd(std::uint32_t RCC_APB2Periph, FunctionalState NewState);
