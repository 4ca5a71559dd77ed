// PLACEHOLDER: the sensor PWM angle decoder (capture interrupt).
#include "drv_tim.h"
#include "handlers.h"

extern "C" void TIM3_IRQHandler() { TIM_ClearITPendingBit(TIM3, TIM_IT_CC1); }
