// What a model asks of the board it sits on, and all it may: virtual time
// and events, the record of an access it does not model, the bus's note
// that a read changes by itself, the alert that an exception waits to be
// taken, and the report of a lost control. The board hands one to every
// model it builds (on-chip devices get their clock tree, interrupt line and
// pins besides, at creation); a model never sees the board.
//
// Four pointers, held by value and called in line: every event a model
// schedules and every time it asks for goes through here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "vboard/sim/clock.h"
#include "vboard/sim/gaps.h"
#include "vboard/sim/scheduler.h"
#include "vboard/sim/stop_info.h"

namespace vboard {

class Context {
 public:
  Context(Scheduler& events, GapLog& gaps, StopInfo& stop, bool& read_was_volatile)
      : events_(&events), gaps_(&gaps), stop_(&stop), read_was_volatile_(&read_was_volatile) {}

  Ticks now() const { return events_->now(); }
  // Each (model, kind) has at most one pending time; scheduling it again
  // moves it, kNever cancels it.
  void schedule(EventTarget* target, int kind, Ticks when) { events_->schedule(target, kind, when); }
  void cancel(EventTarget* target, int kind) { events_->cancel(target, kind); }
  // A one-shot action at a virtual time (a part's scripted input).
  void at(Ticks when, std::function<void()> action) { events_->at(when, std::move(action)); }
  // Some exception is pending and enabled: the bus looks at every access
  // while this holds, otherwise only at events and at the pause of the run.
  void alert(bool on) { events_->set_alert(on); }

  // The read in progress gives a value that changes by itself (a running
  // counter): reading it again and again is not an idle poll.
  void volatile_read() { *read_was_volatile_ = true; }
  // An access the model does not implement, now.
  void unmodelled(std::uintptr_t address, std::uint32_t value, bool write, std::string what) {
    gaps_->record({now(), address, value, write, std::move(what)});
  }
  // A runaway of the motor (the first report stands).
  void lost_control(Ticks when, std::string reason) { stop_->lose_control(when, std::move(reason)); }

 private:
  Scheduler* events_;
  GapLog* gaps_;
  StopInfo* stop_;
  bool* read_was_volatile_;
};

}  // namespace vboard
