// System tick and the clock check.
#pragma once

#include <cstdint>

#include "drv_rcc.h"

// Switch status captured by SysClock_Check: 0x00 internal oscillator,
// 0x04 crystal, 0x08 PLL.
extern std::uint8_t SysClockSource;
// System, AHB, APB1 and APB2 clocks in Hz captured by SysClock_Check.
extern RCC_ClocksTypeDef RCC_ClockFreq;
// Three countdown slots in milliseconds, counted down by the system tick.
extern volatile std::uint32_t Task_Delay[3];

void SysClock_Check();
void SysTick_Init();
