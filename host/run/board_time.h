// Seconds, as scenarios and command lines give times, and the virtual
// board's clock ticks: one conversion each way, to the nearest tick.
#pragma once

#include "vboard/sim/clock.h"

namespace run {

// Times are at most kMaxSeconds (time_text.h), so the product stays far
// inside 64 bits.
inline vboard::Ticks ticks_of(double seconds) {
  return vboard::ticks_of_seconds(seconds);
}

inline double seconds_of(vboard::Ticks t) {
  return vboard::to_seconds(t);
}

}  // namespace run
