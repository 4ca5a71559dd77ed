// The AS5048A's PWM output, wired to PC6 (TIM3 channel 1 in alternate
// function 2). About 1 kHz; each period starts with a rising edge, and its
// high time encodes the rotor's mechanical angle at that edge:
//
//   high time / period = 0.99467 x ((angle + zero offset) mod 360) / 360
//
// with the sensor's zero offset 40 degrees: the firmware's decoder (duty /
// 99.467 x 100 x 3.6 - AngleComp) then recovers the angle. The line is
// driven by scheduled events, two a period; or, while nothing but the
// capture timer listens to it and no fault is on the line, by one: the
// period's edges are handed to the timer at its start, and the pin's level
// is brought up to date when the port is read. For the bad-input cases a
// test can queue periods of any length and high time, or switch the output
// off.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

#include "vboard/chip/gpio.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/tim/timer.h"
#include "vboard/parts/rotor.h"
#include "vboard/sim/model.h"

namespace vboard {

class SensorPwm : public Part, private Timer::LineSource {
 public:
  static constexpr char kPort = hw::pin("sensor PWM").port;
  static constexpr int kPin = hw::pin("sensor PWM").pin;
  // The timer that captures the line.
  static constexpr int kTimer = hw::timer_on_pin(kPort, kPin);
  static_assert(kTimer > 0, "one timer captures the sensor's line");

  // Drives its pin among `ports`, captured by `timer` (the one of kTimer);
  // reads the angle of `rotor`.
  SensorPwm(const Context& context, Timer& timer, GpioPorts& ports, Rotor& rotor);
  void reset() override;
  void on_event(int kind) override;

  static constexpr double kFullScale = 0.99467;  // duty at the top of the scale
  static constexpr double kFrameClocks = 4119.0;  // sensor clock periods a PWM period

  // ---- Test-facing side ----
  // On (the default): a period starts now. Off: the line is let go (the
  // pin's pull decides; no edges).
  void set_enabled(bool on);
  bool enabled() const { return enabled_; }
  // Length of the periods that start from now on (default 1 ms).
  void set_period(Ticks period);
  Ticks period() const { return period_; }
  // Angle that reads as 0 at the sensor's output (default 40 degrees).
  void set_zero_offset(double degrees) {
    zero_offset_ = degrees;
    high_known_ = false;
  }
  // High time for a mechanical angle in a period of `period` ticks. The
  // sensor's frame is 4119 clock periods: 12 start and 4 error-flag periods
  // high, 4095 data, 8 end periods low; so the high time is never shorter
  // than 16 of them, nor the low time than 8.
  Ticks high_time(double angle, Ticks period) const;
  Ticks high_time(double angle) const { return high_time(angle, period_); }
  // The next periods as given instead of from the angle: a high time of 0
  // leaves the line low for the whole period (no edge), one of the period or
  // more leaves it high (no falling edge, and the next period's rise is lost).
  void queue_period(Ticks period, Ticks high);

  // Faults on the line over whatever the sensor drives, `width` long from
  // `at`: a runt pulse holds the line high, a dropout holds it low (a
  // dropout wins where both overlap). Ignored while the output is off.
  void inject_pulse(Ticks at, Ticks width);
  void inject_dropout(Ticks at, Ticks width);
  // A line held at one level from now on over whatever the sensor drives (a
  // short to the supply or to ground); kFree lets it go again. The sensor's
  // periods go on underneath.
  enum class Hold { kFree, kLow, kHigh };
  void hold_line(Hold hold);
  Hold held() const { return hold_; }

  std::uint64_t periods() const { return periods_; }  // periods started since reset
  Ticks last_rise() const { return last_rise_; }      // start of the current period
  Ticks previous_rise() const { return previous_rise_; }  // start of the period before it
  Ticks last_high() const { return last_high_; }      // its high time

 private:
  enum Event { kRise = 0, kFall = 1 };
  // The shortest and the longest high time of a period (the frame's fixed
  // high and low parts).
  struct HighBounds {
    Ticks shortest;
    Ticks longest;
  };
  static HighBounds high_bounds(Ticks period);
  void start_period();
  void drive_line();  // the sensor's level with the injected faults over it
  bool hand_over(Ticks period, Ticks high);
  bool refresh_pin();
  void reclaim_line() override;

  Timer& timer_;  // the one capturing the line
  GpioPorts& ports_;
  Rotor& rotor_;
  bool enabled_ = true;
  Ticks period_ = ms(1);
  HighBounds bounds_ = high_bounds(ms(1));  // for period_, the one every period but a queued one has
  // The last high time from the angle, for that angle (bit for bit) with
  // period_ and zero_offset_ as they are: the angle is quantised, and a
  // shaft at rest reads the same one period after period.
  bool high_known_ = false;
  std::uint64_t high_angle_bits_ = 0;
  Ticks high_ = 0;
  double zero_offset_ = 40.0;
  std::deque<std::pair<Ticks, Ticks>> queued_;
  std::uint64_t periods_ = 0;
  Ticks last_rise_ = 0;
  Ticks previous_rise_ = 0;
  Ticks last_high_ = 0;
  Hold hold_ = Hold::kFree;
  bool sensor_high_ = false;
  int pulses_ = 0;    // injected pulses in force
  int dropouts_ = 0;  // injected dropouts in force
  // The current period's edges are with the capture timer; the pin falls
  // at `fall_` without an event.
  bool handed_over_ = false;
  Ticks fall_ = 0;
  bool fall_slot_ = false;  // the fall's event has had a time since reset
};

}  // namespace vboard
