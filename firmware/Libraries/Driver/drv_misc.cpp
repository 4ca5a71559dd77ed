#include "drv_misc.h"

// The whole register is written: the key 0x05FA makes the write take effect,
// every other writable bit is 0.
void NVIC_PriorityGroupConfig(std::uint32_t NVIC_PriorityGroup) {
  SCB->AIRCR = AIRCR_VECTKEY_MASK | NVIC_PriorityGroup;
}

void NVIC_Init(NVIC_InitTypeDef* NVIC_InitStruct) {
  const std::uint8_t channel = NVIC_InitStruct->NVIC_IRQChannel;
  const std::uint32_t enable_bit = 1u << (channel & 0x1Fu);
  if (NVIC_InitStruct->NVIC_IRQChannelCmd != DISABLE) {
    // The grouping in force decides how many bits each part gets.
    const std::uint32_t preemption_bits = (0x700u - (SCB->AIRCR & 0x700u)) >> 8;
    const std::uint32_t sub_bits = 4u - preemption_bits;
    const std::uint32_t sub_mask = 0x0Fu >> preemption_bits;
    std::uint32_t priority = static_cast<std::uint32_t>(NVIC_InitStruct->NVIC_IRQChannelPreemptionPriority) << sub_bits;
    priority = priority | (NVIC_InitStruct->NVIC_IRQChannelSubPriority & sub_mask);
    NVIC->IP[channel] = static_cast<std::uint8_t>(priority << 4);
    NVIC->ISER[channel >> 5] = enable_bit;
  } else {
    NVIC->ICER[channel >> 5] = enable_bit;
  }
}
