// Why a run stopped, for reports.
#pragma once

#include <cstdint>
#include <string>

#include "vboard/sim/clock.h"

namespace vboard {

struct StopInfo {
  bool main_returned = false;
  bool stopped_in_handler = false;  // a handler spins for ever
  int exception = 0;                // its exception number
  std::string handler;              // its name
  Ticks since = 0;
  bool stalled = false;  // a poll waits for something that never comes
  std::uintptr_t stalled_address = 0;
  bool lost_control = false;  // the motor ran away from the position loop
  Ticks lost_control_at = 0;
  std::string lost_control_reason;  // "loss of control: ..."

  // A watch reports a runaway: the first report stands.
  void lose_control(Ticks when, std::string reason) {
    if (lost_control) return;
    lost_control = true;
    lost_control_at = when;
    lost_control_reason = std::move(reason);
  }
};

}  // namespace vboard
