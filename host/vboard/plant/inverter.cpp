#include "vboard/plant/inverter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace vboard {

Inverter::Inverter(double supply_v) : supply_v_(supply_v) {
  if (!std::isfinite(supply_v) || !(supply_v > 0.0)) {
    throw std::invalid_argument("inverter supply_v must be a finite number above 0 (got " + std::to_string(supply_v) +
                                ")");
  }
}

void Inverter::set_duties(const std::array<double, 3>& duties) {
  for (double d : duties) {
    if (std::isnan(d)) throw std::invalid_argument("inverter duty must be a number");
  }
  for (int k = 0; k < 3; ++k) duties_[k] = std::clamp(duties[k], 0.0, 1.0);
}

double Inverter::duty_from_compare(unsigned compare, unsigned period) {
  if (period == 0) return compare > 0 ? 1.0 : 0.0;
  return static_cast<double>(std::min(compare, period)) / static_cast<double>(period);
}

std::array<double, 3> Inverter::pole_voltages() const {
  return {supply_v_ * duties_[0], supply_v_ * duties_[1], supply_v_ * duties_[2]};
}

std::array<double, 3> Inverter::phase_voltages() const {
  auto v = pole_voltages();
  const double common = (v[0] + v[1] + v[2]) / 3.0;
  for (double& x : v) x -= common;
  return v;
}

double Inverter::supply_current_a(const std::array<double, 3>& i) const {
  return duties_[0] * i[0] + duties_[1] * i[1] + duties_[2] * i[2];
}

}  // namespace vboard
