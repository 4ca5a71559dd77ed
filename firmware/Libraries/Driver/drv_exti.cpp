#include "drv_exti.h"

// Only the pending register is consulted, whatever the line's mask.
ITStatus EXTI_GetITStatus(std::uint32_t EXTI_Line) {
  return (EXTI->PR & EXTI_Line) != 0u ? SET : RESET;
}

// Pending bits are cleared by writing 1.
void EXTI_ClearITPendingBit(std::uint32_t EXTI_Line) { EXTI->PR = EXTI_Line; }

namespace {
// The EXTI register at a byte distance from the start of the block.
port::Reg<std::uint32_t>& exti_reg_at(std::uint32_t distance) {
  return port::reg_at<std::uint32_t>(port::address_of(EXTI) + distance);
}
}  // namespace

void EXTI_Init(const EXTI_InitTypeDef* EXTI_InitStruct) {
  const std::uint32_t line = EXTI_InitStruct->EXTI_Line;
  if (EXTI_InitStruct->EXTI_LineCmd == DISABLE) {
    // Masking only: the trigger selection stays as it was.
    auto& mask = exti_reg_at(EXTI_InitStruct->EXTI_Mode);
    mask = mask & ~line;
    return;
  }

  EXTI->IMR = EXTI->IMR & ~line;
  EXTI->EMR = EXTI->EMR & ~line;
  auto& mask = exti_reg_at(EXTI_InitStruct->EXTI_Mode);
  mask = mask | line;

  EXTI->RTSR = EXTI->RTSR & ~line;
  EXTI->FTSR = EXTI->FTSR & ~line;
  if (EXTI_InitStruct->EXTI_Trigger == EXTI_Trigger_Rising_Falling) {
    EXTI->RTSR = EXTI->RTSR | line;
    EXTI->FTSR = EXTI->FTSR | line;
  } else {
    auto& edge = exti_reg_at(EXTI_InitStruct->EXTI_Trigger);
    edge = edge | line;
  }
}
