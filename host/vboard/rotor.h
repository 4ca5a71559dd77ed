// The motor's rotor as the position sensor sees it: a mechanical angle in
// degrees that follows a profile in virtual time (standing still, turning at
// constant speed, or any function a test gives). Both outputs of the sensor,
// the SPI angle register and the PWM line, read it.
#pragma once

#include <cmath>
#include <functional>

#include "vboard/clock.h"

namespace vboard {

class Rotor {
 public:
  void reset() {
    start_angle_ = 0.0;
    speed_ = 0.0;
    since_ = 0;
    profile_ = nullptr;
  }
  // Holds `degrees` from `now` on, turning at `degrees_per_second`.
  void set(double degrees, double degrees_per_second, Ticks now) {
    start_angle_ = degrees;
    speed_ = degrees_per_second;
    since_ = now;
    profile_ = nullptr;
  }
  // Any profile: mechanical degrees (unwrapped) as a function of time.
  void set_profile(std::function<double(Ticks)> profile) { profile_ = std::move(profile); }

  // Unwrapped mechanical angle.
  double unwrapped(Ticks t) const {
    if (profile_) return profile_(t);
    return start_angle_ + speed_ * (static_cast<double>(t - since_) / static_cast<double>(kTicksPerSecond));
  }
  // Mechanical angle in [0, 360).
  double angle(Ticks t) const {
    const double a = std::fmod(unwrapped(t), 360.0);
    return a < 0.0 ? a + 360.0 : a;
  }

 private:
  double start_angle_ = 0.0;
  double speed_ = 0.0;
  Ticks since_ = 0;
  std::function<double(Ticks)> profile_;
};

}  // namespace vboard
