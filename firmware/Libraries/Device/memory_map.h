// The two address spaces the register blocks live in: the device's
// peripherals and the core's system control space. device.h builds every
// block's address on them, and the host's mirror of the spaces takes them
// from here, so that both name each address once.
#pragma once

#include <cstdint>

inline constexpr std::uintptr_t PERIPH_BASE = 0x40000000u;
inline constexpr std::uintptr_t SCS_BASE = 0xE000E000u;
