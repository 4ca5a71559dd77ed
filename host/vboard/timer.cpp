#include "vboard/timer.h"

#include <algorithm>

#include "vboard/board.h"
#include "vboard/gpio.h"
#include "vboard/rcc.h"

namespace vboard {

namespace {
constexpr std::uint16_t CEN = 0x0001, UDIS = 0x0002, URS = 0x0004, OPM = 0x0008, DIR = 0x0010, CMS = 0x0060,
                        ARPE = 0x0080;
constexpr std::uint16_t UG = 0x0001, TG = 0x0040;
constexpr std::uint16_t UIF = 0x0001, TIF = 0x0040;
constexpr std::uint16_t kInterruptFlags = 0x005F;  // UIF, CC1IF..CC4IF, TIF

constexpr std::uint16_t cc_flag(int ch) { return static_cast<std::uint16_t>(1u << ch); }
constexpr std::uint16_t overcapture_flag(int ch) { return static_cast<std::uint16_t>(1u << (ch + 8)); }
constexpr std::uint32_t ccr_offset(int ch) { return Timer::kCCR1 + 4u * static_cast<std::uint32_t>(ch - 1); }
constexpr std::size_t slot(int ch) { return static_cast<std::size_t>(ch - 1); }

// Output-compare modes (OCxM).
constexpr unsigned kFrozen = 0, kActiveOnMatch = 1, kInactiveOnMatch = 2, kToggle = 3, kForceInactive = 4,
                   kForceActive = 5, kPwm1 = 6;

// The pins of each channel on ports A to C, by timer (port 0: none).
struct PinRef {
  char port;
  int pin;
};
constexpr PinRef kNoPin{0, 0};
using ChannelPins = std::array<std::array<PinRef, 3>, 4>;
constexpr ChannelPins kTim2Pins{{{{{'A', 0}, {'A', 5}, {'A', 15}}},
                                 {{{'A', 1}, {'B', 3}, kNoPin}},
                                 {{{'A', 2}, {'B', 10}, kNoPin}},
                                 {{{'A', 3}, {'B', 11}, kNoPin}}}};
constexpr ChannelPins kTim3Pins{{{{{'A', 6}, {'B', 4}, {'C', 6}}},
                                 {{{'A', 7}, {'B', 5}, {'C', 7}}},
                                 {{{'B', 0}, {'C', 8}, kNoPin}},
                                 {{{'B', 1}, {'C', 9}, kNoPin}}}};
constexpr ChannelPins kTim5Pins{{{{{'A', 0}, kNoPin, kNoPin}},
                                 {{{'A', 1}, kNoPin, kNoPin}},
                                 {{{'A', 2}, kNoPin, kNoPin}},
                                 {{{'A', 3}, kNoPin, kNoPin}}}};

const ChannelPins* pins_of(int timer) {
  switch (timer) {
    case 2: return &kTim2Pins;
    case 3: return &kTim3Pins;
    case 5: return &kTim5Pins;
    default: return nullptr;
  }
}

// Alternate function that connects the timer to its pins.
unsigned af_of(int timer) { return timer == 2 ? 1u : 2u; }

constexpr unsigned kModeAlternate = 2;

// PWM reference: mode 1 is active while counting up below the compare
// value and while counting down at or below it; mode 2 is the inverse.
bool pwm_level(unsigned mode, bool down, std::uint32_t count, std::uint32_t compare) {
  const bool active = down ? count <= compare : count < compare;
  return mode == kPwm1 ? active : !active;
}
}  // namespace

Timer::Timer(Board& board, int number)
    : Peripheral(board, "TIM" + std::to_string(number), 0x40000000u + 0x400u * static_cast<unsigned>(number - 2), 0x54),
      number_(number) {
  set_clock_gate(0x40, 1u << (number - 2));  // APB1ENR TIMxEN
}

int Timer::irq() const {
  switch (number_) {
    case 2: return 28;
    case 3: return 29;
    case 4: return 30;
    case 5: return 50;
    case 6: return 54;
    case 7: return 55;
    default: return -1;
  }
}

void Timer::reset() {
  psc_active_ = 0;
  arr_active_ = arr_preload_ = counter_mask();
  set32(kARR, arr_active_);
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
  update_scheduled_ = output_scheduled_ = kNever;
  decode_channels();
  observe_pins();
}

void Timer::observe_pins() {
  // The ports reset before this model and dropped their observers.
  const ChannelPins* pins = pins_of(number_);
  if (pins == nullptr) return;
  const unsigned af = af_of(number_);
  for (char port : {'A', 'B', 'C'}) {
    std::array<std::uint16_t, 4> inputs{};  // pins of TI1..TI4 on this port
    std::uint16_t any = 0;
    for (std::size_t ch = 0; ch < 4; ++ch) {
      for (const PinRef& p : (*pins)[ch]) {
        if (p.port == port) inputs[ch] = static_cast<std::uint16_t>(inputs[ch] | (1u << p.pin));
      }
      any = static_cast<std::uint16_t>(any | inputs[ch]);
    }
    if (any == 0) continue;
    GpioPort& gpio = board_.gpio(port);
    gpio.observe([this, &gpio, inputs, any, af](int pin, bool level, Ticks) {
      const std::uint32_t bit = 1u << pin;
      if ((any & bit) == 0) return;
      if (gpio.mode(pin) != kModeAlternate || gpio.alternate_function(pin) != af) return;
      for (int ti = 1; ti <= 4; ++ti) {
        if (inputs[slot(ti)] & bit) on_pin(ti, level);
      }
    });
  }
}

void Timer::clocks_changed() {
  catch_up();
  const std::uint32_t count = counter();
  const bool down = counting_down();
  clock_period_ = board_.rcc().apb1_timer_period();
  count_tick_ = clock_period_ * (static_cast<Ticks>(psc_active_) + 1);
  start_run(board_.now(), count, down);
  plan_outputs(board_.now(), false);
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

std::uint32_t Timer::counter() const {
  if (!counting() || run_.end == kNever) return run_.count;
  const Ticks now = board_.now();
  return count_in(run_at(now, nullptr), now);
}

bool Timer::counting_down() const {
  if (!counting() || run_.end == kNever) return centre() ? run_.down : edge_down();
  return run_at(board_.now(), nullptr).down;
}

Ticks Timer::update_period() const {
  if (!counting()) return kNever;
  const Ticks counts = centre() ? arr_active_ : static_cast<Ticks>(arr_active_) + 1;
  return counts * count_tick_;
}

std::uint64_t Timer::updates() const {
  std::uint64_t passed = 0;
  if (counting() && run_.end != kNever && !(reg16(kCR1) & UDIS)) (void)run_at(board_.now(), &passed);
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
  plan_outputs(at, true);
}

void Timer::reinitialise() {
  const Ticks now = board_.now();
  const std::uint16_t cr1 = reg16(kCR1);
  if (!(cr1 & UDIS)) load_preloads();
  const bool down = edge_down();
  start_run(now, down ? arr_active_ : 0u, down);
  if (!(cr1 & UDIS) && !(cr1 & URS)) {
    ++updates_;
    set_status(UIF);
    if (on_update_) on_update_(now);
  }
  plan_outputs(now, true);
}

void Timer::catch_up() {
  const Ticks now = board_.now();
  if (run_.end == kNever || now < run_.end) return;
  while (run_.end != kNever && run_.end <= now) {
    overflow_update();
    if (run_.end != kNever && run_.end <= now && !wants_update_events()) {
      // Nothing that can be seen changes at the updates still due but the
      // count: jump over them.
      std::uint64_t passed = 0;
      run_ = run_at(now, &passed);
      if (!(reg16(kCR1) & UDIS)) updates_ += passed;
      plan_outputs(now, false);
    }
  }
  push_pins(false);
  reschedule();
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
    if (!steady(ch)) return true;
  }
  return false;
}

void Timer::set_on_update(std::function<void(Ticks)> observer) {
  catch_up();
  on_update_ = std::move(observer);
  reschedule();
}

void Timer::reschedule() {
  // The board is told only of changes: a timer is looked at often.
  const Ticks update = wants_update_events() ? run_.end : kNever;
  if (update != update_scheduled_) {
    update_scheduled_ = update;
    board_.schedule(this, kUpdate, update);
  }
  const Ticks output = *std::min_element(change_at_.begin(), change_at_.end());
  if (output != output_scheduled_) {
    output_scheduled_ = output;
    board_.schedule(this, kOutput, output);
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
  catch_up();
  if (kind == kOutput) {
    const Ticks now = board_.now();
    for (int ch = 1; ch <= 4; ++ch) {
      if (change_at_[slot(ch)] > now) continue;
      if (oc_mode(ch) < kPwm1) apply_match(ch);
      plan_channel(ch, now, false);
    }
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
  if (irq() >= 0) board_.set_irq_line(irq(), level);
}

// ---------------------------------------------------------------------------
// Channels

void Timer::decode_channels() {
  live_outputs_ = 0;
  any_input_ = false;
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
}

bool Timer::output(int ch) const {
  if (!is_output(ch) || !enabled(ch)) return false;
  return ref_[slot(ch)] != channel(ch).inverted;
}

bool Timer::steady(int ch) const {
  // Whether the reference keeps its level for good while nothing changes.
  const std::uint32_t c = ccr_active_[slot(ch)];
  const std::uint32_t arr = arr_active_;
  switch (oc_mode(ch)) {
    case kFrozen:
    case kForceInactive:
    case kForceActive:
      return true;
    case kActiveOnMatch:
      return ref_[slot(ch)] || c > arr;
    case kInactiveOnMatch:
      return !ref_[slot(ch)] || c > arr;
    case kToggle:
      return c > arr;
    default:  // PWM
      if (centre()) return c == 0 || c >= arr;
      if (edge_down()) return c >= arr;
      return c == 0 || c > arr;
  }
}

void Timer::plan_outputs(Ticks t, bool at_update) {
  if (basic()) return;
  for (int ch = 1; ch <= 4; ++ch) plan_channel(ch, t, at_update);
}

void Timer::plan_channel(int ch, Ticks t, bool at_update) {
  // Sets the reference level at `t` and finds its next change inside the
  // current run; a run counts one way, so there is at most one.
  const std::size_t i = slot(ch);
  change_at_[i] = kNever;
  // A disabled output is planned afresh when it is enabled.
  if (!is_output(ch) || !enabled(ch)) return;
  const unsigned mode = oc_mode(ch);
  if (mode == kFrozen) return;
  if (mode == kForceInactive || mode == kForceActive) {
    ref_[i] = mode == kForceActive;
    return;
  }
  const std::uint32_t c = ccr_active_[i];
  const bool pwm = mode >= kPwm1;
  const Run& r = run_;
  if (!counting() || r.end == kNever) {
    if (pwm) ref_[i] = pwm_level(mode, r.down, r.count, c);
    return;
  }
  const std::uint64_t k = (t - r.start) / count_tick_;  // steps taken so far
  const std::uint64_t n = (r.end - r.start) / count_tick_;  // steps in the run
  if (pwm) {
    ref_[i] = pwm_level(mode, r.down, count_in(r, t), c);
    // Counting up the level flips when the count reaches the compare value
    // (it stops being below it), counting down likewise (it starts being at
    // or below it).
    std::uint64_t flip = 0;
    if (!r.down && c > r.count) flip = c - r.count;
    if (r.down && r.count > c) flip = r.count - c;
    if (flip > k && flip < n) change_at_[i] = r.start + flip * count_tick_;
    return;
  }
  // Match modes act when the count becomes the compare value.
  bool hit = false;
  std::uint64_t m = 0;
  if (!r.down && c >= r.count) {
    hit = true;
    m = c - r.count;
  } else if (r.down && r.count >= c) {
    hit = true;
    m = r.count - c;
  }
  if (!hit || m >= n) return;
  if (m == k && k == 0 && at_update) {
    apply_match(ch);
  } else if (m > k) {
    change_at_[i] = r.start + m * count_tick_;
  }
}

void Timer::apply_match(int ch) {
  bool& ref = ref_[slot(ch)];
  switch (oc_mode(ch)) {
    case kActiveOnMatch: ref = true; break;
    case kInactiveOnMatch: ref = false; break;
    case kToggle: ref = !ref; break;
    default: break;
  }
}

void Timer::push_pins(bool all) {
  // Levels go to the pins that are in the timer's alternate function; after
  // a register write all of them (the pins' set-up may have changed too),
  // otherwise the channels whose level changed.
  const ChannelPins* pins = pins_of(number_);
  if (pins == nullptr) return;
  const unsigned af = af_of(number_);
  for (int ch = 1; ch <= 4; ++ch) {
    if (!is_output(ch)) continue;
    const bool level = output(ch);
    if (!all && level == pushed_[slot(ch)]) continue;
    pushed_[slot(ch)] = level;
    for (const PinRef& p : (*pins)[slot(ch)]) {
      if (p.port == 0) continue;
      GpioPort& gpio = board_.gpio(p.port);
      if (gpio.mode(p.pin) != kModeAlternate || gpio.alternate_function(p.pin) != af) continue;
      if (gpio.level(p.pin) != level) gpio.set_alternate_output(p.pin, level);
    }
  }
}

Ticks Timer::filter_sampling(int ti, unsigned& samples) const {
  // ICxF: sampling clock (CK_INT, or f_DTS divided by 2 to 32) and the
  // number of equal samples that validate a level.
  struct Setting {
    unsigned dts_divider;  // 0: CK_INT
    unsigned samples;
  };
  static constexpr std::array<Setting, 16> kSettings{{{0, 0},  {0, 2},  {0, 4},  {0, 8},  {2, 6},  {2, 8},
                                                      {4, 6},  {4, 8},  {8, 6},  {8, 8},  {16, 5}, {16, 6},
                                                      {16, 8}, {32, 5}, {32, 6}, {32, 8}}};
  const Setting s = kSettings[channel(ti).filter];
  samples = s.samples;
  if (s.samples == 0 || clock_period_ == 0) return 0;
  if (s.dts_divider == 0) return clock_period_;
  const unsigned ckd = (reg16(kCR1) >> 8) & 3u;  // f_DTS = CK_INT / 1, 2, 4
  const Ticks dts = clock_period_ << (ckd == 0 ? 0 : ckd == 1 ? 1 : 2);
  return dts * s.dts_divider;
}

void Timer::on_pin(int ti, bool level) {
  InputFilter& f = filters_[slot(ti)];
  f.pin = level;
  unsigned samples = 0;
  const Ticks sample = (any_input_ && clocked()) ? filter_sampling(ti, samples) : 0;
  if (sample == 0) {
    f.level = level;
    board_.cancel(this, kFilter + ti - 1);
    on_input(ti, level);
    return;
  }
  if (level == f.level) {
    board_.cancel(this, kFilter + ti - 1);  // back before the filter took it: a pulse too short to see
    return;
  }
  // The first sample at or after the change, then samples - 1 more.
  const Ticks now = board_.now();
  const Ticks first = (now + sample - 1) / sample * sample;
  board_.schedule(this, kFilter + ti - 1, first + (samples - 1) * sample);
}

void Timer::filter_settled(int ti) {
  InputFilter& f = filters_[slot(ti)];
  if (f.level == f.pin) return;
  f.level = f.pin;
  on_input(ti, f.level);
}

void Timer::on_input(int ti, bool rising) {
  if (!any_input_ || !clocked()) return;
  catch_up();
  const std::uint32_t count = counter();
  auto edge_selected = [&](int ch) {
    const Channel& c = channel(ch);
    return c.both_edges || rising != c.inverted;
  };
  for (int ch = 1; ch <= 4; ++ch) {
    const unsigned sel = channel(ch).selection;
    if (sel != 1 && sel != 2) continue;  // an output, or the trigger input (not modelled)
    // Selection 1 takes the channel's own input, 2 its neighbour's (TI1 and
    // TI2 are a pair, TI3 and TI4 another).
    const int source = sel == 1 ? ch : ((ch - 1) ^ 1) + 1;
    if (source != ti || !enabled(ch) || !edge_selected(ch)) continue;
    if (++capture_events_[slot(ch)] % channel(ch).every != 0) continue;  // capture prescaler
    capture(ch, count);
  }
  // Slave-mode controller: the trigger is TI1's edge detector (TS 100), or
  // the filtered TI1 or TI2 with their channel's polarity (TS 101, 110).
  const std::uint16_t smcr = reg16(kSMCR);
  const unsigned mode = smcr & 7u;
  const unsigned source = (smcr >> 4) & 7u;
  const bool trigger = (source == 4 && ti == 1) || (source == 5 && ti == 1 && edge_selected(1)) ||
                       (source == 6 && ti == 2 && edge_selected(2));
  if (trigger) {
    set_status(TIF);
    if (mode == 4) {
      reinitialise();  // reset mode: the counter restarts, the preloads load
    } else if (mode == 6 && !running()) {
      set16(kCR1, static_cast<std::uint16_t>(reg16(kCR1) | CEN));  // trigger mode: the counter starts
      start_run(board_.now(), run_.count, counting_down());
      plan_outputs(board_.now(), false);
    }
  }
  push_pins(false);
  reschedule();
}

void Timer::capture(int ch, std::uint32_t value) {
  const std::uint16_t flag = cc_flag(ch);
  if (reg16(kSR) & flag) set16(kSR, static_cast<std::uint16_t>(reg16(kSR) | overcapture_flag(ch)));
  set32(ccr_offset(ch), value & counter_mask());
  ++captures_[slot(ch)];
  set_status(flag);
}

void Timer::inject_capture(std::uint32_t ccr1, std::uint32_t ccr2, Ticks when) {
  board_.at(when, [this, ccr1, ccr2] {
    catch_up();
    capture(2, ccr2);
    capture(1, ccr1);
    reschedule();
  });
}

// ---------------------------------------------------------------------------
// Register side

std::uint32_t Timer::read(std::uint32_t offset, unsigned width) {
  catch_up();
  switch (offset) {
    case kCNT:
      board_.volatile_read();
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
      if (is_input(ch) && (reg16(kSR) & cc_flag(ch))) {
        set16(kSR, static_cast<std::uint16_t>(reg16(kSR) & ~cc_flag(ch)));
        update_irq_line();
        reschedule();
      }
      return load(offset, width);
    }
    default:
      return load(offset, width);
  }
}

void Timer::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  catch_up();
  const Ticks now = board_.now();
  switch (offset) {
    case kCR1: {
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
      plan_outputs(now, false);
      break;
    }
    case kSR:
      // rc_w0: a 0 clears the flag, a 1 leaves it.
      set16(kSR, static_cast<std::uint16_t>(reg16(kSR) & value));
      update_irq_line();
      break;
    case kDIER:
      store(offset, value, width);
      update_irq_line();
      break;
    case kEGR:
      if (value & UG) reinitialise();  // re-initialise the counter and load the preloaded registers
      if (!basic()) {
        for (int ch = 1; ch <= 4; ++ch) {
          if (!(value & cc_flag(ch))) continue;
          if (is_input(ch)) capture(ch, counter());
          else set_status(cc_flag(ch));
        }
        if (value & TG) set_status(TIF);
      }
      break;
    case kCNT: {
      const std::uint32_t v = value & counter_mask();
      if (counting()) start_run(now, v, counting_down());
      else run_ = Run{now, v, run_.down, false, kNever};
      plan_outputs(now, false);
      break;
    }
    case kPSC:
      store(offset, value & 0xFFFFu, width);  // takes effect at the next update event
      break;
    case kARR: {
      const std::uint32_t v = value & counter_mask();
      set32(kARR, v);
      arr_preload_ = v;
      if (!(reg16(kCR1) & ARPE)) {
        const std::uint32_t count = counter();
        const bool down = counting_down();
        arr_active_ = v;
        start_run(now, count, down);
        plan_outputs(now, false);
      }
      break;
    }
    case kCCMR1:
    case kCCMR2:
    case kCCER:
      if (basic()) break;
      store(offset, value & 0xFFFFu, width);
      decode_channels();
      capture_events_.fill(0);
      for (int ch = 1; ch <= 4; ++ch) {
        // An output without preload compares with what CCRx holds.
        if (is_output(ch) && !oc_preload(ch)) ccr_active_[slot(ch)] = reg32(ccr_offset(ch)) & counter_mask();
      }
      plan_outputs(now, false);
      break;
    case kSMCR:
      if (basic()) break;
      store(offset, value & 0xFFFFu, width);
      decode_channels();
      break;
    case kCCR1:
    case kCCR2:
    case kCCR3:
    case kCCR4: {
      if (basic()) break;
      const int ch = static_cast<int>((offset - kCCR1) / 4) + 1;
      if (is_input(ch)) break;  // holds captures: read-only
      const std::uint32_t v = value & counter_mask();
      set32(offset, v);
      if (!oc_preload(ch)) {
        ccr_active_[slot(ch)] = v;
        plan_channel(ch, now, false);
      }
      break;
    }
    default:
      store(offset, value, width);
  }
  push_pins(true);
  reschedule();
}

}  // namespace vboard
