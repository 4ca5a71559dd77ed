// Margins, verdicts and closed-loop figures on loops whose answers are known
// in closed form or from the loop run in the time domain.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

#include "dwell.h"
#include "loop_gain.h"
#include "sample_period.h"

namespace analysis {
namespace {

using test_loop::kT;
using test_loop::kPi;

std::complex<double> z_at(double hz) { return std::polar(1.0, 2.0 * kPi * hz * kT); }

// L = k / (z (z - 1)): an integrator behind a one-period delay. Its phase is
// -90 - 1.5 wT degrees, so it passes -180 at a sixth of the sample rate
// where |L| = k; |L| = 1 where 2 sin(wT / 2) = k. The closed loop
// z^2 - z + k is stable for k < 1.
TEST(Margins, DelayedIntegratorMatchesClosedForm) {
  for (const double k : {0.5, 1.5}) {
    Response l;
    for (const double f : log_frequencies(0.5, 45.0, 200)) l.push_back({f, k / (z_at(f) * (z_at(f) - 1.0))});
    const Margins m = margins(l, 1);
    const double theta = 2.0 * std::asin(k / 2.0);
    ASSERT_EQ(m.phase_crossovers.size(), 1u);
    ASSERT_TRUE(m.gain_margin && m.phase_margin);
    EXPECT_NEAR(m.gain_margin->hz, 1.0 / (6.0 * kT), 0.02);
    EXPECT_NEAR(m.gain_margin->gain_margin_db, -20.0 * std::log10(k), 0.01);
    EXPECT_NEAR(m.phase_margin->hz, theta / (2.0 * kPi * kT), 0.02);
    EXPECT_NEAR(m.phase_margin->phase_margin_deg, 90.0 - 1.5 * theta * 180.0 / kPi, 0.1);
    EXPECT_EQ(m.stability, k < 1.0 ? Stability::kStable : Stability::kUnstable);
    EXPECT_EQ(m.unstable_poles, k < 1.0 ? 0 : 2);
  }
}

// The firmware's PID, run in the time domain on a ZOH double integrator
// behind a one-period delay, y[n] - 2 y[n-1] + y[n-2] = K T^2/2 (u[n-2] +
// u[n-3]), from a displaced start. True when the swing dies away.
bool time_loop_settles(const PidGains& g, double plant_gain) {
  double y0 = 1.0, y1 = 1.0, u0 = 0.0, u1 = 0.0, sum = 0.0, previous = 0.0, peak[2] = {0.0, 0.0};
  for (int n = 0; n < 6000; ++n) {
    const double e = -y0;
    sum += e;
    const double u = g.kp * e + g.ki * sum + g.kd * (e - previous);
    previous = e;
    const double y = 2.0 * y0 - y1 + plant_gain * kT * kT / 2.0 * (u0 + u1);
    y1 = y0, y0 = y, u1 = u0, u0 = u;
    peak[n / 3000] = std::max(peak[n / 3000], std::abs(y));
  }
  return peak[1] < 0.1 * peak[0];
}

// The same loop through pid_response and the double integrator's z-domain
// form: three integrators, so the phase starts at -270 and the PID's zeros
// lift it above -180 while |L| is large. Stable only between a lower and
// an upper gain; the margins must say where, and the verdicts must agree
// with the time-domain loop on both sides of each.
TEST(Margins, ConditionallyStableLoopAgreesWithTheTimeDomain) {
  constexpr double kPlant = 100.0;  // deg/(V s^2)
  const PidGains base{0.756, 0.0113, 12.6};
  const auto loop_at = [&](double scale) {
    const PidGains g{base.kp * scale, base.ki * scale, base.kd * scale};
    Response l;
    for (const double f : log_frequencies(0.05, 50.0, 300)) {
      const std::complex<double> z = z_at(f);
      l.push_back({f, pid_response(g, f, kT) * kPlant * kT * kT / 2.0 * (z + 1.0) / ((z - 1.0) * (z - 1.0) * z)});
    }
    return std::pair{g, margins(l, 3)};
  };
  const auto [g, m] = loop_at(1.0);
  EXPECT_EQ(m.stability, Stability::kStable);
  EXPECT_EQ(m.crossings_below_range, 1);
  ASSERT_TRUE(m.gain_margin && m.lower_gain_margin && m.phase_margin);
  EXPECT_GT(m.phase_margin->phase_margin_deg, 30.0);
  EXPECT_TRUE(time_loop_settles(g, kPlant));
  // 2 dB inside each margin the loop still settles; 2 dB beyond it does not,
  // and the margins then read as unstable too.
  for (const double edge : {m.gain_margin->gain_margin_db, m.lower_gain_margin->gain_margin_db}) {
    const double inward = edge > 0 ? -2.0 : 2.0;
    for (const double step : {inward, -inward}) {
      const auto [gs, ms] = loop_at(std::pow(10.0, (edge + step) / 20.0));
      const bool settles = step == inward;
      EXPECT_EQ(time_loop_settles(gs, kPlant), settles) << "edge " << edge << " dB, step " << step;
      EXPECT_EQ(ms.stability, settles ? Stability::kStable : Stability::kUnstable) << "edge " << edge;
    }
  }
}

// T of L = k / (z - 1) is the first-order lag k / (z - 1 + k): |T|^2 = 1/2
// where cos wT = (1 + (1 - k)^2 - 2 k^2) / (2 (1 - k)), and no peak. With a
// one-period delay more the loop rings: its peak is found on a fine grid.
TEST(ClosedLoopFigures, BandwidthAndPeakOfKnownLoops) {
  constexpr double k = 0.3;
  Response lag, ringing;
  for (const double f : log_frequencies(0.2, 45.0, 60)) {
    lag.push_back({f, k / (z_at(f) - 1.0)});
    ringing.push_back({f, 0.8 / (z_at(f) * (z_at(f) - 1.0))});
  }
  const ClosedLoopFigures first = closed_loop_figures(closed_loop(lag));
  const double w = std::acos((1.0 + (1.0 - k) * (1.0 - k) - 2.0 * k * k) / (2.0 * (1.0 - k)));
  ASSERT_TRUE(first.bandwidth_hz);
  EXPECT_NEAR(*first.bandwidth_hz / (w / (2.0 * kPi * kT)), 1.0, 0.01);
  EXPECT_FALSE(first.peak_db);

  double top = 0.0, top_hz = 0.0;
  for (double f = 0.2; f < 45.0; f += 0.001) {
    const double t = std::abs(0.8 / (z_at(f) * (z_at(f) - 1.0) + 0.8));
    if (t > top) top = t, top_hz = f;
  }
  const ClosedLoopFigures second = closed_loop_figures(closed_loop(ringing));
  ASSERT_TRUE(second.peak_db);
  EXPECT_NEAR(*second.peak_db, 20.0 * std::log10(top), 0.05);
  EXPECT_NEAR(second.peak_hz / top_hz, 1.0, 0.005);
}

}  // namespace
}  // namespace analysis
