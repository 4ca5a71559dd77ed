// Timer model, input capture: edges on the timer's input pins latch the
// count into CCRx (own or neighbour's input, either edge or both, with the
// capture prescaler), raise CCxIF and the overcapture flag, and drive the
// slave-mode controller's reset mode (the PWM input set-up).
#include "vboard/chip/tim/timer.h"

#include <algorithm>
#include <bit>

#include "vboard/chip/gpio.h"
#include "vboard/chip/tim/bits.h"

namespace vboard {

using namespace tim;

void Timer::observe_pins() {
  // The ports reset before this model and dropped their observers (and
  // the sensor its line).
  eager_ = 0;
  line_ = Line{};
  sole_key_ = -1;
  pin_setup_known_ = false;
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
    GpioPort& gpio = ports_[port];
    // The timer judges these edges itself: it keeps its own outputs eager
    // while it captures.
    gpio.observe([this, &gpio, inputs, af](int pin, bool level, Ticks) {
      const std::uint32_t bit = 1u << pin;
      if (gpio.mode(pin) != kModeAlternate || gpio.alternate_function(pin) != af) return;
      for (int ti = 1; ti <= 4; ++ti) {
        if (inputs[slot(ti)] & bit) on_pin(ti, level);
      }
    }, any, false);
    gpio.add_lazy_source([this] { return refresh_lazy_pins(); }, [this] { rewatch(); });
  }
  eager_ = wanted_channels();
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

Timer::Settling Timer::settling(int ti) const {
  // Without a filter (or while the timer does not listen) an edge passes at
  // once.
  Settling s;
  if (any_input_ && clocked()) s.sample = filter_sampling(ti, s.samples);
  return s;
}

Ticks Timer::Settling::passes(Ticks edge) const {
  // The first sample at or after the edge, then samples - 1 more.
  if (sample == 0) return edge;
  const Ticks first = (edge + sample - 1) / sample * sample;
  return first + (samples - 1) * sample;
}

void Timer::on_pin(int ti, bool level) {
  if (line_.ti == ti) return;  // its edges were handed over ahead
  pin_edge(ti, level, settling(ti).passes(ctx_.now()));
}

void Timer::pin_edge(int ti, bool level, Ticks passes) {
  // An edge now that the filter passes at `passes`.
  InputFilter& f = filters_[slot(ti)];
  f.pin = level;
  if (passes == ctx_.now()) {
    f.level = level;
    ctx_.cancel(this, kFilter + ti - 1);
    on_input(ti, level);
    return;
  }
  if (level == f.level) {
    ctx_.cancel(this, kFilter + ti - 1);  // back before the filter took it: a pulse too short to see
    return;
  }
  ctx_.schedule(this, kFilter + ti - 1, passes);
}

void Timer::filter_settled(int ti) {
  InputFilter& f = filters_[slot(ti)];
  if (f.level == f.pin) return;
  f.level = f.pin;
  on_input(ti, f.level);
}

bool Timer::selects(int ch, int ti, bool rising) const {
  // Selection 1 takes the channel's own input, 2 its neighbour's (TI1 and
  // TI2 are a pair, TI3 and TI4 another); 3, the trigger input, is not
  // modelled, nor is an output.
  const Channel& c = channel(ch);
  if (c.selection != 1 && c.selection != 2) return false;
  const int source = c.selection == 1 ? ch : ((ch - 1) ^ 1) + 1;
  return source == ti && c.enabled && (c.both_edges || rising != c.inverted);
}

bool Timer::triggers(int ti, bool rising) const {
  // Slave-mode controller: the trigger is TI1's edge detector (TS 100), or
  // the filtered TI1 or TI2 with their channel's polarity (TS 101, 110).
  const unsigned source = (reg16(kSMCR) >> 4) & 7u;
  auto polarity = [&](int ch) { return channel(ch).both_edges || rising != channel(ch).inverted; };
  return (source == 4 && ti == 1) || (source == 5 && ti == 1 && polarity(1)) || (source == 6 && ti == 2 && polarity(2));
}

void Timer::route_inputs() {
  // Edges come every period, the set-up seldom changes: each edge's work is
  // found here once.
  for (int ti = 1; ti <= 4; ++ti) {
    for (const bool rising : {false, true}) {
      Route& r = routes_[slot(ti)][rising ? 1 : 0];
      r.captures = 0;
      for (int ch = 1; ch <= 4; ++ch) {
        if (selects(ch, ti, rising)) r.captures |= 1u << (ch - 1);
      }
      r.trigger = triggers(ti, rising);
    }
  }
}

bool Timer::quiet_input(int ti, bool rising) const {
  // An edge that only latches captures and raises flags whose interrupts
  // are off: nothing that can be seen happens until the timer is next
  // looked at.
  if (!any_input_ || !clocked()) return true;
  const Route& r = routes_[slot(ti)][rising ? 1 : 0];
  const std::uint16_t dier = reg16(kDIER);
  if (dier & (r.captures << 1)) return false;  // CCxIE sits at bit x
  return !r.trigger || ((reg16(kSMCR) & 7u) != kSlaveReset && !(dier & TIM_DIER_TIE));
}

void Timer::on_input(int ti, bool rising) {
  if (!any_input_ || !clocked()) return;
  catch_up();
  take_input(ti, rising, ctx_.now());
  push_pins(false);
  reschedule();
}

void Timer::take_input(int ti, bool rising, Ticks at) {
  // At `at`, now or (for a quiet edge handed over ahead) earlier, with the
  // update events up to it taken.
  const Route& r = routes_[slot(ti)][rising ? 1 : 0];
  const std::uint32_t count = count_at(at);
  for (unsigned captures = r.captures; captures != 0; captures &= captures - 1) {
    const int ch = std::countr_zero(captures) + 1;
    if (++capture_events_[slot(ch)] % channel(ch).every != 0) continue;  // capture prescaler
    capture(ch, count);
  }
  if (r.trigger) {
    set_status(TIF);
    if ((reg16(kSMCR) & 7u) == kSlaveReset) reinitialise();  // the counter restarts, the preloads load
  }
}

int Timer::sole_input_pin(char port, int pin) const {
  // The input TIx whose only pin in the timer's function this is, and
  // which nobody else watches edge by edge; 0: none.
  const ChannelPins* pins = pins_of(number_);
  if (pins == nullptr) return 0;
  const unsigned af = af_of(number_);
  auto in_function = [&](const PinRef& p) {
    const GpioPort& gpio = ports_[p.port];
    return gpio.mode(p.pin) == kModeAlternate && gpio.alternate_function(p.pin) == af;
  };
  for (int ti = 1; ti <= 4; ++ti) {
    bool mine = false, others = false;
    for (const PinRef& p : (*pins)[slot(ti)]) {
      if (p.port == 0 || !in_function(p)) continue;
      (p.port == port && p.pin == pin ? mine : others) = true;
    }
    if (mine) return others || (ports_[port].watched() & (1u << pin)) ? 0 : ti;
  }
  return 0;
}

int Timer::sole_input_pin_cached(char port, int pin) {
  // The sensor asks for the same pin every period.
  const int key = port * 16 + pin;
  if (key != sole_key_) {
    sole_ti_ = sole_input_pin(port, pin);
    sole_key_ = key;
  }
  return sole_ti_;
}

bool Timer::take_line(char port, int pin, Ticks fall, Ticks next_rise, LineSource& source) {
  release_line();
  const int ti = sole_input_pin_cached(port, pin);
  if (ti == 0) return false;
  const Ticks now = ctx_.now();
  const InputFilter& f = filters_[slot(ti)];
  // The filter has settled low; each edge passes it before the next comes
  // (none is lost, none ties with the next); the fall needs no event; no
  // output follows the count (its pins would be pushed at the edges).
  if (f.pin || f.level || live_outputs_ != 0 || on_update_ || !any_input_ || !clocked()) return false;
  const Settling filter = settling(ti);
  const Ticks rise_passes = filter.passes(now);
  const Ticks fall_passes = filter.passes(fall);
  if (!(now < fall && rise_passes < fall && fall_passes < next_rise) || !quiet_input(ti, false)) return false;
  pin_edge(ti, true, rise_passes);
  line_ = Line{ti, fall, fall_passes, &source};
  return true;
}

void Timer::release_line() {
  if (line_.ti == 0) return;
  catch_up();  // the fall, if the filter has passed it
  const Line line = line_;
  line_ = Line{};
  if (line.fall_passes != kNever && line.fall <= ctx_.now()) {
    // The pin has fallen and the filter has not passed it yet, as if told
    // at the fall.
    filters_[slot(line.ti)].pin = false;
    ctx_.schedule(this, kFilter + line.ti - 1, line.fall_passes);
  }
}

void Timer::capture(int ch, std::uint32_t value) {
  const std::uint16_t flag = cc_flag(ch);
  if (reg16(kSR) & flag) set16(kSR, static_cast<std::uint16_t>(reg16(kSR) | overcapture_flag(ch)));
  set32(ccr_offset(ch), value & counter_mask());
  ++captures_[slot(ch)];
  set_status(flag);
}

void Timer::inject_capture(std::uint32_t ccr1, std::uint32_t ccr2, Ticks when) {
  ctx_.at(when, [this, ccr1, ccr2] {
    catch_up();
    capture(2, ccr2);
    capture(1, ccr1);
    reschedule();
  });
}

}  // namespace vboard
