// Run-time start-up on the board: entered from the reset entry after the
// clock set-up, before any global is used.
#include "port.h"

#include <cstdint>

extern "C" {
extern std::uint32_t _sidata, _sdata, _edata, _sbss, _ebss;
extern void (*__init_array_start[])();
extern void (*__init_array_end[])();
}

namespace port {

// Kept out of line: the stack check knows the targets of its one indirect
// call (the entries of .init_array) by this function's name.
[[gnu::noinline]] void runtime_init() {
  // Initialised data from its image in flash, then zeroes for the rest.
  // Word loops through volatile stores: the compiler would otherwise turn
  // them into memcpy and memset calls, which bring about 450 bytes of
  // library code for a job done once on a few hundred bytes.
  const std::uint32_t* source = &_sidata;
  for (volatile std::uint32_t* p = &_sdata; p < &_edata;) {
    *p++ = *source++;
  }
  for (volatile std::uint32_t* p = &_sbss; p < &_ebss;) {
    *p++ = 0;
  }
  // Static constructors, if there are any (the firmware's globals are all
  // constant-initialised, so normally none).
  for (auto* ctor = __init_array_start; ctor < __init_array_end; ++ctor) {
    (*ctor)();
  }
}

}  // namespace port
