// The time series of a run on the virtual board: one row every sample
// interval, taken by a board action that schedules the next, so that the
// firmware runs on between samples.
#pragma once

#include <functional>
#include <limits>
#include <optional>

#include "series.h"
#include "vboard/sim/clock.h"

namespace vboard {
class Board;
}

namespace run {

inline constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();

// The latest telemetry decoded from what the ground station hears; not
// measured before the first frame.
struct LatestFrame {
  bool any = false;
  double angle = kNotMeasured;     // unwrapped: followed across the frame's 16-bit range
  double setpoint = kNotMeasured;
  double wire_angle = kNotMeasured;  // as the frame carries it
  double wire_setpoint = kNotMeasured;
};

// Rows as run_columns() names them, at most kMaxRows; the board's side read
// as a debugger would (no time, no side effect on the firmware).
class Sampler {
 public:
  Sampler(vboard::Board& board, const LatestFrame& frame) : board_(board), frame_(frame) {}
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  // Samples every `interval` from one interval after power-on to `end`.
  // `scripted_dps`: the sensor reads the scripted rotor turning at this
  // speed; nothing: it reads the motor's shaft.
  void start(vboard::Ticks interval, vboard::Ticks end, std::optional<double> scripted_dps);

  const Series& series() const { return series_; }
  // Samples were left out: the series holds kMaxRows.
  bool full() const { return full_; }

 private:
  void take();

  vboard::Board& board_;
  const LatestFrame& frame_;
  std::optional<double> scripted_dps_;
  Series series_;
  bool full_ = false;
  vboard::Ticks interval_ = 1;
  vboard::Ticks end_ = 0;
  vboard::Ticks next_ = 0;
  std::function<void()> action_;
};

}  // namespace run
