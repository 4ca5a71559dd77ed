// Watches the shaft for a runaway: the rotor turning faster than the motor's
// no-load speed (only an outside torque or a wrong commutation in the drive's
// favour gets it there), standing more than two turns from where the
// position loop asks it to be for a whole second, or stalled under the
// bridge's full voltage for a whole second (a drive whose voltage does not
// turn into torque: phases swapped, a magnet a quarter of an electrical turn
// off, or a load the motor cannot move). Fed with samples; trips once and
// then keeps its verdict.
#pragma once

#include <optional>
#include <string>

namespace vboard {

class LossOfControlDetector {
 public:
  struct Trip {
    double time_s;
    std::string reason;
  };

  // `speed_limit_rad_s`: usually the motor's no-load speed.
  explicit LossOfControlDetector(double speed_limit_rad_s, double max_error_deg = 720.0, double hold_s = 1.0)
      : speed_limit_rad_s_(speed_limit_rad_s), max_error_deg_(max_error_deg), hold_s_(hold_s) {}

  // One sample: shaft speed, the rotor's angle and the setpoint in the same
  // (unwrapped) degrees, and the drive's voltage as a fraction of the
  // largest the bridge gives undistorted. Returns true once tripped.
  bool update(double t_s, double speed_rad_s, double angle_deg, double setpoint_deg, double drive_fraction = 0.0);

  // Full drive: at least this fraction of the bridge's largest voltage;
  // stalled: slower than this fraction of the speed limit.
  static constexpr double kFullDrive = 0.9;
  static constexpr double kStalledSpeed = 0.05;

  bool tripped() const { return trip_.has_value(); }
  const std::optional<Trip>& trip() const { return trip_; }
  void reset() {
    trip_.reset();
    away_since_s_.reset();
    stalled_since_s_.reset();
  }

 private:
  double speed_limit_rad_s_;
  double max_error_deg_;
  double hold_s_;
  std::optional<double> away_since_s_;
  std::optional<double> stalled_since_s_;
  std::optional<Trip> trip_;
};

}  // namespace vboard
