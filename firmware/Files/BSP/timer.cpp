#include "timer.h"

#include "device.h"
#include "drv_misc.h"
#include "drv_rcc.h"
#include "drv_tim.h"

// STAND-IN until the configuration operations land.
void TIM2_Init() {}

// STAND-IN until the configuration operations land.
void TIM5_Init() {}

// STAND-IN until the configuration operations land: the 1 ms tick.
// 84 MHz timer clock / (psc 83 + 1) = 1 MHz; / (arr 999 + 1) = 1 kHz.
void TIM6_Init(std::uint32_t arr, std::uint16_t psc) {
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM6, ENABLE);
  TIM6->ARR = arr;
  TIM6->PSC = psc;
  TIM6->EGR = TIM_EGR_UG;  // load prescaler and reload now; raises the update flag
  TIM6->DIER = TIM6->DIER | TIM_IT_Update;
  TIM6->CR1 = TIM6->CR1 | TIM_CR1_CEN;
  NVIC_InitTypeDef nvic = {.NVIC_IRQChannel = TIM6_DAC_IRQn,
                           .NVIC_IRQChannelPreemptionPriority = 2,
                           .NVIC_IRQChannelSubPriority = 1,
                           .NVIC_IRQChannelCmd = ENABLE};
  NVIC_Init(&nvic);
}
