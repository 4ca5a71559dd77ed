// The clock tree as the RCC model has set it up: the rate of each bus and
// one period of it in ticks. The board holds it; the RCC model writes it,
// and the devices that count time read it (then are told, through
// clocks_changed, that it has changed).
#pragma once

#include <cstdint>

#include "vboard/sim/clock.h"

namespace vboard {

inline constexpr std::uint32_t kHsiHz = 16'000'000;  // the internal oscillator
inline constexpr std::uint32_t kHseHz = 24'000'000;  // the board's crystal

struct ClockTree {
  std::uint32_t sysclk_hz = kHsiHz;
  std::uint32_t hclk_hz = kHsiHz;
  std::uint32_t pclk1_hz = kHsiHz;
  std::uint32_t pclk2_hz = kHsiHz;
  std::uint32_t apb1_timer_hz = kHsiHz;  // twice PCLK1 when the bus divider is not 1
  Ticks hclk_period = period_of(kHsiHz);  // one core cycle
  Ticks pclk1_period = period_of(kHsiHz);
  Ticks pclk2_period = period_of(kHsiHz);
  Ticks apb1_timer_period = period_of(kHsiHz);

  void set(std::uint32_t sysclk, std::uint32_t hclk, std::uint32_t pclk1, std::uint32_t pclk2,
           std::uint32_t apb1_timer) {
    sysclk_hz = sysclk;
    hclk_hz = hclk;
    pclk1_hz = pclk1;
    pclk2_hz = pclk2;
    apb1_timer_hz = apb1_timer;
    hclk_period = period_of(hclk);
    pclk1_period = period_of(pclk1);
    pclk2_period = period_of(pclk2);
    apb1_timer_period = period_of(apb1_timer);
  }
};

}  // namespace vboard
