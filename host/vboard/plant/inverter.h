// Three half-bridges on one supply, state-space averaged over a PWM period:
// each pole sits at supply x duty, which is what the motor's windings see at
// the frequencies a position loop cares about (the 10 kHz ripple is left
// out). The motor's star point floats, so the phase-to-neutral voltages are
// the pole voltages less their common mode. The bridge itself is lossless:
// the supply delivers sum(duty_k x i_k).
#pragma once

#include <array>

namespace vboard {

class Inverter {
 public:
  // Throws std::invalid_argument for a supply that is not a finite positive voltage.
  explicit Inverter(double supply_v = 12.0);

  double supply_v() const { return supply_v_; }

  // Duty of each phase's high-side switch, 0..1. Values beyond are clamped
  // (a compare value at or above the period keeps the output high); NaN is
  // refused.
  void set_duties(const std::array<double, 3>& duties);
  const std::array<double, 3>& duties() const { return duties_; }

  // Duty of a centre-aligned PWM channel whose output is high while the
  // counter is below `compare`, counting 0..`period`..0.
  static double duty_from_compare(unsigned compare, unsigned period);

  std::array<double, 3> pole_voltages() const;   // against the supply's negative rail
  std::array<double, 3> phase_voltages() const;  // against the floating star point
  // Current drawn from the supply for the given phase currents (positive
  // into the motor).
  double supply_current_a(const std::array<double, 3>& phase_currents_a) const;

 private:
  double supply_v_;
  std::array<double, 3> duties_{};
};

}  // namespace vboard
