// The plant worked out from the motor's equations against the same
// equations integrated finely in time: the sampled step response of the
// held, delayed input gives P(z) without any discretisation formula.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "dwell.h"
#include "motor_plant.h"

namespace analysis {
namespace {

// The board's motor linearised about rest, in its own terms (flux linkage
// lambda = kt / (1.5 p), torque 1.5 p lambda iq), RK4 with the input
// switching on a step boundary. Angle in degrees every `period_steps`.
std::vector<double> step_response(const MotorConstants& m, int period_steps, int delay_steps, int periods) {
  const double h = 0.01 / period_steps, p = m.pole_pairs, lambda = m.torque_constant_nm_per_a / (1.5 * p);
  using State = std::array<double, 3>;  // iq, w, theta
  State x{};
  std::vector<double> out{0.0};
  for (int n = 0; n < period_steps * periods; ++n) {
    const double vq = n >= delay_steps ? 1.0 : 0.0;
    const auto f = [&](const State& s) {
      return State{(vq - m.phase_resistance_ohm * s[0] - p * s[1] * lambda) / m.phase_inductance_h,
                   (1.5 * p * lambda * s[0] - m.viscous_nm_s_per_rad * s[1]) / m.inertia_kg_m2, s[1]};
    };
    const auto add = [](const State& a, const State& b, double k) { return State{a[0] + k * b[0], a[1] + k * b[1], a[2] + k * b[2]}; };
    const State k1 = f(x), k2 = f(add(x, k1, h / 2)), k3 = f(add(x, k2, h / 2)), k4 = f(add(x, k3, h));
    for (int i = 0; i < 3; ++i) x[i] += h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
    if ((n + 1) % period_steps == 0) out.push_back(x[2] * 180.0 / std::numbers::pi);
  }
  return out;
}

TEST(MotorPlant, MatchesTheMotorIntegratedInTime) {
  const MotorConstants motor;  // the default gimbal motor
  constexpr int kPeriodSteps = 1000;
  const std::vector<double> f = log_frequencies(0.2, 50.0, 15);
  // Within a period and across one.
  for (const int delay_steps : {150, 1300}) {
    const std::vector<double> s = step_response(motor, kPeriodSteps, delay_steps, 200);
    const Response p = motor_plant_response(motor, {0.01, delay_steps * 0.01 / kPeriodSteps, 1.0}, f);
    for (const FrequencyPoint& point : p) {
      // The step response s has S(z) = P(z) / (1 - z^-1); its second
      // difference dies away, and P = sum(d2 s z^-n) / (1 - z^-1).
      const std::complex<double> back = std::polar(1.0, -2.0 * std::numbers::pi * point.hz * 0.01);
      std::complex<double> sum, power = 1.0;
      for (std::size_t n = 0; n < s.size(); ++n, power *= back) {
        sum += (s[n] - (n >= 1 ? 2.0 * s[n - 1] : 0.0) + (n >= 2 ? s[n - 2] : 0.0)) * power;
      }
      EXPECT_LT(std::abs(point.h / (sum / (1.0 - back)) - 1.0), 1e-6) << point.hz << " Hz, delay " << delay_steps;
    }
  }
  MotorConstants bad = motor;
  bad.inertia_kg_m2 = -1.0;
  try {
    motor_plant_response(bad, {}, f);
    ADD_FAILURE() << "a negative inertia was taken";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("inertia_kg_m2"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace analysis
