#include "vboard/scheduler.h"

#include <algorithm>
#include <bit>

namespace vboard {

void Scheduler::clear() {
  for (const Slot& s : slots_) {
    s.target->slot_of_kind_.fill(-1);
    s.target->kinds_with_slot_ = 0;
  }
  slots_.clear();
  whens_.clear();
  pending_bits_.clear();
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
    target->kinds_with_slot_ |= std::uint32_t{1} << kind;
    slots_.push_back({target, kind, when});
    whens_.push_back(when);
    if (slots_.size() > 64 * pending_bits_.size()) pending_bits_.push_back(0);
    mark(index, when);
  } else {
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.when == when) return;
    const bool was_next = index == next_slot_;
    slot.when = when;
    mark(index, when);
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
  for (std::uint32_t kinds = target->kinds_with_slot_; kinds != 0; kinds &= kinds - 1) {
    const int index = target->slot_of_kind_[static_cast<std::size_t>(std::countr_zero(kinds))];
    if (whens_[static_cast<std::size_t>(index)] != kNever) return true;
  }
  return false;
}

void Scheduler::find_next() {
  // Pending slots in ascending order: the lowest index wins a tie.
  Ticks next = kNever;
  next_slot_ = -1;
  for (std::size_t word = 0; word < pending_bits_.size(); ++word) {
    for (std::uint64_t bits = pending_bits_[word]; bits != 0; bits &= bits - 1) {
      const std::size_t i = word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      if (whens_[i] < next) {
        next = whens_[i];
        next_slot_ = static_cast<int>(i);
      }
    }
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
      mark(next_slot_, kNever);
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
