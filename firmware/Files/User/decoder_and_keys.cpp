// PLACEHOLDER: the angle decoder and the setpoint keys arrive with the control chain.
#include "drv_exti.h"
#include "drv_tim.h"
#include "handlers.h"

extern "C" void TIM3_IRQHandler() { TIM_ClearITPendingBit(TIM3, TIM_IT_CC1); }

extern "C" void EXTI9_5_IRQHandler() {
  EXTI_ClearITPendingBit(EXTI_Line7);
  EXTI_ClearITPendingBit(EXTI_Line8);
}
