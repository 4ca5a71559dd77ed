// PLACEHOLDER: the setpoint keys (EXTI lines 7 and 8).
#include "drv_exti.h"
#include "handlers.h"

extern "C" void EXTI9_5_IRQHandler() {
  EXTI_ClearITPendingBit(EXTI_Line7);
  EXTI_ClearITPendingBit(EXTI_Line8);
}
