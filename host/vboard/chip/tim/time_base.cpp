// Timer model, time base: prescaler and auto-reload with their preloads,
// the counter computed from the time (up, or centre-aligned up and down),
// update events and their flag, the status and interrupt-enable registers,
// and the register side of the whole timer.
#include "vboard/chip/tim/timer.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "vboard/chip/gpio.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/tim/bits.h"

namespace vboard {

using namespace tim;

Timer::Timer(const Context& context, const hw::DeviceRow& row, IrqLine irq, const ClockTree& clocks, GpioPorts& ports)
    : Peripheral(context, row), number_(row.number), irq_(irq), clocks_(clocks), ports_(ports) {}

void Timer::reset() {
  reset_registers();
  psc_active_ = reg16(kPSC);
  arr_active_ = arr_preload_ = reg32(kARR);
  count_tick_ = 0;
  clock_period_ = 0;
  run_ = Run{};
  updates_ = 0;
  events_ = 0;
  irq_level_ = false;
  on_update_ = nullptr;
  ccr_active_.fill(0);
  ref_.fill(false);
  change_at_.fill(kNever);
  captures_.fill(0);
  capture_events_.fill(0);
  filters_.fill({});
  pushed_.fill(false);
  duty_seen_.fill(0.0);
  drive_stale_ = true;
  update_scheduled_ = output_scheduled_ = kNever;
  decode_channels();
  observe_pins();
}

void Timer::clocks_changed() {
  if (line_.source != nullptr) line_.source->reclaim_line();  // the filter's sampling may change
  catch_up();
  const std::uint32_t count = counter();
  const bool down = counting_down();
  clock_period_ = clocks_.apb1_timer_period;
  drive_stale_ = true;  // a counter may start or stop counting
  count_tick_ = clock_period_ * (static_cast<Ticks>(psc_active_) + 1);
  start_run(ctx_.now(), count, down);
  plan_outputs(ctx_.now());
  reschedule();
}

// ---------------------------------------------------------------------------
// Time base

std::uint64_t Timer::steps_to_end(std::uint32_t count, bool down, bool& wraps) const {
  wraps = false;
  const std::uint64_t arr = arr_active_;
  if (centre()) {
    if (down) return count;  // down to the bottom
    if (count < arr) return arr - count;  // up to the top
  } else {
    if (down) return static_cast<std::uint64_t>(count) + 1;  // underflow past 0
    if (count <= arr) return arr - count + 1;                 // overflow past ARR
  }
  // Above the auto-reload value the counter runs on to its width and wraps.
  wraps = true;
  return static_cast<std::uint64_t>(counter_mask()) - count + 1;
}

void Timer::start_run(Ticks at, std::uint32_t count, bool down) {
  if (centre() && arr_active_ != 0) {
    // At the bottom the counter turns up, at the top down.
    if (down && count == 0) down = false;
    else if (!down && count == arr_active_) down = true;
  }
  run_ = Run{at, count, down, false, kNever};
  if (!counting()) return;
  bool wraps = false;
  const std::uint64_t steps = steps_to_end(count, down, wraps);
  run_.wraps = wraps;
  run_.end = at + steps * count_tick_;
}

Timer::Run Timer::next_run(const Run& run) const {
  Run next;
  next.start = run.end;
  if (centre()) {
    next.down = !(run.down || run.wraps);  // the top turns it down, the bottom up
  } else {
    next.down = edge_down();
  }
  next.count = next.down ? arr_active_ : 0u;
  if (counting()) {
    bool wraps = false;
    next.end = next.start + steps_to_end(next.count, next.down, wraps) * count_tick_;
    next.wraps = wraps;
  }
  return next;
}

Timer::Run Timer::run_at(Ticks t, std::uint64_t* updates_passed) const {
  // Past the end of the current run nothing is preloaded any more (such an
  // update is always scheduled), so the runs that follow are all alike.
  Run r = run_;
  std::uint64_t passed = 0;
  if (r.end != kNever && t >= r.end) {
    r = next_run(r);
    passed = 1;
    if (r.end != kNever && t >= r.end) {
      const Ticks length = r.end - r.start;
      const std::uint64_t k = (t - r.start) / length;
      r.start += k * length;
      r.end = r.start + length;
      passed += k;
      if (centre() && (k & 1u)) {
        r.down = !r.down;
        r.count = r.down ? arr_active_ : 0u;
      }
    }
  }
  if (updates_passed) *updates_passed = passed;
  return r;
}

std::uint32_t Timer::count_in(const Run& run, Ticks t) const {
  if (!counting() || run.end == kNever || t <= run.start) return run.count;
  const std::uint64_t steps = (t - run.start) / count_tick_;
  if (run.down) return static_cast<std::uint32_t>(run.count - steps);
  return static_cast<std::uint32_t>((run.count + steps) & counter_mask());
}

std::uint32_t Timer::counter() const { return count_at(ctx_.now()); }

std::uint32_t Timer::count_at(Ticks t) const {
  if (!counting() || run_.end == kNever) return run_.count;
  if (t < run_.end) return count_in(run_, t);
  return count_in(run_at(t, nullptr), t);
}

bool Timer::counting_down() const {
  if (!counting() || run_.end == kNever) return centre() ? run_.down : edge_down();
  return run_at(ctx_.now(), nullptr).down;
}

Ticks Timer::update_period() const {
  if (!counting()) return kNever;
  const Ticks counts = centre() ? arr_active_ : static_cast<Ticks>(arr_active_) + 1;
  return counts * count_tick_;
}

std::uint64_t Timer::updates() const {
  std::uint64_t passed = 0;
  if (counting() && run_.end != kNever && !(reg16(kCR1) & UDIS)) (void)run_at(ctx_.now(), &passed);
  return updates_ + passed;
}

// ---------------------------------------------------------------------------
// Update events

void Timer::load_preloads() {
  psc_active_ = reg16(kPSC);
  arr_active_ = arr_preload_;
  count_tick_ = clock_period_ * (static_cast<Ticks>(psc_active_) + 1);
  if (basic()) return;
  // Without preload a compare value is in use as soon as it is written.
  for (int ch = 1; ch <= 4; ++ch) {
    if (is_output(ch) && oc_preload(ch)) ccr_active_[slot(ch)] = reg32(ccr_offset(ch)) & counter_mask();
  }
}

void Timer::overflow_update() {
  const Ticks at = run_.end;
  const std::uint16_t cr1 = reg16(kCR1);
  if (!(cr1 & UDIS)) load_preloads();
  run_ = next_run(run_);
  if (cr1 & OPM) {
    set16(kCR1, static_cast<std::uint16_t>(cr1 & ~CEN));  // one pulse: the counter stops
    run_.end = kNever;
  }
  if (!(cr1 & UDIS)) {
    ++updates_;
    set_status(UIF);
    if (on_update_) on_update_(at);
  }
}

void Timer::reinitialise() {
  const Ticks now = ctx_.now();
  const std::uint16_t cr1 = reg16(kCR1);
  if (!(cr1 & UDIS)) load_preloads();
  const bool down = edge_down();
  start_run(now, down ? arr_active_ : 0u, down);
  if (!(cr1 & UDIS) && !(cr1 & URS)) {
    ++updates_;
    set_status(UIF);
    if (on_update_) on_update_(now);
  }
  plan_outputs(now);
  notice_drive(now);
}

// Most asks find nothing due: the check in line, the work out of it.
void Timer::catch_up() {
  const Ticks now = ctx_.now();
  if (now < line_.fall_passes && now < run_.end) [[likely]] return;  // run_.end kNever: no end
  catch_up_due(now);
}

// True: the pins and the schedule were brought up to date.
[[gnu::noinline]] bool Timer::catch_up_due(Ticks now) {
  const bool fall_due = line_.fall_passes <= now;
  bool updated = false;
  if (fall_due) {
    // The falling edge of a line handed over ahead, at the time the filter
    // passed it: a quiet edge, so taking it late is the same, and it changes
    // nothing the pins or the schedule follow.
    const Ticks at = line_.fall_passes;
    line_.fall_passes = kNever;
    updated = run_updates_to(at);
    InputFilter& f = filters_[slot(line_.ti)];
    f.pin = f.level = false;
    if (any_input_ && clocked()) take_input(line_.ti, false, at);
  }
  if (!run_updates_to(now) && !updated) return false;
  push_pins(false);
  reschedule();
  return true;
}

bool Timer::run_due_updates(Ticks t) {
  while (run_.end != kNever && run_.end <= t) {
    const Ticks at = run_.end;
    overflow_update();
    if (run_.end != kNever && run_.end <= t && !wants_update_events()) {
      // Nothing that can be seen changes at the updates still due but the
      // count: jump over them, and plan the outputs once, at the end. (The
      // counter runs on, so no duty depends on a planned level.)
      notice_drive(at);
      std::uint64_t passed = 0;
      run_ = run_at(t, &passed);
      if (!(reg16(kCR1) & UDIS)) updates_ += passed;
      plan_outputs(t);
    } else {
      plan_outputs(at);
      notice_drive(at);
    }
  }
  return true;
}

bool Timer::wants_update_events() const {
  if (run_.end == kNever) return false;
  const std::uint16_t cr1 = reg16(kCR1);
  if (!(cr1 & UDIS) && !(reg16(kSR) & UIF)) return true;  // the flag will rise
  if (on_update_ || (cr1 & OPM)) return true;
  if (reg16(kPSC) != psc_active_ || arr_preload_ != arr_active_) return true;  // a preload waits
  for (int ch = 1; ch <= 4; ++ch) {
    if (!(live_outputs_ & (1u << (ch - 1)))) continue;
    if (oc_preload(ch) && (reg32(ccr_offset(ch)) & counter_mask()) != ccr_active_[slot(ch)]) return true;  // a preload waits
    if (eager(ch) && !steady(ch)) return true;  // the next run's edges are planned at the update
  }
  return false;
}

void Timer::set_on_update(std::function<void(Ticks)> observer) {
  if (line_.source != nullptr) line_.source->reclaim_line();  // every update becomes an event
  catch_up();
  on_update_ = std::move(observer);
  reschedule();
}

void Timer::reschedule_update() {
  // The board is told only of changes: a timer is looked at often.
  const Ticks update = wants_update_events() ? run_.end : kNever;
  if (update != update_scheduled_) {
    update_scheduled_ = update;
    ctx_.schedule(this, kUpdate, update);
  }
}

void Timer::reschedule() {
  reschedule_update();
  // Only the channels someone watches change their pins by events (and
  // only enabled outputs change at all).
  Ticks output = kNever;
  for (unsigned live = eager_ & live_outputs_; live != 0; live &= live - 1) {
    output = std::min(output, change_at_[static_cast<std::size_t>(std::countr_zero(live))]);
  }
  if (output != output_scheduled_) {
    output_scheduled_ = output;
    ctx_.schedule(this, kOutput, output);
  }
}

void Timer::on_event(int kind) {
  if (kind >= kFilter && kind < kFilter + 4) {
    ++events_;
    filter_settled(kind - kFilter + 1);
    return;
  }
  (kind == kUpdate ? update_scheduled_ : output_scheduled_) = kNever;  // the board has dropped it
  ++events_;
  const Ticks now = ctx_.now();
  // An update event's work is all in the catching up, which leaves the pins
  // and the schedule up to date.
  const bool settled = (now >= line_.fall_passes || now >= run_.end) && catch_up_due(now);
  if (kind == kOutput) {
    for (int ch = 1; ch <= 4; ++ch) {
      if (change_at_[slot(ch)] > now) continue;
      plan_channel(ch, now);
    }
  } else if (settled) {
    return;
  }
  push_pins(false);
  reschedule();
}

void Timer::set_status(std::uint16_t bits) {
  set16(kSR, static_cast<std::uint16_t>(reg16(kSR) | bits));
  update_irq_line();
}

void Timer::update_irq_line() {
  // The request follows the flags; the controller sees its rising edges.
  const bool level = (reg16(kSR) & reg16(kDIER) & kInterruptFlags) != 0;
  if (level == irq_level_) return;
  irq_level_ = level;
  if (irq_.number() >= 0) irq_.set(level);
}

// ---------------------------------------------------------------------------
// Channels

void Timer::decode_channels() {
  pin_setup_known_ = false;  // which channels' pins push_pins drives
  live_outputs_ = 0;
  any_input_ = false;
  routes_ = {};
  if (basic()) return;
  const std::uint16_t ccer = reg16(kCCER);
  for (int ch = 1; ch <= 4; ++ch) {
    const std::uint16_t r = reg16(ch <= 2 ? kCCMR1 : kCCMR2);
    const unsigned field = (ch % 2 == 1) ? (r & 0xFFu) : (r >> 8u);
    const unsigned bits = (ccer >> (4 * (ch - 1))) & 0xFu;
    Channel& c = channels_[slot(ch)];
    c.selection = field & 3u;
    c.mode = (field >> 4) & 7u;
    c.preload = (field >> 3) & 1u;
    c.every = 1u << ((field >> 2) & 3u);
    c.filter = c.selection != 0 ? (field >> 4) & 0xFu : 0u;
    c.enabled = bits & 1u;
    c.inverted = (bits >> 1) & 1u;
    c.both_edges = c.inverted && ((bits >> 3) & 1u);
    if (c.selection == 0 && c.enabled) live_outputs_ |= 1u << (ch - 1);
    if ((c.selection == 1 || c.selection == 2) && c.enabled) any_input_ = true;
  }
  const std::uint16_t smcr = reg16(kSMCR);
  const unsigned trigger = (smcr >> 4) & 7u;
  if ((smcr & 7u) != 0 && trigger >= 4 && trigger <= 6) any_input_ = true;
  route_inputs();
}

// ---------------------------------------------------------------------------
// Register side

std::uint32_t Timer::read(std::uint32_t offset, unsigned width) {
  catch_up();
  switch (offset) {
    case kCNT:
      ctx_.volatile_read();
      return counter();
    case kCR1: {
      // In centre-aligned mode the direction bit shows the way the counter goes.
      std::uint16_t v = reg16(kCR1);
      if (centre()) v = static_cast<std::uint16_t>((v & ~DIR) | (counting_down() ? DIR : 0u));
      return v;
    }
    case kARR:
      return arr_preload_;
    case kEGR:
      return 0;  // write-only
    case kCCR1:
    case kCCR2:
    case kCCR3:
    case kCCR4: {
      // Reading a captured value clears its flag.
      const int ch = static_cast<int>((offset - kCCR1) / 4) + 1;
      // (A compare flag enters no schedule: only the update flag does.)
      if (is_input(ch) && (reg16(kSR) & cc_flag(ch))) {
        set16(kSR, static_cast<std::uint16_t>(reg16(kSR) & ~cc_flag(ch)));
        update_irq_line();
      }
      return load(offset, width);
    }
    default:
      return load(offset, width);
  }
}

bool Timer::flags_only() const {
  // Whether what follows a write (pushing the pins, planning and scheduling
  // the outputs' changes, telling the drive) can only repeat what was done:
  // no enabled output, the pins' set-up already looked at, no output change
  // scheduled, nobody listening to the drive.
  return live_outputs_ == 0 && output_scheduled_ == kNever && (pin_setup_known_ || pins_of(number_) == nullptr) &&
         (!on_drive_change_ || basic());
}

void Timer::write_status(std::uint32_t value) {
  // The handlers' flag clears. A line handed over ahead was judged by the
  // set-up of then, which this leaves as it is.
  catch_up();
  // rc_w0: a 0 clears the flag, a 1 leaves it.
  set16(kSR, static_cast<std::uint16_t>(reg16(kSR) & value));
  update_irq_line();
  // Only whether an update will raise the flag may have changed; the rest
  // of a write's aftermath, when it is more than a repeat.
  if (flags_only()) {
    reschedule_update();
    return;
  }
  push_pins(!pin_setup_known_);
  reschedule();
  notice_drive(ctx_.now());
}

// What a register write may have changed, for the work that follows it.
enum class Timer::Written {
  kCount,     // the count, the outputs or the flags
  kChannels,  // the channels' set-up, decoded again
  kNoDuty,    // a preload that waits for the update event: no duty changed
};

void Timer::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  if (offset == kSR) [[likely]] {
    write_status(value);
    return;
  }
  if (line_.source != nullptr) line_.source->reclaim_line();
  catch_up();
  const Ticks now = ctx_.now();
  Written written = Written::kCount;
  switch (offset) {
    case kCR1: write_cr1(value, now); break;
    case kDIER:
      store(offset, value, width);
      update_irq_line();
      break;
    case kEGR: write_egr(value); break;
    case kCNT: write_cnt(value, now); break;
    case kPSC:
      store(offset, value & 0xFFFFu, width);  // takes effect at the next update event
      written = Written::kNoDuty;
      break;
    case kARR: write_arr(value, now); break;
    case kCCMR1:
    case kCCMR2:
    case kCCER: written = write_channel_modes(offset, value, width, now); break;
    case kSMCR: written = write_smcr(value, width); break;
    case kCCR1:
    case kCCR2:
    case kCCR3:
    case kCCR4: written = write_ccr(offset, value, now); break;
    default: store(offset, value, width);
  }
  after_write(written, now);
}

void Timer::write_cr1(std::uint32_t value, Ticks now) {
  const std::uint16_t old = reg16(kCR1);
  const bool was_running = running();
  const std::uint32_t count = counter();
  const bool was_down = counting_down();
  auto v = static_cast<std::uint16_t>(value & (basic() ? 0x008Fu : 0x03FFu));
  if (v & CMS) v = static_cast<std::uint16_t>(v & ~DIR);  // read-only in centre-aligned mode
  set16(kCR1, v);
  if (running() && (!was_running || ((old ^ v) & (CMS | DIR)))) {
    count_tick_ = clock_period_ * (static_cast<Ticks>(psc_active_) + 1);
    start_run(now, count, centre() ? was_down : edge_down());
  } else if (was_running && !running()) {
    run_ = Run{now, count, was_down, false, kNever};
  }
  plan_outputs(now);
}

void Timer::write_egr(std::uint32_t value) {
  if (value & UG) reinitialise();  // re-initialise the counter and load the preloaded registers
  if (basic()) return;
  for (int ch = 1; ch <= 4; ++ch) {
    if (!(value & cc_flag(ch))) continue;
    if (is_input(ch)) capture(ch, counter());
    else set_status(cc_flag(ch));
  }
  if (value & TG) set_status(TIF);
}

void Timer::write_cnt(std::uint32_t value, Ticks now) {
  const std::uint32_t v = value & counter_mask();
  if (counting()) start_run(now, v, counting_down());
  else run_ = Run{now, v, run_.down, false, kNever};
  plan_outputs(now);
}

void Timer::write_arr(std::uint32_t value, Ticks now) {
  const std::uint32_t v = value & counter_mask();
  set32(kARR, v);
  arr_preload_ = v;
  if (reg16(kCR1) & ARPE) return;  // takes effect at the next update event
  const std::uint32_t count = counter();
  const bool down = counting_down();
  arr_active_ = v;
  start_run(now, count, down);
  plan_outputs(now);
}

// CCMR1, CCMR2 and CCER.
Timer::Written Timer::write_channel_modes(std::uint32_t offset, std::uint32_t value, unsigned width, Ticks now) {
  if (basic()) return Written::kCount;
  store(offset, value & 0xFFFFu, width);
  decode_channels();
  for (int ch = 1; ch <= 4; ++ch) {
    if (is_output(ch) && oc_mode(ch) != kFrozen && oc_mode(ch) != kPwm1 && oc_mode(ch) != kPwm2)
      ctx_.unmodelled(base() + offset, value, true,
                        name() + " CC" + std::to_string(ch) + ": output compare mode OCxM not modelled");
  }
  capture_events_.fill(0);
  for (int ch = 1; ch <= 4; ++ch) {
    // An output without preload compares with what CCRx holds.
    if (is_output(ch) && !oc_preload(ch)) ccr_active_[slot(ch)] = reg32(ccr_offset(ch)) & counter_mask();
  }
  plan_outputs(now);
  return Written::kChannels;
}

Timer::Written Timer::write_smcr(std::uint32_t value, unsigned width) {
  if (basic()) return Written::kCount;
  store(kSMCR, value & 0xFFFFu, width);
  if ((value & 7u) != kSlaveOff && (value & 7u) != kSlaveReset)
    ctx_.unmodelled(base() + kSMCR, value, true, name() + ": slave mode SMS not modelled");
  decode_channels();
  return Written::kChannels;
}

// CCR1 to CCR4.
Timer::Written Timer::write_ccr(std::uint32_t offset, std::uint32_t value, Ticks now) {
  if (basic()) return Written::kCount;
  const int ch = static_cast<int>((offset - kCCR1) / 4) + 1;
  if (is_input(ch)) return Written::kCount;  // holds captures: read-only
  const std::uint32_t v = value & counter_mask();
  set32(offset, v);
  if (oc_preload(ch)) return Written::kNoDuty;  // takes effect at the next update event
  ccr_active_[slot(ch)] = v;
  plan_channel(ch, now);
  return Written::kCount;
}

void Timer::after_write(Written written, Ticks now) {
  // A capture set up or given up: a channel starts or stops changing its
  // pins by events. (A change of the pins' watch reaches rewatch.)
  if (const unsigned eager = written == Written::kChannels ? wanted_channels() : eager_; eager != eager_) {
    eager_ = eager;
    plan_outputs(now);
  }
  // The levels that changed go out; all of them only when the pins' or the
  // channels' set-up has changed since the last push (a pin may have come
  // into the timer's function).
  push_pins(!pin_setup_known_);
  reschedule();
  if (written != Written::kNoDuty || drive_stale_) notice_drive(now);
}

}  // namespace vboard
