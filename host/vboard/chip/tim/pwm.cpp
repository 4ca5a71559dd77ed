// Timer model, PWM output: each channel's reference level follows the
// count against its compare value (PWM modes 1 and 2); a change is planned
// as one event inside the current monotonic run of the counter, and levels
// go to the pins in the timer's alternate function.
#include "vboard/chip/tim/timer.h"

#include <algorithm>

#include "vboard/chip/gpio.h"
#include "vboard/chip/tim/bits.h"

namespace vboard {

using namespace tim;

namespace {

// Only the pins that sit in the timer's alternate function follow a channel.
void drive_pins(const GpioPorts& ports, const std::array<PinRef, 3>& pins, unsigned af, bool level) {
  for (const PinRef& p : pins) {
    if (p.port == 0) continue;
    GpioPort& gpio = ports[p.port];
    // The level first: a pin already at it needs no look at its set-up.
    if (gpio.held_level(p.pin) == level) continue;
    if (gpio.mode(p.pin) != kModeAlternate || gpio.alternate_function(p.pin) != af) continue;
    gpio.set_alternate_output(p.pin, level);
  }
}

}  // namespace

namespace {
// PWM reference: mode 1 is active while counting up below the compare
// value and while counting down at or below it; mode 2 is the inverse.
bool pwm_level(unsigned mode, bool down, std::uint32_t count, std::uint32_t compare) {
  const bool active = down ? count <= compare : count < compare;
  return mode == kPwm1 ? active : !active;
}
}  // namespace

bool Timer::output(int ch) const {
  if (!is_output(ch) || !enabled(ch)) return false;
  return ref_now(ch) != channel(ch).inverted;
}

bool Timer::ref_now(int ch) const {
  // An eager channel's reference is kept by its events; a lazy one's is
  // found from the count now, as its events would have set it.
  const std::size_t i = slot(ch);
  const unsigned mode = oc_mode(ch);
  if (eager(ch) || (mode != kPwm1 && mode != kPwm2) || !counting() || run_.end == kNever) return ref_[i];
  const Ticks now = ctx_.now();
  // Inside the run it was planned for, the reference flips once at most,
  // at its planned change.
  if (now < run_.end) return (now >= change_at_[i]) != ref_[i];
  const Run r = run_at(now, nullptr);
  return pwm_level(mode, r.down, count_in(r, now), ccr_active_[i]);
}

void Timer::rewatch() {
  // The pins' watch has changed, or their set-up is about to: a line handed
  // over ahead is given back (someone may want its edges, or its pin may
  // leave the timer).
  if (line_.source != nullptr) line_.source->reclaim_line();
  sole_key_ = -1;
  pin_setup_known_ = false;
  // A channel is eager while an observer wants the edges of one of its pins,
  // or while this timer captures (it may capture its own outputs).
  const unsigned eager = wanted_channels();
  if (eager == eager_) return;
  catch_up();
  refresh_lazy_pins();
  eager_ = eager;
  plan_outputs(ctx_.now());
  push_pins(false);
  reschedule();
}

unsigned Timer::wanted_channels() const {
  unsigned eager = 0;
  if (const ChannelPins* pins = pins_of(number_)) {
    for (int ch = 1; ch <= 4; ++ch) {
      for (const PinRef& p : (*pins)[slot(ch)]) {
        if (p.port != 0 && (any_input_ || (ports_[p.port].watched() & (1u << p.pin)))) eager |= 1u << (ch - 1);
      }
    }
  }
  return eager;
}

bool Timer::refresh_lazy_pins() {
  // Brings the pins of the lazy channels to their levels now; true while one
  // of them changes with the count.
  const ChannelPins* pins = pins_of(number_);
  if (pins == nullptr || eager_ == 0xFu) return false;
  const unsigned af = af_of(number_);
  bool moving = false;
  for (int ch = 1; ch <= 4; ++ch) {
    if (eager(ch) || !is_output(ch)) continue;
    if (enabled(ch) && counting() && !steady(ch)) moving = true;
    // As the channel's own events would: only a change of its level goes out.
    const bool level = output(ch);
    if (level == pushed_[slot(ch)]) continue;
    pushed_[slot(ch)] = level;
    drive_pins(ports_, (*pins)[slot(ch)], af, level);
  }
  return moving;
}

double Timer::duty(int ch) const {
  if (!is_output(ch) || !enabled(ch)) return 0.0;
  const unsigned mode = oc_mode(ch);
  if ((mode != kPwm1 && mode != kPwm2) || !counting()) return output(ch) ? 1.0 : 0.0;
  const double c = ccr_active_[slot(ch)];
  const double arr = arr_active_;
  double active;
  if (centre()) {
    // Up through 0..ARR-1 active below c, down through ARR..1 active at or
    // below c: c counts of ARR each way.
    active = std::min(c, arr) / arr;
  } else if (edge_down()) {
    active = (std::min(c, arr) + 1.0) / (arr + 1.0);  // ARR..0, active at or below c
  } else {
    active = std::min(c, arr + 1.0) / (arr + 1.0);  // 0..ARR, active below c
  }
  if (mode == kPwm2) active = 1.0 - active;
  return channel(ch).inverted ? 1.0 - active : active;
}

void Timer::notice_drive(Ticks t) {
  if (!on_drive_change_ || basic()) return;
  std::array<double, 4> d{};
  for (int ch = 1; ch <= 4; ++ch) d[slot(ch)] = duty(ch);
  drive_stale_ = false;
  if (d == duty_seen_) return;
  duty_seen_ = d;
  on_drive_change_(t);
}

bool Timer::steady(int ch) const {
  // Whether the reference keeps its level for good while nothing changes.
  const std::uint32_t c = ccr_active_[slot(ch)];
  const std::uint32_t arr = arr_active_;
  if (oc_mode(ch) != kPwm1 && oc_mode(ch) != kPwm2) return true;  // frozen, or a mode not modelled
  if (centre()) return c == 0 || c >= arr;
  if (edge_down()) return c >= arr;
  return c == 0 || c > arr;
}

void Timer::plan_outputs(Ticks t) {
  if (basic()) return;
  if (live_outputs_ == 0) {
    change_at_.fill(kNever);  // no enabled output: nothing to plan (a capture timer's restarts)
    return;
  }
  for (int ch = 1; ch <= 4; ++ch) plan_channel(ch, t);
}

void Timer::plan_channel(int ch, Ticks t) {
  // Sets the reference level at `t` and finds its next change inside the
  // current run; a run counts one way, so there is at most one.
  const std::size_t i = slot(ch);
  change_at_[i] = kNever;
  // A disabled output is planned afresh when it is enabled.
  if (!is_output(ch) || !enabled(ch)) return;
  // Frozen keeps the reference; the other non-PWM modes are not modelled
  // (their set-up is recorded as a gap) and keep it too.
  const unsigned mode = oc_mode(ch);
  if (mode != kPwm1 && mode != kPwm2) return;
  const std::uint32_t c = ccr_active_[i];
  const Run& r = run_;
  if (!counting() || r.end == kNever) {
    ref_[i] = pwm_level(mode, r.down, r.count, c);
    return;
  }
  const std::uint64_t k = (t - r.start) / count_tick_;  // steps taken so far
  const std::uint64_t n = (r.end - r.start) / count_tick_;  // steps in the run
  ref_[i] = pwm_level(mode, r.down, count_in(r, t), c);
  // Counting up the level flips when the count reaches the compare value
  // (it stops being below it), counting down likewise (it starts being at
  // or below it).
  std::uint64_t flip = 0;
  if (!r.down && c > r.count) flip = c - r.count;
  if (r.down && r.count > c) flip = r.count - c;
  if (flip > k && flip < n) change_at_[i] = r.start + flip * count_tick_;
}

void Timer::push_pins(bool all) {
  // Levels go to the pins that are in the timer's alternate function; after
  // a register write all of them (the pins' set-up may have changed too),
  // otherwise the channels whose level changed.
  const ChannelPins* pins = pins_of(number_);
  if (pins == nullptr) return;
  // Without an enabled output every output is low, and was pushed so at
  // the register write that left none enabled.
  if (!all && live_outputs_ == 0) return;
  if (all && !outputs_reach_pins()) {
    // No output's pin is in the timer's function: the pins stay as they are.
    for (int ch = 1; ch <= 4; ++ch) {
      if (is_output(ch)) pushed_[slot(ch)] = output(ch);
    }
    return;
  }
  const unsigned af = af_of(number_);
  for (int ch = 1; ch <= 4; ++ch) {
    if (!is_output(ch)) continue;
    const bool level = output(ch);
    if (!all && level == pushed_[slot(ch)]) continue;
    pushed_[slot(ch)] = level;
    drive_pins(ports_, (*pins)[slot(ch)], af, level);
  }
}

}  // namespace vboard

namespace vboard {

bool Timer::outputs_reach_pins() {
  // Whether a pin of an output channel sits in the timer's alternate
  // function; found again only when the ports' MODER or AFR (they tell
  // rewatch first), or the channels, have changed.
  if (pin_setup_known_) return outputs_reach_pins_;
  pin_setup_known_ = true;
  outputs_reach_pins_ = false;
  const ChannelPins* pins = pins_of(number_);
  const unsigned af = af_of(number_);
  for (int ch = 1; ch <= 4; ++ch) {
    if (!is_output(ch)) continue;
    for (const PinRef& p : (*pins)[slot(ch)]) {
      if (p.port == 0) continue;
      const GpioPort& gpio = ports_[p.port];
      if (gpio.mode(p.pin) == kModeAlternate && gpio.alternate_function(p.pin) == af) outputs_reach_pins_ = true;
    }
  }
  return outputs_reach_pins_;
}

}  // namespace vboard
