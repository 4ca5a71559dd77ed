// Virtual time. One tick is 1/336 MHz: half a core cycle at 168 MHz. Every
// clock of this board (16 MHz internal oscillator, 24 MHz crystal, 168 MHz
// core, 84 and 42 MHz buses, and their power-of-two divisions) is a whole
// number of ticks, so periods add up without rounding.
#pragma once

#include <cmath>
#include <cstdint>

namespace vboard {

using Ticks = std::uint64_t;

inline constexpr Ticks kTicksPerSecond = 336'000'000u;
inline constexpr Ticks kTicksPerMs = kTicksPerSecond / 1000u;
inline constexpr Ticks kTicksPerUs = kTicksPerSecond / 1'000'000u;
inline constexpr Ticks kNever = ~Ticks{0};

constexpr Ticks ms(std::uint64_t n) { return n * kTicksPerMs; }
constexpr Ticks us(std::uint64_t n) { return n * kTicksPerUs; }
constexpr double to_ms(Ticks t) { return static_cast<double>(t) / static_cast<double>(kTicksPerMs); }
constexpr double to_us(Ticks t) { return static_cast<double>(t) / static_cast<double>(kTicksPerUs); }
constexpr double to_seconds(Ticks t) { return static_cast<double>(t) / static_cast<double>(kTicksPerSecond); }

// Length of one period of a clock of `hz`, in ticks (rounded to the nearest
// tick for clocks that do not divide the base exactly).
constexpr Ticks period_of(std::uint64_t hz) { return hz == 0 ? kNever : (kTicksPerSecond + hz / 2) / hz; }

// std::llround (halves away from zero), without the library call on the
// paths that convert times and angles at every byte or sensor period. For
// |x| < 2^63 the truncation is exact and so is x minus it, hence the same
// result bit for bit; anything else goes to the library.
inline long long round_half_away(double x) {
  if (!(std::fabs(x) < 9.2e18)) return std::llround(x);
  long long n = static_cast<long long>(x);
  const double fraction = x - static_cast<double>(n);
  if (fraction >= 0.5) ++n;
  if (fraction <= -0.5) --n;
  return n;
}

// A time in seconds as ticks, rounded to the nearest tick (halves away from
// zero): the one conversion from seconds to virtual time. For a time from 0
// to about 870 years (2^63 ticks).
inline Ticks ticks_of_seconds(double seconds) {
  return static_cast<Ticks>(round_half_away(seconds * static_cast<double>(kTicksPerSecond)));
}

}  // namespace vboard
