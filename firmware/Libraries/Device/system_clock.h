// Clock set-up, run from the reset entry before static memory is initialised.
#pragma once

#include <cstdint>

// The core clock in Hz that the system assumes; not recomputed at run time.
extern std::uint32_t SystemCoreClock;

extern "C" void SystemInit();
