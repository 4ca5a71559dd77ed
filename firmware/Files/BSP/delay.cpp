#include "delay.h"

#include "port.h"

namespace {
// Passes of the empty counting loop: 35000 make about 1 ms and 40 about
// 1 us at the 168 MHz core clock.
constexpr unsigned int kPassesPerMs = 35000;
constexpr unsigned int kPassesPerUs = 40;
}  // namespace

void delay_ms(unsigned int time) {
  for (unsigned int n = 0; n < time; ++n) {
    port::count_passes(kPassesPerMs);
  }
}

void delay_us(unsigned int Delay) {
  for (unsigned int n = 0; n < Delay; ++n) {
    port::count_passes(kPassesPerUs);
  }
}
