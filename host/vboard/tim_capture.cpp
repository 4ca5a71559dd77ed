// Timer model, input capture: edges on the timer's input pins latch the
// count into CCRx (own or neighbour's input, either edge or both, with the
// capture prescaler), raise CCxIF and the overcapture flag, and drive the
// slave-mode controller's reset mode (the PWM input set-up).
#include "vboard/tim_model.h"

#include <algorithm>

#include "vboard/board.h"
#include "vboard/gpio.h"
#include "vboard/rcc_model.h"
#include "vboard/tim_bits.h"

namespace vboard {

using namespace tim;

void Timer::observe_pins() {
  // The ports reset before this model and dropped their observers.
  eager_ = 0;
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
    if (mode == kSlaveReset) reinitialise();  // the counter restarts, the preloads load
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

}  // namespace vboard
