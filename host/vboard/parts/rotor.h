// What the position sensor's magnet turns with: the motor's shaft, or a
// scripted rotor (a mechanical angle in degrees in virtual time, standing
// still or turning at constant speed, whatever the drive does). Once a test
// or a scenario sets the scripted rotor, both outputs of the sensor (the SPI
// angle register and the PWM line) read it instead of the shaft, until the
// next reset.
#pragma once

#include "vboard/plant/degrees.h"
#include "vboard/sim/clock.h"

namespace vboard {

class MotorDrive;

class Rotor {
 public:
  // The phase drive whose shaft carries the magnet (the board builds it
  // after the sensor).
  void mount(MotorDrive& drive) { drive_ = &drive; }

  // Back to the shaft, at a reset.
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

  // The sensor's mechanical angle at `t` (now), in [0, 360): the scripted
  // rotor's once it is set, otherwise the shaft's through the drive's
  // wiring, in the sensor's 14-bit steps.
  double sensor_angle(Ticks t);

 private:
  MotorDrive* drive_ = nullptr;
  double start_angle_ = 0.0;
  double speed_ = 0.0;
  Ticks since_ = 0;
  bool forced_ = false;
};

}  // namespace vboard
