#include "vboard/parts/sensor_pwm.h"

#include <algorithm>
#include <bit>

#include "vboard/plant/degrees.h"

namespace vboard {

// No registers: the sensor is outside the chip.
SensorPwm::SensorPwm(const Context& context, Timer& timer, GpioPorts& ports, Rotor& rotor)
    : Part(context, "sensor PWM"), timer_(timer), ports_(ports), rotor_(rotor) {}

void SensorPwm::reset() {
  enabled_ = true;
  set_period(ms(1));
  set_zero_offset(40.0);
  queued_.clear();
  periods_ = 0;
  last_rise_ = 0;
  previous_rise_ = 0;
  last_high_ = 0;
  hold_ = Hold::kFree;
  sensor_high_ = false;
  pulses_ = dropouts_ = 0;
  handed_over_ = false;
  fall_slot_ = false;
  ports_[kPort].add_lazy_source([this] { return refresh_pin(); }, [this] { reclaim_line(); });
  ports_[kPort].drive(kPin, false);
  ctx_.schedule(this, kRise, 0);
}

SensorPwm::HighBounds SensorPwm::high_bounds(Ticks period) {
  const auto clocks = [period](double n) {
    return std::max<Ticks>(1, static_cast<Ticks>(round_half_away(static_cast<double>(period) * n / kFrameClocks)));
  };
  const Ticks shortest = clocks(16.0);
  const Ticks longest = period > clocks(8.0) ? period - clocks(8.0) : shortest;
  return {shortest, std::max(shortest, longest)};
}

void SensorPwm::set_period(Ticks period) {
  period_ = period;
  bounds_ = high_bounds(period);
  high_known_ = false;
}

Ticks SensorPwm::high_time(double angle, Ticks period) const {
  double a = fmod_360(angle + zero_offset_);
  if (a < 0.0) a += 360.0;
  const double high = static_cast<double>(period) * kFullScale * a / 360.0;
  const HighBounds b = period == period_ ? bounds_ : high_bounds(period);
  return std::clamp<Ticks>(static_cast<Ticks>(round_half_away(high)), b.shortest, b.longest);
}

void SensorPwm::set_enabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on) {
    sensor_high_ = false;
    drive_line();
    ctx_.schedule(this, kRise, ctx_.now());
  } else {
    reclaim_line();
    ctx_.cancel(this, kRise);
    ctx_.cancel(this, kFall);
    ports_[kPort].release(kPin);
  }
}

void SensorPwm::queue_period(Ticks period, Ticks high) { queued_.emplace_back(period, high); }

void SensorPwm::start_period() {
  const Ticks now = ctx_.now();
  Ticks period = period_;
  Ticks high;
  if (!queued_.empty()) {
    period = std::max<Ticks>(queued_.front().first, 1);
    high = queued_.front().second;
    queued_.pop_front();
  } else {
    // high_time is a function of the angle, the period and the zero offset
    // alone: the same angle's high time again is the one already computed.
    const double angle = rotor_.sensor_angle(now);
    const auto bits = std::bit_cast<std::uint64_t>(angle);
    if (!high_known_ || bits != high_angle_bits_) {
      high_ = high_time(angle, period);
      high_angle_bits_ = bits;
      high_known_ = true;
    }
    high = high_;
  }
  ++periods_;
  previous_rise_ = last_rise_;
  last_rise_ = now;
  last_high_ = high;
  if (hand_over(period, high)) {
    ctx_.schedule(this, kRise, now + period);
    return;
  }
  sensor_high_ = high > 0;
  drive_line();
  if (high > 0 && high < period) {
    ctx_.schedule(this, kFall, now + high);
    fall_slot_ = true;
  }
  ctx_.schedule(this, kRise, now + period);
}

void SensorPwm::on_event(int kind) {
  if (!enabled_) return;
  if (kind == kRise) {
    start_period();
  } else {
    sensor_high_ = false;
    drive_line();
  }
}

bool SensorPwm::hand_over(Ticks period, Ticks high) {
  // The period before was with the timer: its edges are all past; the pin
  // goes low first (the timer still ignores it), then the timer takes what
  // is left of that period and this one's edges, or drops the line.
  const Ticks now = ctx_.now();
  if (handed_over_) {
    refresh_pin();
    handed_over_ = false;
    timer_.release_line();
  }
  if (hold_ != Hold::kFree || pulses_ > 0 || dropouts_ > 0 || high == 0 || high >= period) return false;
  if (!timer_.take_line(kPort, kPin, now + high, now + period, *this)) return false;
  handed_over_ = true;
  fall_ = now + high;
  if (!fall_slot_) {
    // The fall's event gets its place among the board's events when the
    // first fall would have been scheduled, as edge by edge (events at
    // one time run in that order).
    ctx_.schedule(this, kFall, fall_);
    ctx_.cancel(this, kFall);
    fall_slot_ = true;
  }
  return true;
}

bool SensorPwm::refresh_pin() {
  // The level of a period handed over, now; true while the fall is still to
  // come (the pin changes with no event behind it).
  if (!handed_over_) return false;
  const bool high = ctx_.now() < fall_;
  GpioPort& gpio = ports_[kPort];
  if (gpio.held_level(kPin) != high) gpio.drive(kPin, high);
  return high;
}

void SensorPwm::reclaim_line() {
  // Back to an event at each edge, from the level the line has now.
  if (!handed_over_) return;
  refresh_pin();
  handed_over_ = false;
  timer_.release_line();
  sensor_high_ = ctx_.now() < fall_;
  if (sensor_high_) ctx_.schedule(this, kFall, fall_);
}

void SensorPwm::drive_line() {
  if (!enabled_) return;
  reclaim_line();
  bool high = (sensor_high_ || pulses_ > 0) && dropouts_ == 0;
  if (hold_ != Hold::kFree) high = hold_ == Hold::kHigh;
  ports_[kPort].drive(kPin, high);
}

void SensorPwm::hold_line(Hold hold) {
  hold_ = hold;
  drive_line();
}

void SensorPwm::inject_pulse(Ticks at, Ticks width) {
  ctx_.at(at, [this] {
    ++pulses_;
    drive_line();
  });
  ctx_.at(at + width, [this] {
    --pulses_;
    drive_line();
  });
}

void SensorPwm::inject_dropout(Ticks at, Ticks width) {
  ctx_.at(at, [this] {
    ++dropouts_;
    drive_line();
  });
  ctx_.at(at + width, [this] {
    --dropouts_;
    drive_line();
  });
}

}  // namespace vboard
