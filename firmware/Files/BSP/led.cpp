#include "led.h"

#include "device.h"
#include "drv_gpio.h"
#include "drv_rcc.h"

// STAND-IN until the configuration operations land: PA6 and PA7 as
// push-pull outputs with pull-up, driven high.
void LED_Init() {
  RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA, ENABLE);
  GPIOA->MODER = (GPIOA->MODER & ~0x0000F000u) | 0x00005000u;
  GPIOA->OSPEEDR = GPIOA->OSPEEDR | 0x0000F000u;
  GPIOA->PUPDR = (GPIOA->PUPDR & ~0x0000F000u) | 0x00005000u;
  GPIO_SetBits(GPIOA, GPIO_Pin_6 | GPIO_Pin_7);
}
