#include "vboard/scheduler.h"

#include <algorithm>

namespace vboard {

void Scheduler::clear() {
  for (const Slot& s : slots_) s.target->slot_of_kind_.fill(-1);
  slots_.clear();
  whens_.clear();
  actions_.clear();
  now_ = 0;
  next_ = kNever;
  next_slot_ = -1;
}

void Scheduler::schedule(EventTarget* target, int kind, Ticks when) {
  int& index = target->slot_of_kind_.at(static_cast<std::size_t>(kind));
  if (index < 0) {
    if (when == kNever) return;
    index = static_cast<int>(slots_.size());
    slots_.push_back({target, kind, when});
    whens_.push_back(when);
  } else {
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.when == when) return;
    const bool was_next = index == next_slot_;
    slot.when = when;
    whens_[static_cast<std::size_t>(index)] = when;
    if (was_next) {
      // The earliest moved: earlier it still is; later, look again.
      if (when < next_) {
        next_ = when;
      } else {
        find_next();
      }
      return;
    }
  }
  // Another slot than the earliest: it can only take the lead.
  if (when < next_ || (when == next_ && (next_slot_ < 0 || index < next_slot_))) {
    next_ = when;
    next_slot_ = index;
  }
}

void Scheduler::at(Ticks when, std::function<void()> action) {
  when = std::max(when, now_);
  actions_.emplace(when, std::move(action));
  if (when < next_) {
    next_ = when;
    next_slot_ = -1;
  }
}

bool Scheduler::pending(const EventTarget* target) const {
  for (const int index : target->slot_of_kind_)
    if (index >= 0 && slots_[static_cast<std::size_t>(index)].when != kNever) return true;
  return false;
}

void Scheduler::find_next() {
  // The earliest time first (a plain minimum), then the first slot holding
  // it: the lowest index wins a tie.
  Ticks next = kNever;
  for (const Ticks w : whens_) next = std::min(next, w);
  next_slot_ = -1;
  if (next != kNever) {
    next_slot_ = static_cast<int>(std::find(whens_.begin(), whens_.end(), next) - whens_.begin());
  }
  if (!actions_.empty() && actions_.begin()->first < next) {
    next = actions_.begin()->first;
    next_slot_ = -1;
  }
  next_ = next;
}

void Scheduler::run_due(Ticks when) {
  while (next_ <= when) {
    now_ = std::max(now_, next_);
    if (next_slot_ >= 0) {
      Slot& due = slots_[static_cast<std::size_t>(next_slot_)];
      EventTarget* target = due.target;
      const int kind = due.kind;
      due.when = kNever;
      whens_[static_cast<std::size_t>(next_slot_)] = kNever;
      find_next();
      target->on_event(kind);
    } else {
      auto it = actions_.begin();
      auto action = std::move(it->second);
      actions_.erase(it);
      find_next();
      action();
    }
  }
  now_ = std::max(now_, when);
}

}  // namespace vboard
