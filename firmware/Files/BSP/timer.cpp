#include "timer.h"

#include "device.h"
#include "drv_gpio.h"
#include "drv_misc.h"
#include "drv_rcc.h"
#include "drv_tim.h"

// Free-running 1 MHz time base: 84 MHz / (83 + 1), wrapping every 65536 us.
void TIM2_Init() {
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM2, ENABLE);
  // The auto-reload preload is set first; the time base set-up keeps it.
  TIM_ARRPreloadConfig(TIM2, ENABLE);

  static constexpr TIM_TimeBaseInitTypeDef base{.TIM_Prescaler = 83,
                                                .TIM_CounterMode = TIM_CounterMode_Up,
                                                .TIM_Period = 0xFFFF,
                                                .TIM_ClockDivision = TIM_CKD_DIV1,
                                                .TIM_RepetitionCounter = 0};
  TIM_TimeBaseInit(TIM2, &base);

  TIM_Cmd(TIM2, ENABLE);
}

// Three-phase PWM on PA0, PA1, PA2 (TIM5 channels 1 to 3): centre-aligned
// at 1 MHz up to 50 and down again, 100 us a period (10 kHz). The compare
// values start at 0, so the outputs stay low until the control work's
// modulation stage writes the first duties.
void TIM5_Init() {
  RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM5, ENABLE);

  GPIO_PinAFConfig(GPIOA, GPIO_PinSource0, GPIO_AF_TIM5);
  GPIO_PinAFConfig(GPIOA, GPIO_PinSource1, GPIO_AF_TIM5);
  GPIO_PinAFConfig(GPIOA, GPIO_PinSource2, GPIO_AF_TIM5);

  static constexpr GPIO_InitTypeDef gpio{.GPIO_Pin = GPIO_Pin_0 | GPIO_Pin_1 | GPIO_Pin_2,
                                         .GPIO_Mode = GPIO_Mode_AF,
                                         .GPIO_Speed = GPIO_High_Speed,
                                         .GPIO_OType = GPIO_OType_PP,
                                         .GPIO_PuPd = GPIO_PuPd_NOPULL};
  GPIO_Init(GPIOA, &gpio);

  static constexpr TIM_TimeBaseInitTypeDef base{.TIM_Prescaler = 83,
                                                .TIM_CounterMode = TIM_CounterMode_CenterAligned1,
                                                .TIM_Period = 50,
                                                .TIM_ClockDivision = TIM_CKD_DIV1,
                                                .TIM_RepetitionCounter = 1};  // not used by TIM5
  TIM_TimeBaseInit(TIM5, &base);

  // The idle state is not used by TIM5 either: it has no idle-state bits.
  static constexpr TIM_OCInitTypeDef oc{.TIM_OCMode = TIM_OCMode_PWM1,
                                        .TIM_OutputState = TIM_OutputState_Enable,
                                        .TIM_OutputNState = TIM_OutputNState_Disable,
                                        .TIM_Pulse = 0,
                                        .TIM_OCPolarity = TIM_OCPolarity_High,
                                        .TIM_OCNPolarity = TIM_OCNPolarity_High,
                                        .TIM_OCIdleState = TIM_OCIdleState_Set,
                                        .TIM_OCNIdleState = TIM_OCNIdleState_Reset};
  TIM_OC1Init(TIM5, &oc);
  TIM_OC2Init(TIM5, &oc);
  TIM_OC3Init(TIM5, &oc);

  // New compare values take effect at the next update event.
  TIM_OC1PreloadConfig(TIM5, TIM_OCPreload_Enable);
  TIM_OC2PreloadConfig(TIM5, TIM_OCPreload_Enable);
  TIM_OC3PreloadConfig(TIM5, TIM_OCPreload_Enable);

  TIM_Cmd(TIM5, ENABLE);
}

// The phases' compare values (PA0, PA1, PA2), 0..50. Preloaded: they take
// effect at the next update event, at the top or the bottom of the count.
void TIM5_SetCompare(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  TIM5->CCR1 = a;
  TIM5->CCR2 = b;
  TIM5->CCR3 = c;
}

// Scheduler tick: 84 MHz / (psc + 1) / (arr + 1); TIM6_Init(999, 83) gives
// 1 ms. The immediate reload raises the update flag and nothing clears it,
// so the first tick is counted as soon as the interrupt is enabled, at the
// end of start-up.
void TIM6_Init(std::uint32_t arr, std::uint16_t psc) {
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM6, ENABLE);

  TIM_TimeBaseInitTypeDef base{};
  base.TIM_Prescaler = psc;
  base.TIM_CounterMode = TIM_CounterMode_Up;
  base.TIM_Period = arr;
  base.TIM_ClockDivision = TIM_CKD_DIV1;
  TIM_TimeBaseInit(TIM6, &base);

  TIM_ITConfig(TIM6, TIM_IT_Update, ENABLE);
  TIM_Cmd(TIM6, ENABLE);

  // Pre-emption 2, sub-priority 1: byte 0x10 under the final grouping.
  static constexpr NVIC_InitTypeDef nvic{.NVIC_IRQChannel = TIM6_DAC_IRQn,
                                         .NVIC_IRQChannelPreemptionPriority = 2,
                                         .NVIC_IRQChannelSubPriority = 1,
                                         .NVIC_IRQChannelCmd = ENABLE};
  NVIC_Init(&nvic);
}
