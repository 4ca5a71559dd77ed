#include "exti.h"

#include "device.h"
#include "drv_exti.h"
#include "drv_gpio.h"
#include "drv_misc.h"
#include "drv_rcc.h"
#include "drv_syscfg.h"

// Keys pull their pin from the pull-up level to ground: a falling edge on
// line 7 or 8 raises the shared interrupt of lines 5 to 9. This set-up also
// puts the final priority grouping in force (one pre-emption bit), under
// which the keys get pre-emption level 0 beside the scheduler tick.
void EXTI_Key_Config() {
  RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOC, ENABLE);

  // Inputs: speed and output type are not used.
  GPIO_InitTypeDef gpio{};
  gpio.GPIO_Pin = GPIO_Pin_8;
  gpio.GPIO_Mode = GPIO_Mode_IN;
  gpio.GPIO_PuPd = GPIO_PuPd_UP;
  GPIO_Init(GPIOC, &gpio);
  gpio.GPIO_Pin = GPIO_Pin_7;
  GPIO_Init(GPIOC, &gpio);

  RCC_APB2PeriphClockCmd(RCC_APB2Periph_SYSCFG, ENABLE);

  EXTI_InitTypeDef exti{};
  SYSCFG_EXTILineConfig(EXTI_PortSourceGPIOC, EXTI_PinSource8);
  exti.EXTI_Line = EXTI_Line8;
  exti.EXTI_Mode = EXTI_Mode_Interrupt;
  exti.EXTI_Trigger = EXTI_Trigger_Falling;
  exti.EXTI_LineCmd = ENABLE;
  EXTI_Init(&exti);

  SYSCFG_EXTILineConfig(EXTI_PortSourceGPIOC, EXTI_PinSource7);
  exti.EXTI_Line = EXTI_Line7;
  EXTI_Init(&exti);

  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1);

  // Pre-emption 2, sub-priority 3: byte 0x30, level 0.
  NVIC_InitTypeDef nvic{};
  nvic.NVIC_IRQChannel = EXTI9_5_IRQn;
  nvic.NVIC_IRQChannelPreemptionPriority = 2;
  nvic.NVIC_IRQChannelSubPriority = 3;
  nvic.NVIC_IRQChannelCmd = ENABLE;
  NVIC_Init(&nvic);
}
