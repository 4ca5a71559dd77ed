#include "exti.h"

#include "device.h"
#include "drv_exti.h"
#include "drv_gpio.h"
#include "drv_misc.h"
#include "drv_rcc.h"
#include "drv_syscfg.h"

namespace {

// A key's pin: an input with its pull-up (speed and output type are not used).
constexpr GPIO_InitTypeDef key_input(std::uint32_t pin) {
  return {.GPIO_Pin = pin,
          .GPIO_Mode = GPIO_Mode_IN,
          .GPIO_Speed = GPIO_Low_Speed,
          .GPIO_OType = GPIO_OType_PP,
          .GPIO_PuPd = GPIO_PuPd_UP};
}

// A key's line: an interrupt on the falling edge of a press.
constexpr EXTI_InitTypeDef key_line(std::uint32_t line) {
  return {.EXTI_Line = line,
          .EXTI_Mode = EXTI_Mode_Interrupt,
          .EXTI_Trigger = EXTI_Trigger_Falling,
          .EXTI_LineCmd = ENABLE};
}

}  // namespace

// Keys pull their pin from the pull-up level to ground: a falling edge on
// line 7 or 8 raises the shared interrupt of lines 5 to 9. This set-up also
// puts the final priority grouping in force (one pre-emption bit), under
// which the keys get pre-emption level 0 beside the scheduler tick.
void EXTI_Key_Config() {
  RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOC, ENABLE);

  static constexpr GPIO_InitTypeDef key_down = key_input(GPIO_Pin_8);
  static constexpr GPIO_InitTypeDef key_up = key_input(GPIO_Pin_7);
  GPIO_Init(GPIOC, &key_down);
  GPIO_Init(GPIOC, &key_up);

  RCC_APB2PeriphClockCmd(RCC_APB2Periph_SYSCFG, ENABLE);

  static constexpr EXTI_InitTypeDef line8 = key_line(EXTI_Line8);
  static constexpr EXTI_InitTypeDef line7 = key_line(EXTI_Line7);
  SYSCFG_EXTILineConfig(EXTI_PortSourceGPIOC, EXTI_PinSource8);
  EXTI_Init(&line8);

  SYSCFG_EXTILineConfig(EXTI_PortSourceGPIOC, EXTI_PinSource7);
  EXTI_Init(&line7);

  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1);

  // Pre-emption 2, sub-priority 3: byte 0x30, level 0.
  static constexpr NVIC_InitTypeDef nvic{.NVIC_IRQChannel = EXTI9_5_IRQn,
                                         .NVIC_IRQChannelPreemptionPriority = 2,
                                         .NVIC_IRQChannelSubPriority = 3,
                                         .NVIC_IRQChannelCmd = ENABLE};
  NVIC_Init(&nvic);
}
