// Timer model: the time base (prescaler with its preload, auto-reload with
// optional preload, the counter counting up, down or centre-aligned, the
// update event and its flag, the write-0-to-clear status register, DIER and
// the interrupt line) shared by the basic timers (TIM6) and the
// general-purpose ones (TIM2, TIM3, TIM5), and on the general-purpose ones
// the four capture/compare channels: output compare and PWM on the
// channels' pins, input capture from them, and the slave-mode controller's
// reset mode (PWM input). The parts: time_base.cpp, capture.cpp,
// pwm.cpp.
//
// Input filters (ICxF, with CKD's f_DTS): an edge on TIx counts only once
// the pin has held its new level for N samples at the filter's sampling
// rate, and it counts then; a shorter pulse is never seen. The samples
// follow a free-running divider from time 0.
//
// Not modelled: the match, toggle and forced output modes, the trigger,
// gated and encoder slave modes (setting one is recorded as a gap), the
// compare flags of output channels, the trigger input TRC as a capture
// source, external clocks, DMA. A disabled output leaves its pin low.
//
// Cost: the counter is computed from the time, not stepped. Update events
// are scheduled only while one can be seen when it happens (the update flag
// is clear, an output follows the count, a preloaded compare value waits);
// otherwise they are caught up with at the next register access. Output
// levels change by scheduled events only while some observer of the pin
// wants its edges; otherwise the level is a function of the time and is
// computed when the pin is read. A channel whose level cannot change
// (compare 0, say), or that nobody watches, costs nothing while the timer
// runs. An outside source that knows a pin's next edges ahead (the sensor's
// PWM line) may hand them over (take_line): the filter's output edges are
// then computed from them, an edge that only latches a capture and raises a
// flag without interrupt is taken at the next look at the timer, and only
// the others are events.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "device.h"
#include "vboard/chip/clock_tree.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/peripheral.h"
#include "vboard/chip/system_control_block.h"

namespace vboard {

class Timer : public Peripheral {
 public:
  // Counts the APB1 timer clock of `clocks`; its channels on the pins of `ports`.
  Timer(const Context& context, const hw::DeviceRow& row, IrqLine irq, const ClockTree& clocks, GpioPorts& ports);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;
  void on_event(int kind) override;
  void clocks_changed() override;

  int number() const { return number_; }
  bool basic() const { return number_ == 6 || number_ == 7; }
  bool wide() const { return number_ == 2 || number_ == 5; }  // 32-bit counter
  int irq() const { return irq_.number(); }

  // The backing store read and written in place through the block's own
  // pointer (no address translation): a timer's registers are looked at on
  // every edge and every update event.
  std::uint16_t reg16(std::uint32_t offset) const { return static_cast<std::uint16_t>(load(offset, 2)); }
  std::uint32_t reg32(std::uint32_t offset) const { return load(offset, 4); }
  void set16(std::uint32_t offset, std::uint16_t v) { store(offset, v, 2); }
  void set32(std::uint32_t offset, std::uint32_t v) { store(offset, v, 4); }

  // Observations for tests.
  bool running() const { return (reg16(kCR1) & 1u) != 0; }
  std::uint32_t counter() const;
  bool counting_down() const;
  std::uint32_t prescaler() const { return psc_active_; }
  std::uint32_t auto_reload() const { return arr_active_; }
  std::uint32_t compare(int channel) const { return ccr_active_.at(static_cast<std::size_t>(channel - 1)); }
  Ticks count_period() const { return count_tick_; }   // one counter step
  Ticks update_period() const;                          // between two update events
  std::uint64_t updates() const;
  // Events this timer has handled since reset (its cost in a long run).
  std::uint64_t events_handled() const { return events_; }
  // Calls `observer` at every update event (after the flag is raised);
  // while one is set, every update event is scheduled. Dropped at reset.
  void set_on_update(std::function<void(Ticks)> observer);
  // Calls `listener` whenever what the outputs do averaged over a counter
  // period may have changed: a compare value taking effect, the auto-reload,
  // a channel's mode, polarity or enable, the counter started or stopped.
  // For a part of the board that sees the outputs averaged (the phase
  // drive). Board wiring: kept across reset.
  void set_on_drive_change(std::function<void(Ticks)> listener) {
    on_drive_change_ = std::move(listener);
    drive_stale_ = true;
  }
  // Fraction of a counter period for which channel 1..4's output is high,
  // from its compare value, the auto-reload and the counting mode; the level
  // itself (0 or 1) while the counter stands still or the mode is not PWM.
  double duty(int channel) const;
  // Level of channel 1..4's output as it leaves the timer: the reference
  // after polarity, low while the output is disabled.
  bool output(int channel) const;
  // Captures taken on channel 1..4 since reset.
  std::uint64_t captures(int channel) {
    catch_up();  // an edge handed over ahead may be due
    return captures_.at(static_cast<std::size_t>(channel - 1));
  }

  // A source that has handed a pin's edges over ahead (take_line). The
  // timer gives them back when its set-up changes: the source then brings
  // the pin up to date, calls release_line and drives it edge by edge.
  class LineSource {
   public:
    virtual void reclaim_line() = 0;

   protected:
    ~LineSource() = default;
  };
  // At a rising edge of a pin, now, the pin's next edges: low at `fall`,
  // high again at `next_rise` (the source's next call). True: the timer
  // takes them, the rise included, and ignores the pin's reports until the
  // line is released or taken again. False (the pin is not one of its
  // inputs alone, someone watches it, a filter could lose one of the
  // edges, an edge needs an event of its own, outputs follow the count):
  // the source drives the pin edge by edge.
  bool take_line(char port, int pin, Ticks fall, Ticks next_rise, LineSource& source);
  // The edges handed over are taken as far as they have come; from now on
  // the pin's reports count again.
  void release_line();

  // Test-facing: at `when`, a capture pair as the PWM input mode leaves it:
  // CCR2 and then CCR1 written, CC2IF and CC1IF raised (with the overcapture
  // flag of a channel whose flag was still raised).
  void inject_capture(std::uint32_t ccr1, std::uint32_t ccr2, Ticks when);

  static constexpr std::uint32_t kCR1 = offsetof(TIM_TypeDef, CR1), kCR2 = offsetof(TIM_TypeDef, CR2),
                                 kSMCR = offsetof(TIM_TypeDef, SMCR), kDIER = offsetof(TIM_TypeDef, DIER),
                                 kSR = offsetof(TIM_TypeDef, SR), kEGR = offsetof(TIM_TypeDef, EGR),
                                 kCCMR1 = offsetof(TIM_TypeDef, CCMR1), kCCMR2 = offsetof(TIM_TypeDef, CCMR2),
                                 kCCER = offsetof(TIM_TypeDef, CCER), kCNT = offsetof(TIM_TypeDef, CNT),
                                 kPSC = offsetof(TIM_TypeDef, PSC), kARR = offsetof(TIM_TypeDef, ARR),
                                 kRCR = offsetof(TIM_TypeDef, RCR), kCCR1 = offsetof(TIM_TypeDef, CCR1),
                                 kCCR2 = offsetof(TIM_TypeDef, CCR2), kCCR3 = offsetof(TIM_TypeDef, CCR3),
                                 kCCR4 = offsetof(TIM_TypeDef, CCR4);

 protected:
  enum EventKind { kUpdate = 0, kOutput = 1, kFilter = 2 /* 2..5: TI1..TI4 */ };
  std::uint32_t counter_mask() const { return wide() ? 0xFFFFFFFFu : 0xFFFFu; }
  void set_status(std::uint16_t bits);
  void update_irq_line();

 private:
  // A monotonic run of the counter: from `count` at `start`, one step each
  // count period, up or down, until the update event at `end` (kNever while
  // the counter stands still).
  struct Run {
    Ticks start = 0;
    std::uint32_t count = 0;
    bool down = false;
    bool wraps = false;  // ends by wrapping past the counter's width (it was above ARR)
    Ticks end = kNever;
  };

  bool centre() const { return (reg16(kCR1) & 0x0060u) != 0; }
  bool edge_down() const { return !centre() && (reg16(kCR1) & 0x0010u) != 0; }
  bool counting() const { return running() && count_tick_ != 0 && arr_active_ != 0; }
  std::uint64_t steps_to_end(std::uint32_t count, bool down, bool& wraps) const;
  void start_run(Ticks at, std::uint32_t count, bool down);
  Run next_run(const Run& run) const;
  Run run_at(Ticks t, std::uint64_t* updates_passed) const;
  std::uint32_t count_in(const Run& run, Ticks t) const;

  // Update events.
  void catch_up();
  bool catch_up_due(Ticks now);
  void overflow_update();  // planning the outputs and telling the drive left to the caller
  void reinitialise();  // UG or the slave-mode reset
  void load_preloads();
  bool wants_update_events() const;
  void reschedule();
  void reschedule_update();
  bool flags_only() const;
  // The register side's writes, one register (or a group alike) each.
  enum class Written;
  void write_status(std::uint32_t value);  // SR
  void write_cr1(std::uint32_t value, Ticks now);
  void write_egr(std::uint32_t value);
  void write_cnt(std::uint32_t value, Ticks now);
  void write_arr(std::uint32_t value, Ticks now);
  Written write_channel_modes(std::uint32_t offset, std::uint32_t value, unsigned width, Ticks now);
  Written write_smcr(std::uint32_t value, unsigned width);
  Written write_ccr(std::uint32_t offset, std::uint32_t value, Ticks now);
  void after_write(Written written, Ticks now);

  // Channels (1..4), as CCMR1, CCMR2 and CCER set them (decoded once per
  // write: a capture or an output change reads no register).
  struct Channel {
    unsigned selection = 0;  // CCxS: 0 output, 1 own input, 2 neighbour's input, 3 trigger input
    unsigned mode = 0;       // OCxM
    bool preload = false;    // OCxPE
    bool enabled = false;    // CCxE
    bool inverted = false;   // CCxP
    bool both_edges = false;  // CCxP and CCxNP
    std::uint32_t every = 1;  // capture prescaler
    unsigned filter = 0;      // ICxF: the filter of input TIx
  };
  // Sampling period of TIx's filter and the samples it needs (0: no filter).
  Ticks filter_sampling(int ti, unsigned& samples) const;
  void on_pin(int ti, bool level);  // TIx's pin, before the filter
  void pin_edge(int ti, bool level, Ticks passes);
  void filter_settled(int ti);
  void decode_channels();
  const Channel& channel(int ch) const { return channels_[static_cast<std::size_t>(ch - 1)]; }
  bool is_output(int ch) const { return !basic() && channel(ch).selection == 0; }
  bool is_input(int ch) const { return !basic() && channel(ch).selection != 0; }
  unsigned oc_mode(int ch) const { return channel(ch).mode; }
  bool oc_preload(int ch) const { return channel(ch).preload; }
  bool enabled(int ch) const { return channel(ch).enabled; }
  bool steady(int ch) const;
  void plan_outputs(Ticks t);
  void plan_channel(int ch, Ticks t);
  void push_pins(bool all);
  void on_input(int ti, bool rising);
  void take_input(int ti, bool rising, Ticks at);
  bool selects(int ch, int ti, bool rising) const;
  void route_inputs();
  int sole_input_pin(char port, int pin) const;
  int sole_input_pin_cached(char port, int pin);
  bool triggers(int ti, bool rising) const;
  std::uint32_t count_at(Ticks t) const;
  // TIx's filter as it stands: when it passes an edge.
  struct Settling {
    Ticks sample = 0;  // 0: at once
    unsigned samples = 0;
    Ticks passes(Ticks edge) const;
  };
  Settling settling(int ti) const;
  bool quiet_input(int ti, bool rising) const;
  // True: an update event was due. Most calls find none: the check in line.
  bool run_updates_to(Ticks t) { return run_.end <= t && run_due_updates(t); }
  bool run_due_updates(Ticks t);
  bool outputs_reach_pins();
  void capture(int ch, std::uint32_t value);
  void observe_pins();
  bool eager(int ch) const { return (eager_ & (1u << (ch - 1))) != 0; }
  bool ref_now(int ch) const;
  void rewatch();
  unsigned wanted_channels() const;
  bool refresh_lazy_pins();

  int number_;
  IrqLine irq_;
  const ClockTree& clocks_;
  GpioPorts& ports_;
  std::uint32_t psc_active_ = 0;
  std::uint32_t arr_active_ = 0;
  std::uint32_t arr_preload_ = 0;
  Ticks count_tick_ = 0;
  Ticks clock_period_ = 0;  // of the APB1 timer clock, as the clock tree last told
  Run run_{};
  std::function<void(Ticks)> on_update_;
  std::function<void(Ticks)> on_drive_change_;
  std::array<double, 4> duty_seen_{};  // duties last told to the listener
  // The duties may differ from duty_seen_ though no write or update has
  // changed them (the clocks have changed, or a listener has come after
  // changes nobody heard): a write that changes no duty still compares.
  bool drive_stale_ = true;
  void notice_drive(Ticks t);
  std::uint64_t updates_ = 0;
  std::uint64_t events_ = 0;
  bool irq_level_ = false;

  std::array<Channel, 4> channels_{};
  unsigned live_outputs_ = 0;  // enabled output channels, one bit each
  unsigned eager_ = 0xFu;      // channels whose level changes are events (someone watches a pin), one bit each
  bool any_input_ = false;     // a channel captures or the slave controller listens
  // What an edge of TIx does, by input and edge (falling, rising), as the
  // channels and SMCR are decoded: the channels it latches (one bit each)
  // and whether it is the slave controller's trigger.
  struct Route {
    unsigned captures = 0;
    bool trigger = false;
  };
  std::array<std::array<Route, 2>, 4> routes_{};
  std::array<bool, 4> pushed_{};  // output levels last put on the pins
  Ticks update_scheduled_ = kNever;
  Ticks output_scheduled_ = kNever;

  std::array<std::uint32_t, 4> ccr_active_{};  // compare values in use; CCRx holds the preload
  std::array<bool, 4> ref_{};                  // output reference levels (OCxREF)
  std::array<Ticks, 4> change_at_{};           // next change of a reference in the current run
  std::array<std::uint64_t, 4> captures_{};
  std::array<std::uint32_t, 4> capture_events_{};  // edges seen, for the capture prescaler
  struct InputFilter {
    bool level = false;  // as the filter passes it on
    bool pin = false;    // as the pin is now
  };
  std::array<InputFilter, 4> filters_{};
  // A line handed over ahead: its falling edge, not yet taken, and when the
  // filter passes it (ti 0: none).
  struct Line {
    int ti = 0;
    Ticks fall = kNever;
    Ticks fall_passes = kNever;
    LineSource* source = nullptr;
  };
  Line line_{};
  // sole_input_pin's answer for one pin, kept until the pins' set-up or
  // watch may change (the ports tell rewatch first); key -1: none kept.
  int sole_key_ = -1;
  int sole_ti_ = 0;
  // Whether an output channel's pin sat in the timer's function when the
  // pins' set-up was last looked at, and whether that still holds.
  bool pin_setup_known_ = false;
  bool outputs_reach_pins_ = true;
};

}  // namespace vboard
