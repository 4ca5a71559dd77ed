#include "rcc.h"

#include "device.h"
#include "port.h"
#include "system_clock.h"

[[gnu::used]] constinit std::uint8_t SysClockSource = 0;
[[gnu::used]] constinit RCC_ClocksTypeDef RCC_ClockFreq = {0, 0, 0, 0};
[[gnu::used]] constinit volatile std::uint32_t Task_Delay[3] = {0, 0, 0};

// Records which clock the system runs from and at what rates, for a
// debugger to look at; nothing else reads them.
void SysClock_Check() {
  SysClockSource = RCC_GetSYSCLKSource();
  RCC_GetClocksFreq(&RCC_ClockFreq);
}

void SysTick_Init() {
  SysClock_Check();

  // 168 MHz / 1000 - 1 = 167999: one tick per millisecond at the assumed
  // core clock.
  const std::uint32_t reload = SystemCoreClock / 1000u - 1u;
  if (reload > SysTick_LOAD_RELOAD_Msk) {
    // The reload does not fit the 24-bit register: start-up stops here.
    for (;;) {
      port::spin_point();
    }
  }

  SysTick->LOAD = reload;
  SCB->SHP[11] = 0xF0;  // SysTick: the lowest of the four implemented priority bits
  SysTick->VAL = 0;
  SysTick->CTRL = SysTick_CTRL_CLKSOURCE_Msk | SysTick_CTRL_TICKINT_Msk | SysTick_CTRL_ENABLE_Msk;
}
