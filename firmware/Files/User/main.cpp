// Start-up and the main loop.
#include "delay.h"
#include "device.h"
#include "drv_gpio.h"
#include "drv_misc.h"
#include "exti.h"
#include "global_variable.h"
#include "led.h"
#include "port.h"
#include "rcc.h"
#include "spi.h"
#include "timer.h"
#include "usart.h"

int main() {
  // The order matters for the interrupt priorities: the key set-up switches
  // to the final grouping, and the scheduler tick is enabled last, so no
  // flag is raised before the whole board is up.
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_2);
  SysTick_Init();
  LED_Init();
  EXTI_Key_Config();
  USART3_Init(500000);
  TIM2_Init();
  SPI_Config();
  TIM5_Init();
  TIM6_Init(999, 83);

  for (;;) {
    if (gFlag100ms == SET) {
      GPIO_ToggleBits(GPIOA, GPIO_Pin_6);  // heartbeat
      gFlag100ms = RESET;
    }
    if (gFlag5ms == SET) {
      gFlag5ms = RESET;
    }
    if (gFlagControl == SET) {
      gFlagControl = RESET;
    }
    port::spin_point();
  }
}
