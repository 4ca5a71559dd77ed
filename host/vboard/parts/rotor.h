// A scripted rotor under the position sensor: a mechanical angle in degrees
// in virtual time, standing still or turning at constant speed, whatever the
// drive does. By default the sensor reads the motor's shaft; once a test or
// a scenario sets this rotor, both outputs of the sensor (the SPI angle
// register and the PWM line) read it instead, until the next reset.
#pragma once

#include "vboard/sim/clock.h"
#include "vboard/plant/degrees.h"

namespace vboard {

class Rotor {
 public:
  void reset() {
    start_angle_ = 0.0;
    speed_ = 0.0;
    since_ = 0;
    forced_ = false;
  }
  // Holds `degrees` from `now` on, turning at `degrees_per_second`.
  void set(double degrees, double degrees_per_second, Ticks now) {
    start_angle_ = degrees;
    speed_ = degrees_per_second;
    since_ = now;
    forced_ = true;
  }
  // Whether the sensor reads this rotor rather than the motor's shaft.
  bool forced() const { return forced_; }

  // Unwrapped mechanical angle (before the last set, as if the speed then
  // had held: times are unsigned, so the difference is taken in double).
  double unwrapped(Ticks t) const {
    return start_angle_ +
           speed_ * ((static_cast<double>(t) - static_cast<double>(since_)) / static_cast<double>(kTicksPerSecond));
  }
  // Mechanical angle in [0, 360).
  double angle(Ticks t) const {
    const double a = fmod_360(unwrapped(t));
    return a < 0.0 ? a + 360.0 : a;
  }

 private:
  double start_angle_ = 0.0;
  double speed_ = 0.0;
  Ticks since_ = 0;
  bool forced_ = false;
};

}  // namespace vboard
