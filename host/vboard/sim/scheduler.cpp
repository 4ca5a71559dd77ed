#include "vboard/sim/scheduler.h"

#include <algorithm>

namespace vboard {

void Scheduler::clear() {
  for (const Slot& s : slots_) {
    s.target->slot_of_kind_.fill(-1);
    s.target->kinds_with_slot_ = 0;
  }
  slots_.clear();
  first_ = -1;
  actions_.clear();
  now_ = 0;
  next_ = kNever;
  next_slot_ = -1;
  alert_ = false;
  bound_ = kNever;
  quiet_until_ = kNever;
}

void Scheduler::unlink(int index) {
  Slot& s = slots_[static_cast<std::size_t>(index)];
  if (s.prev >= 0) {
    slots_[static_cast<std::size_t>(s.prev)].next = s.next;
  } else {
    first_ = s.next;
  }
  if (s.next >= 0) slots_[static_cast<std::size_t>(s.next)].prev = s.prev;
  s.prev = s.next = -1;
}

// Links a pending slot into the list, walking from after `from` (-1: from
// the start), which must come before it.
void Scheduler::insert_after(int index, int from) {
  const Ticks when = slots_[static_cast<std::size_t>(index)].when;
  int prev = from;
  int next = from < 0 ? first_ : slots_[static_cast<std::size_t>(from)].next;
  while (next >= 0) {
    const Slot& n = slots_[static_cast<std::size_t>(next)];
    if (n.when > when || (n.when == when && next > index)) break;
    prev = next;
    next = n.next;
  }
  Slot& s = slots_[static_cast<std::size_t>(index)];
  s.prev = prev;
  s.next = next;
  if (prev >= 0) {
    slots_[static_cast<std::size_t>(prev)].next = index;
  } else {
    first_ = index;
  }
  if (next >= 0) slots_[static_cast<std::size_t>(next)].prev = index;
}

int Scheduler::add_slot(EventTarget* target, int kind) {
  const int index = static_cast<int>(slots_.size());
  target->slot_of_kind_[static_cast<std::size_t>(kind)] = index;
  target->kinds_with_slot_ |= std::uint32_t{1} << kind;
  slots_.push_back({target, kind, kNever});
  return index;
}

// `index` is the slot of (target, kind), -1 when it has none yet.
void Scheduler::schedule_anywhere(EventTarget* target, int kind, int index, Ticks when) {
  if (index < 0) {
    if (when == kNever) return;
    index = add_slot(target, kind);
  }
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  const Ticks was = slot.when;
  if (was == when) return;
  slot.when = when;
  if (was == kNever) {
    insert_after(index, -1);
  } else if (when == kNever) {
    unlink(index);
  } else if (when > was) {
    // Later: it stays put while still before its neighbour after it, and
    // otherwise goes further on.
    if (slot.next >= 0 && !before(index, slot.next)) {
      const int from = slot.next;
      unlink(index);
      insert_after(index, from);
    }
  } else if (slot.prev >= 0 && !before(slot.prev, index)) {
    unlink(index);
    insert_after(index, -1);
  }
  if (index == next_slot_ || index == first_) find_next();
}

void Scheduler::at(Ticks when, std::function<void()> action) {
  when = std::max(when, now_);
  actions_.emplace(when, std::move(action));
  if (when < next_) {
    next_ = when;
    next_slot_ = -1;
    quiet_until_ = std::min(next_, bound_);
  }
}

void Scheduler::find_next() {
  // The first pending slot, unless an action falls due before it.
  next_slot_ = first_;
  next_ = first_ < 0 ? kNever : slots_[static_cast<std::size_t>(first_)].when;
  if (!actions_.empty() && actions_.begin()->first < next_) {
    next_ = actions_.begin()->first;
    next_slot_ = -1;
  }
  quiet_until_ = std::min(next_, bound_);
}

void Scheduler::run_due(Ticks when) {
  while (next_ <= when) {
    now_ = std::max(now_, next_);
    if (next_slot_ >= 0) {
      // The slot due is the first of the list: it leaves from the front.
      Slot& due = slots_[static_cast<std::size_t>(next_slot_)];
      EventTarget* target = due.target;
      const int kind = due.kind;
      due.when = kNever;
      first_ = due.next;
      due.next = -1;
      if (first_ >= 0) slots_[static_cast<std::size_t>(first_)].prev = -1;
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
