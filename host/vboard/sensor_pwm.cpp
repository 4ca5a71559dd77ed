#include "vboard/sensor_pwm.h"

#include <algorithm>
#include <cmath>

#include "vboard/board.h"
#include "vboard/gpio.h"

namespace vboard {

// No registers: the sensor is outside the chip.
SensorPwm::SensorPwm(Board& board) : Part(board, "sensor PWM") {}

void SensorPwm::reset() {
  enabled_ = true;
  period_ = ms(1);
  zero_offset_ = 40.0;
  queued_.clear();
  periods_ = 0;
  last_rise_ = 0;
  previous_rise_ = 0;
  last_high_ = 0;
  hold_ = Hold::kFree;
  sensor_high_ = false;
  pulses_ = dropouts_ = 0;
  board_.gpio(kPort).drive(kPin, false);
  board_.schedule(this, kRise, 0);
}

Ticks SensorPwm::high_time(double angle, Ticks period) const {
  double a = std::fmod(angle + zero_offset_, 360.0);
  if (a < 0.0) a += 360.0;
  const double high = static_cast<double>(period) * kFullScale * a / 360.0;
  const auto clocks = [period](double n) {
    return std::max<Ticks>(1, static_cast<Ticks>(round_half_away(static_cast<double>(period) * n / kFrameClocks)));
  };
  const Ticks shortest = clocks(16.0);
  const Ticks longest = period > clocks(8.0) ? period - clocks(8.0) : shortest;
  return std::clamp<Ticks>(static_cast<Ticks>(round_half_away(high)), shortest, std::max(shortest, longest));
}

void SensorPwm::set_enabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on) {
    sensor_high_ = false;
    drive_line();
    board_.schedule(this, kRise, board_.now());
  } else {
    board_.cancel(this, kRise);
    board_.cancel(this, kFall);
    board_.gpio(kPort).release(kPin);
  }
}

void SensorPwm::queue_period(Ticks period, Ticks high) { queued_.emplace_back(period, high); }

void SensorPwm::start_period() {
  const Ticks now = board_.now();
  Ticks period = period_;
  Ticks high;
  if (!queued_.empty()) {
    period = std::max<Ticks>(queued_.front().first, 1);
    high = queued_.front().second;
    queued_.pop_front();
  } else {
    high = high_time(board_.sensor_angle(now), period);
  }
  ++periods_;
  previous_rise_ = last_rise_;
  last_rise_ = now;
  last_high_ = high;
  sensor_high_ = high > 0;
  drive_line();
  if (high > 0 && high < period) board_.schedule(this, kFall, now + high);
  board_.schedule(this, kRise, now + period);
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

void SensorPwm::drive_line() {
  if (!enabled_) return;
  bool high = (sensor_high_ || pulses_ > 0) && dropouts_ == 0;
  if (hold_ != Hold::kFree) high = hold_ == Hold::kHigh;
  board_.gpio(kPort).drive(kPin, high);
}

void SensorPwm::hold_line(Hold hold) {
  hold_ = hold;
  drive_line();
}

void SensorPwm::inject_pulse(Ticks at, Ticks width) {
  board_.at(at, [this] {
    ++pulses_;
    drive_line();
  });
  board_.at(at + width, [this] {
    --pulses_;
    drive_line();
  });
}

void SensorPwm::inject_dropout(Ticks at, Ticks width) {
  board_.at(at, [this] {
    ++dropouts_;
    drive_line();
  });
  board_.at(at + width, [this] {
    --dropouts_;
    drive_line();
  });
}

}  // namespace vboard
