// Board port: how the firmware reaches the hardware on the STM32F405 itself.
// The host build supplies a header of the same name (host/port/port.h) that
// routes the same expressions to the virtual board.
#pragma once

#include <cstdint>

namespace port {

// A register is a plain volatile object at its documented address; every
// access is one load or store of the register's width.
template <typename T>
using Reg = volatile T;

template <typename Block>
inline Block* block_at(std::uintptr_t address) {
  return reinterpret_cast<Block*>(address);
}

// A register of another width at an address inside a block (used where an
// operation deliberately accesses a 16-bit register as a 32-bit word).
template <typename T>
inline Reg<T>& reg_at(std::uintptr_t address) {
  return *reinterpret_cast<Reg<T>*>(address);
}

inline std::uintptr_t address_of(const volatile void* p) {
  return reinterpret_cast<std::uintptr_t>(p);
}

// Placed in loops that poll only memory. On the board the loop simply spins;
// the empty statement is a compiler barrier so that nothing an interrupt
// writes is kept in a register from one pass of the loop to the next.
inline void spin_point() { asm volatile("" ::: "memory"); }

// The counting loop of the busy-wait delays: `passes` iterations of an empty
// loop on a volatile counter, so the compiler cannot remove it.
inline void count_passes(std::uint32_t passes) {
  volatile std::uint32_t i = 0;
  while (i < passes) {
    i = i + 1;
  }
}

// Copies initialised data, zeroes the rest of static memory and runs static
// constructors; called by the reset entry after the clock set-up.
void runtime_init();

}  // namespace port
