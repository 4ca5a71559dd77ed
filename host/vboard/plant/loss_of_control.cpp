#include "vboard/plant/loss_of_control.h"

#include <cmath>
#include <sstream>

namespace vboard {

bool LossOfControlDetector::update(double t_s, double speed_rad_s, double angle_deg, double setpoint_deg,
                                   double drive_fraction) {
  if (trip_) return true;
  // A NaN is no reading to trust: it counts as out of bounds.
  if (!(std::abs(speed_rad_s) <= speed_limit_rad_s_)) {
    std::ostringstream os;
    os << "loss of control: shaft speed " << speed_rad_s << " rad/s beyond " << speed_limit_rad_s_ << " rad/s";
    trip_ = Trip{t_s, os.str()};
    return true;
  }
  const double error = angle_deg - setpoint_deg;
  if (!(std::abs(error) <= max_error_deg_)) {
    if (!away_since_s_) away_since_s_ = t_s;
    if (t_s - *away_since_s_ >= hold_s_) {
      std::ostringstream os;
      os << "loss of control: rotor " << error << " degrees from the setpoint since " << *away_since_s_ << " s";
      trip_ = Trip{t_s, os.str()};
      return true;
    }
  } else {
    away_since_s_.reset();
  }
  if (drive_fraction >= kFullDrive && std::abs(speed_rad_s) < kStalledSpeed * speed_limit_rad_s_) {
    if (!stalled_since_s_) stalled_since_s_ = t_s;
    if (t_s - *stalled_since_s_ >= hold_s_) {
      std::ostringstream os;
      os << "loss of control: rotor stalled under full drive since " << *stalled_since_s_ << " s";
      trip_ = Trip{t_s, os.str()};
      return true;
    }
  } else {
    stalled_since_s_.reset();
  }
  return false;
}

}  // namespace vboard
