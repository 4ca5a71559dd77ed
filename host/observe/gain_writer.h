// The position loop's gains put into the running firmware's RAM, the way a
// debugger does after reset: the image keeps the gains it was built with,
// and only this run uses others.
//
// The write must come after the start-up code has initialised static memory
// (it would undo an earlier write) and before the first control work reads
// the gains. The first exception entry after power-on lies between the two:
// interrupts are enabled only by main, after the start-up code, and the
// first control work waits for the tenth scheduler tick.
#pragma once

#include <functional>
#include <optional>

#include "vboard/sim/clock.h"

namespace vboard {

class Board;

struct PidGains {
  std::optional<double> kp, ki, kd;  // unset: the image's value stays
  bool any() const { return kp || ki || kd; }
};

// Arms the write for the run that follows power_on(); `written` is told when
// it happened. Wraps the board's exception-entry observer, so set that one
// first (Board::reset clears both).
void write_gains_after_reset(Board& board, const PidGains& gains, std::function<void(Ticks)> written = {});

}  // namespace vboard
