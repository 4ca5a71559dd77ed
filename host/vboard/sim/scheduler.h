// The event scheduler: virtual time and what falls due in it. Each event
// target (a model) keeps at most one pending time per kind of event, and a
// test or a scenario may add one-shot actions; the scheduler finds the
// earliest, moves time to it and runs it. It knows nothing of buses,
// interrupts or the firmware.
//
// Order: earlier first; at the same time a target's event before an action,
// targets' events in the order their (target, kind) was first scheduled,
// actions in the order they were added. An event due at exactly "now" runs
// on the next run_until, whatever its bound.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "vboard/sim/clock.h"

namespace vboard {

class Scheduler;

// What a scheduled event calls back.
class EventTarget {
 public:
  static constexpr int kEventKinds = 16;
  EventTarget() { slot_of_kind_.fill(-1); }
  virtual void on_event(int kind) = 0;

 protected:
  ~EventTarget() = default;

 private:
  friend class Scheduler;
  std::array<int, kEventKinds> slot_of_kind_;  // index into the scheduler's slots, -1: none yet
  std::uint32_t kinds_with_slot_ = 0;          // one bit a kind that has a slot: pending() reads only these
};

class Scheduler {
 public:
  Ticks now() const { return now_; }
  // Time of the earliest pending event, kNever when there is none.
  Ticks next_event() const { return next_; }

  // Time 0, nothing pending.
  void clear();

  // Sets the pending time of (target, kind): scheduling again moves it,
  // kNever cancels it. A time before now is due at once.
  void schedule(EventTarget* target, int kind, Ticks when) {
    // In line: an event set again after it ran, due before everything
    // pending (the serial line's next byte, say), goes to the front.
    const int index = target->slot_of_kind_.at(static_cast<std::size_t>(kind));
    if (index >= 0 && when < next_ && slots_[static_cast<std::size_t>(index)].when == kNever) {
      push_front(index, when);
      return;
    }
    schedule_anywhere(target, kind, index, when);
  }
  void cancel(EventTarget* target, int kind) { schedule(target, kind, kNever); }
  // A one-shot action, at `when` or now if that has passed.
  void at(Ticks when, std::function<void()> action);
  // Whether `target` has an event pending (in line: asked at every poll).
  bool pending(const EventTarget* target) const {
    for (std::uint32_t kinds = target->kinds_with_slot_; kinds != 0; kinds &= kinds - 1) {
      const int index = target->slot_of_kind_[static_cast<std::size_t>(std::countr_zero(kinds))];
      if (slots_[static_cast<std::size_t>(index)].when != kNever) return true;
    }
    return false;
  }

  // A time of the caller's own besides the events, up to which it has
  // nothing to look at (the pause of its run; clear() leaves it), and an
  // alert that brings that bound to now while it stands (something to look
  // at at once: an exception waiting to be taken). quiet_until() is the
  // earlier of the bound and the next event: before it, time may pass with
  // nothing to run and nothing for the caller to do, asked in one compare.
  void set_pause(Ticks pause) {
    pause_ = pause;
    set_bound(alert_ ? 0 : pause_);
  }
  void set_alert(bool alert) {
    alert_ = alert;
    set_bound(alert_ ? 0 : pause_);
  }
  Ticks quiet_until() const { return quiet_until_; }
  // Moves time on to `when`, which is not before now and before
  // quiet_until(): run_until(when) with nothing falling due, for a caller
  // that has checked this already.
  void pass_to(Ticks when) { now_ = when; }

  // Runs every event due at or before `when`, in order, each at its own
  // time; then time is `when` (or stays where it is, if later).
  void run_until(Ticks when) {
    if (when < next_) {
      if (when > now_) now_ = when;  // nothing falls due: the common case
      return;
    }
    run_due(when);
  }

 private:
  // A (target, kind) and its pending time; the pending slots form a list in
  // the order they fall due (by time, then by slot index).
  struct Slot {
    EventTarget* target;
    int kind;
    Ticks when;
    int prev = -1, next = -1;  // neighbours in the list while pending
  };
  bool before(int a, int b) const {
    const Ticks wa = slots_[static_cast<std::size_t>(a)].when, wb = slots_[static_cast<std::size_t>(b)].when;
    return wa < wb || (wa == wb && a < b);
  }
  [[gnu::noinline]] int add_slot(EventTarget* target, int kind);  // once per (target, kind): off the common path
  void schedule_anywhere(EventTarget* target, int kind, int index, Ticks when);
  // Links a slot that is not pending at the front, due at `when`, before
  // every pending slot and action.
  void push_front(int index, Ticks when) {
    Slot& s = slots_[static_cast<std::size_t>(index)];
    s.when = when;
    s.prev = -1;
    s.next = first_;
    if (first_ >= 0) slots_[static_cast<std::size_t>(first_)].prev = index;
    first_ = index;
    next_ = when;
    next_slot_ = index;
    quiet_until_ = std::min(next_, bound_);
  }
  void unlink(int index);
  void insert_after(int index, int from);
  void run_due(Ticks when);
  void find_next();
  void set_bound(Ticks bound) {
    bound_ = bound;
    quiet_until_ = std::min(next_, bound_);
  }

  Ticks now_ = 0;
  std::vector<Slot> slots_;
  int first_ = -1;  // the earliest pending slot, -1 when none is
  std::multimap<Ticks, std::function<void()>> actions_;
  Ticks next_ = kNever;
  Ticks pause_ = kNever;
  bool alert_ = false;
  Ticks bound_ = kNever;  // 0 under an alert, else the pause; kNever from clear() to the next of either
  Ticks quiet_until_ = kNever;
  int next_slot_ = -1;  // the slot due at next_ (always first_), or -1 for an action
};

}  // namespace vboard
