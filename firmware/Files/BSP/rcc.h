// System tick and the clock check.
#pragma once

#include <cstdint>

extern std::uint8_t SysClockSource;
extern volatile std::uint32_t Task_Delay[3];

void SysTick_Init();
