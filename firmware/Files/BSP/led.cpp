#include "led.h"

#include "device.h"
#include "drv_gpio.h"
#include "drv_rcc.h"

// PA6 and PA7 as push-pull outputs with pull-up, both driven high.
void LED_Init() {
  RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA, ENABLE);

  static constexpr GPIO_InitTypeDef gpio{.GPIO_Pin = GPIO_Pin_6 | GPIO_Pin_7,
                                         .GPIO_Mode = GPIO_Mode_OUT,
                                         .GPIO_Speed = GPIO_High_Speed,
                                         .GPIO_OType = GPIO_OType_PP,
                                         .GPIO_PuPd = GPIO_PuPd_UP};
  GPIO_Init(GPIOA, &gpio);

  GPIO_SetBits(GPIOA, GPIO_Pin_6 | GPIO_Pin_7);
}
