#include "rcc.h"

#include "device.h"
#include "system_clock.h"

constinit std::uint8_t SysClockSource = 0;
constinit volatile std::uint32_t Task_Delay[3] = {0, 0, 0};

// STAND-IN until the full clock check lands: starts the 1 ms system tick only.
void SysTick_Init() {
  const std::uint32_t reload = SystemCoreClock / 1000u - 1u;  // 168 MHz / 1000 - 1 = 167999
  SysTick->LOAD = reload;
  SCB->SHP[11] = 0xF0;  // SysTick: the lowest priority
  SysTick->VAL = 0;
  SysTick->CTRL = SysTick_CTRL_CLKSOURCE_Msk | SysTick_CTRL_TICKINT_Msk | SysTick_CTRL_ENABLE_Msk;
}
