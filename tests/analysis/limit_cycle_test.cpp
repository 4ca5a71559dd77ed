// The limit-cycle solver on a loop whose nonlinearity is an ideal
// saturation: its describing function is known in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "dwell.h"
#include "limit_cycle.h"
#include "sample_period.h"

namespace analysis {
namespace {

using test_loop::kT;

// Gain of a unit-slope saturation at level 1 for a sine of amplitude a.
double saturation(double a) {
  if (a <= 1.0) return 1.0;
  return 2.0 / std::numbers::pi * (std::asin(1.0 / a) + std::sqrt(1.0 - 1.0 / (a * a)) / a);
}

// The plant is chosen so that the linear loop is L = k / (z (z - 1)): phase
// -180 at a sixth of the sample rate with |L| = k. With the saturation
// before it, C P(A) = N(A) L, and the cycle sits where N(A) = 1 / k, at
// the same frequency.
std::vector<DescribingPoint> table(const PidGains& g, double k, const std::vector<double>& amplitudes) {
  std::vector<DescribingPoint> rows;
  for (const double a : amplitudes) {
    for (const double f : log_frequencies(12.0, 22.0, 11)) {
      const std::complex<double> z = std::polar(1.0, 2.0 * std::numbers::pi * f * kT);
      rows.push_back({a, f, saturation(a) * k / (z * (z - 1.0)) / pid_response(g, f, kT)});
    }
  }
  return rows;
}

TEST(LimitCycle, SaturationCycleWhereTheDescribingFunctionMeetsOneOverTheGain) {
  const PidGains g{0.26, 0.04, 0.06};
  constexpr double k = 2.0;
  const LimitCycle cycle = predict_limit_cycle(table(g, k, {0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0}), g, kT);
  ASSERT_EQ(cycle.crossovers.size(), 8u);
  ASSERT_EQ(cycle.predicted.size(), 1u);
  // N(A) = 1/2 by bisection on the closed form.
  double lo = 1.0, hi = 10.0;
  while (hi - lo > 1e-9) (saturation(0.5 * (lo + hi)) > 1.0 / k ? lo : hi) = 0.5 * (lo + hi);
  EXPECT_NEAR(cycle.predicted[0].amplitude / lo, 1.0, 0.005);
  EXPECT_NEAR(cycle.predicted[0].hz, 1.0 / (6.0 * kT), 0.05);
  EXPECT_TRUE(cycle.predicted[0].stable);

  // Amplitudes that stay below the cycle's: none predicted, said plainly.
  EXPECT_TRUE(predict_limit_cycle(table(g, k, {0.5, 1.0, 1.5}), g, kT).predicted.empty());
}

}  // namespace
}  // namespace analysis
