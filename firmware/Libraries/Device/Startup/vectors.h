// The vector table: the initial stack pointer, then the core exceptions and
// the 82 device interrupts in the order of their numbers.
#pragma once

#include <cstdint>

union VectorEntry {
  const void* stack_top;
  void (*handler)();
};
static_assert(sizeof(VectorEntry) == sizeof(void (*)()));

inline constexpr int kVectorCount = 16 + 82;

extern "C" const VectorEntry g_pfnVectors[];

// Top of the one 1024-byte stack, placed by the linker.
extern "C" std::uint32_t _estack;
