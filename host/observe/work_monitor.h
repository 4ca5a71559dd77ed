// Watches the main loop's three periodic works from outside: a work has run
// each time its flag, once seen raised, is seen cleared. The flags are
// sampled at every handler entry and exit and at every spin point; the tick
// only raises a flag inside a handler and the main loop only clears it
// outside one, so no run is missed and none is counted twice.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "vboard/sim/clock.h"

namespace vboard {

class Board;

enum class Work { k100ms = 0, k5ms = 1, kControl = 2 };
inline constexpr std::array<const char*, 3> kWorkNames = {"100 ms work", "5 ms work", "control work"};

class WorkMonitor {
 public:
  void attach(Board& board);
  std::uint64_t runs(Work w) const { return runs_[static_cast<std::size_t>(w)]; }
  // Virtual times at which each run was seen to finish.
  const std::vector<Ticks>& times(Work w) const { return times_[static_cast<std::size_t>(w)]; }
  std::function<void(Work, Ticks)> on_run;

 private:
  void sample(Ticks now);
  std::array<bool, 3> raised_{};
  std::array<std::uint64_t, 3> runs_{};
  std::array<std::vector<Ticks>, 3> times_{};
};

}  // namespace vboard
