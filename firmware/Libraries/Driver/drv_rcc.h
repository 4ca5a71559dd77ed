// Reset and clock control: peripheral clock gates and the clock readout.
#pragma once

#include <cstddef>
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
inline constexpr std::uint32_t RCC_APB1Periph_USART2 = 0x00020000u;
inline constexpr std::uint32_t RCC_APB1Periph_USART3 = 0x00040000u;
inline constexpr std::uint32_t RCC_APB2Periph_USART1 = 0x00000010u;
inline constexpr std::uint32_t RCC_APB2Periph_USART6 = 0x00000020u;
inline constexpr std::uint32_t RCC_APB2Periph_SYSCFG = 0x00004000u;

// Clock frequencies in Hz, as the clock registers give them.
struct RCC_ClocksTypeDef {
  std::uint32_t SYSCLK_Frequency;
  std::uint32_t HCLK_Frequency;
  std::uint32_t PCLK1_Frequency;
  std::uint32_t PCLK2_Frequency;
};
static_assert(offsetof(RCC_ClocksTypeDef, SYSCLK_Frequency) == 0);
static_assert(offsetof(RCC_ClocksTypeDef, HCLK_Frequency) == 4);
static_assert(offsetof(RCC_ClocksTypeDef, PCLK1_Frequency) == 8);
static_assert(offsetof(RCC_ClocksTypeDef, PCLK2_Frequency) == 12);
static_assert(sizeof(RCC_ClocksTypeDef) == 16);

// Right shifts of the bus dividers, indexed by the CFGR prescaler fields:
// HPRE (4 bits) for the AHB; PPRE1 and PPRE2 (3 bits, the first eight
// entries) for the APB buses.
inline constexpr std::uint8_t AHBPrescTable[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};
inline constexpr std::uint8_t APBAHBPrescTable[16] = {0, 0, 0, 0, 1, 2, 3, 4, 1, 2, 3, 4, 6, 7, 8, 9};

// Oscillator frequencies of this board.
inline constexpr std::uint32_t HSI_VALUE = 16000000u;  // internal oscillator
inline constexpr std::uint32_t HSE_VALUE = 24000000u;  // crystal

void RCC_AHB1PeriphClockCmd(std::uint32_t RCC_AHB1Periph, FunctionalState NewState);
void RCC_APB1PeriphClockCmd(std::uint32_t RCC_APB1Periph, FunctionalState NewState);
void RCC_APB2PeriphClockCmd(std::uint32_t RCC_APB2Periph, FunctionalState NewState);

// Switch status (CFGR SWS): 0x00 internal oscillator, 0x04 crystal, 0x08 PLL.
std::uint8_t RCC_GetSYSCLKSource();
void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks);
