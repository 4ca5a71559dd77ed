// Interrupt controller configuration.
#pragma once

#include <cstdint>

#include "device.h"

inline constexpr std::uint32_t NVIC_PriorityGroup_0 = 0x700u;  // 0 pre-emption bits, 4 sub-priority bits
inline constexpr std::uint32_t NVIC_PriorityGroup_1 = 0x600u;  // 1 and 3
inline constexpr std::uint32_t NVIC_PriorityGroup_2 = 0x500u;  // 2 and 2
inline constexpr std::uint32_t NVIC_PriorityGroup_3 = 0x400u;  // 3 and 1
inline constexpr std::uint32_t NVIC_PriorityGroup_4 = 0x300u;  // 4 and 0

struct NVIC_InitTypeDef {
  std::uint8_t NVIC_IRQChannel;
  std::uint8_t NVIC_IRQChannelPreemptionPriority;
  std::uint8_t NVIC_IRQChannelSubPriority;
  FunctionalState NVIC_IRQChannelCmd;
};
static_assert(sizeof(NVIC_InitTypeDef) == 4);

void NVIC_PriorityGroupConfig(std::uint32_t NVIC_PriorityGroup);
void NVIC_Init(const NVIC_InitTypeDef* NVIC_InitStruct);
