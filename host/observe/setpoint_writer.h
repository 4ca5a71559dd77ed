// The position loop's setpoint moved from outside, the way a debugger would
// write it into RAM, once per control period: the image is unchanged.
//
// The control work runs in the main loop after the scheduler tick has raised
// its flag. The board's observation points (every handler entry and exit,
// every spin point) see the flag raised before the work can run, and see it
// cleared once the work has run: the first is where the setpoint is
// written, so that the work reads it in the same period; the second is where
// the period's setpoint, angle and Uq stand in RAM together.
//
// The writer adds the profile's change since its last write to the
// setpoint, never an absolute value: whatever else moved the setpoint
// meanwhile (a key press adds its 100 degrees in its interrupt) stays. What
// it added is counted as it landed in the float, so the rounding of many
// small changes does not pile up.
#pragma once

#include <cstdint>
#include <functional>

#include "vboard/sim/clock.h"

namespace vboard {

class Board;

// One control period as the work left it in RAM.
struct ControlPeriod {
  std::uint64_t index = 0;  // of the period since attach(), counted at its start
  Ticks t = 0;        // when the work was seen done
  Ticks angle_age = 0;  // since the last decoded capture, when the work was seen done
  double setpoint = 0.0;  // MotorAPosition.Des, degrees
  double angle = 0.0;     // MotorAPosition.FB: the angle the PID read
  double uq = 0.0;        // MotorAPosition.U: the PID's output into MotorAPark.Uq, volts
};

class ControlPeriods {
 public:
  // Wraps the board's on_observe (set any other observer first: Board::reset
  // clears it). The object must outlive the run.
  void attach(Board& board);

  // The setpoint's offset in degrees at virtual time t (seconds); none: the
  // setpoint is left alone. May be changed between runs of the board.
  std::function<double(double)> profile;
  // Told each period's RAM after its work.
  std::function<void(const ControlPeriod&)> on_period;

  // The sum of what the writer has added to the setpoint.
  double applied_deg() const { return applied_; }
  // Periods started so far; inside `profile`, the one starting now is
  // started() - 1.
  std::uint64_t started() const { return started_; }

 private:
  void observe(Ticks now);
  void write_setpoint(Ticks now);
  bool raised_ = false;
  double applied_ = 0.0;
  std::uint64_t started_ = 0;
  std::uint32_t captures_ = 0;
  Ticks capture_at_ = 0;
};

}  // namespace vboard
