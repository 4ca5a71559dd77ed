#include "drv_misc.h"

// The whole register is written: the key 0x05FA makes the write take effect,
// every other writable bit is 0.
void NVIC_PriorityGroupConfig(std::uint32_t NVIC_PriorityGroup) {
  SCB->AIRCR = AIRCR_VECTKEY_MASK | NVIC_PriorityGroup;
}

void NVIC_Init(const NVIC_InitTypeDef* NVIC_InitStruct) {
  const std::uint8_t channel = NVIC_InitStruct->NVIC_IRQChannel;
  const std::uint32_t enable_bit = 1u << (channel & 0x1Fu);
  if (NVIC_InitStruct->NVIC_IRQChannelCmd != DISABLE) {
    // The grouping in force decides how many of the four implemented bits
    // go to the pre-emption priority. Groupings below NVIC_PriorityGroup_4
    // (PRIGROUP 0 to 2, the reset value among them) leave all four to it,
    // as the core does, rather than a negative sub-priority bit count.
    std::uint32_t preemption_bits = (0x700u - (SCB->AIRCR & 0x700u)) >> 8;
    if (preemption_bits > __NVIC_PRIO_BITS) {
      preemption_bits = __NVIC_PRIO_BITS;
    }
    const std::uint32_t sub_bits = __NVIC_PRIO_BITS - preemption_bits;
    const std::uint32_t sub_mask = 0x0Fu >> preemption_bits;
    // Pre-emption bits above the grouping's share are shifted out of the byte.
    std::uint32_t priority = static_cast<std::uint32_t>(NVIC_InitStruct->NVIC_IRQChannelPreemptionPriority) << sub_bits;
    priority = priority | (NVIC_InitStruct->NVIC_IRQChannelSubPriority & sub_mask);
    NVIC->IP[channel] = static_cast<std::uint8_t>(priority << 4);
    NVIC->ISER[channel >> 5] = enable_bit;
  } else {
    // Disabling leaves the priority byte alone.
    NVIC->ICER[channel >> 5] = enable_bit;
  }
}
