#include "drv_exti.h"

// Only the pending register is consulted, whatever the line's mask.
ITStatus EXTI_GetITStatus(std::uint32_t EXTI_Line) {
  return (EXTI->PR & EXTI_Line) != 0u ? SET : RESET;
}

// Pending bits are cleared by writing 1.
void EXTI_ClearITPendingBit(std::uint32_t EXTI_Line) { EXTI->PR = EXTI_Line; }
