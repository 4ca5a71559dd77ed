// Step-response figures against responses whose figures are known in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "step_metrics.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Trace {
  std::vector<double> t, setpoint, angle, current;
};

// Setpoint `from` until `step_at`, then `to`; the angle follows `response`
// (0 to 1 of the step, a function of the time since the step).
Trace trace(double from, double to, double step_at, double end, double dt, std::function<double(double)> response) {
  Trace tr;
  for (int i = 0;; ++i) {
    const double t = i * dt;
    if (t > end + 1e-12) break;
    const bool after = t >= step_at - 1e-12;
    tr.t.push_back(t);
    tr.setpoint.push_back(after ? to : from);
    tr.angle.push_back(after ? from + (to - from) * response(t - step_at) : from);
    tr.current.push_back(after ? -2.5 * std::exp(-(t - step_at) / 0.05) : 0.0);
  }
  return tr;
}

TEST(StepFigures, FirstOrderResponse) {
  // y = 1 - exp(-t/tau): 10-90 % rise tau ln 9, into +-1 deg of a 100 deg step at tau ln 100.
  const double tau = 0.05;
  const auto tr = trace(0, 100, 0.5, 1.5, 1e-4, [&](double t) { return 1 - std::exp(-t / tau); });
  const auto steps = run::step_figures(tr.t, tr.setpoint, tr.angle, tr.current);
  ASSERT_EQ(steps.size(), 1u);
  const auto& s = steps[0];
  EXPECT_NEAR(s.at_s, 0.5, 1e-9);
  EXPECT_EQ(s.from_deg, 0);
  EXPECT_EQ(s.to_deg, 100);
  ASSERT_TRUE(s.rise_s);
  EXPECT_NEAR(*s.rise_s, tau * std::log(9.0), 1e-5);
  EXPECT_NEAR(s.overshoot_pct, 0.0, 1e-12);
  ASSERT_TRUE(s.settling_s);
  EXPECT_NEAR(*s.settling_s, tau * std::log(100.0), 1e-5);
  EXPECT_NEAR(s.final_error_deg, 100 * std::exp(-1.0 / tau), 1e-9);
  ASSERT_TRUE(s.peak_extra);
  EXPECT_NEAR(*s.peak_extra, 2.5, 1e-9);
}

TEST(StepFigures, UnderdampedSecondOrderDownwards) {
  // zeta 0.5: overshoot exp(-pi zeta / sqrt(1 - zeta^2)) = 16.3 %, whichever the direction.
  const double zeta = 0.5, wn = 40.0, wd = wn * std::sqrt(1 - zeta * zeta), phi = std::acos(zeta);
  auto y = [&](double t) { return 1 - std::exp(-zeta * wn * t) * std::sin(wd * t + phi) / std::sqrt(1 - zeta * zeta); };
  const auto tr = trace(200, 100, 0.2, 1.2, 1e-4, y);
  const auto steps = run::step_figures(tr.t, tr.setpoint, tr.angle);
  ASSERT_EQ(steps.size(), 1u);
  const auto& s = steps[0];
  EXPECT_NEAR(s.overshoot_pct, 100 * std::exp(-kPi * zeta / std::sqrt(1 - zeta * zeta)), 0.01);
  // Settled once the last swing beyond 1 deg is over: between the envelope's
  // bound and one half period earlier.
  ASSERT_TRUE(s.settling_s);
  const double envelope = -std::log(0.01 * std::sqrt(1 - zeta * zeta)) / (zeta * wn);
  EXPECT_LE(*s.settling_s, envelope);
  EXPECT_GE(*s.settling_s, envelope - kPi / wd);
  EXPECT_LT(std::abs(tr.angle.back() - 100), 1.0);
  ASSERT_TRUE(s.rise_s);
  EXPECT_GT(*s.rise_s, 0.0);
  EXPECT_FALSE(s.peak_extra);
}

TEST(StepFigures, AStepThatNeverSettlesIsReportedSo) {
  // Undamped: swings between 0 and 2 for ever; slow: never gets to 90 %.
  const auto swing = trace(0, 100, 0.1, 1.0, 1e-4, [](double t) { return 1 - std::cos(30 * t); });
  const auto a = run::step_figures(swing.t, swing.setpoint, swing.angle);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_FALSE(a[0].settling_s);
  EXPECT_NEAR(a[0].overshoot_pct, 100.0, 0.1);
  const auto stuck = trace(0, 100, 0.1, 1.0, 1e-4, [](double t) { return std::min(0.5, t); });
  const auto b = run::step_figures(stuck.t, stuck.setpoint, stuck.angle);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_FALSE(b[0].rise_s);
  EXPECT_FALSE(b[0].settling_s);
  EXPECT_NEAR(b[0].final_error_deg, 50.0, 1e-9);
  const std::string table = run::step_table(b);
  EXPECT_NE(table.find("never"), std::string::npos) << table;
  EXPECT_NE(table.find("not settled"), std::string::npos) << table;
}

TEST(StepFigures, StepsSplitTheSeriesAndEachIsMeasuredFromItsOwnSetpoints) {
  // Up, up, down: each step's response is a first-order approach from the old setpoint.
  std::vector<double> t, sp, angle;
  const double sets[] = {0, 100, 200, 100};
  const double tau = 0.02;
  for (int i = 0; i <= 4000; ++i) {
    const double time = i * 1e-3;
    const int k = std::min(3, static_cast<int>(time));  // steps at 1, 2, 3 s
    t.push_back(time);
    sp.push_back(sets[k]);
    angle.push_back(k == 0 ? 0 : sets[k - 1] + (sets[k] - sets[k - 1]) * (1 - std::exp(-(time - k) / tau)));
  }
  const auto steps = run::step_figures(t, sp, angle);
  ASSERT_EQ(steps.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(steps[k].at_s, k + 1, 1e-9);
    EXPECT_EQ(steps[k].from_deg, sets[k]);
    EXPECT_EQ(steps[k].to_deg, sets[k + 1]);
    ASSERT_TRUE(steps[k].rise_s);
    EXPECT_NEAR(*steps[k].rise_s, tau * std::log(9.0), 2e-4);
    ASSERT_TRUE(steps[k].settling_s);
    EXPECT_NEAR(*steps[k].settling_s, tau * std::log(100.0), 2e-4);
  }
  EXPECT_NEAR(steps[1].length_s, 0.999, 1e-9);
  EXPECT_TRUE(run::step_figures(std::vector<double>{0, 1}, std::vector<double>{5, 5}, std::vector<double>{0, 0}).empty());
}

// Each row is one step of one setting: no figure of a row comes from another step.
TEST(StepFigures, SweepTableHasOneRowPerSettingAndStep) {
  run::StepFigures a;
  a.at_s = 0.516;
  a.to_deg = 100.0;
  a.rise_s = 0.02;
  a.overshoot_pct = 12.0;
  a.final_error_deg = -0.4;
  a.peak_extra = 0.42;
  run::StepFigures b = a;
  b.at_s = 1.516;
  b.from_deg = 100.0;
  b.to_deg = 200.0;
  b.settling_s = 0.08;
  b.overshoot_pct = 3.0;
  const std::string table = run::sweep_table(
      {{0.26, 0.04, 0.06, 1, a, 3.5}, {0.26, 0.04, 0.06, 2, b, 2.25}, {1.0, 0.0, 0.0, 0, {}, std::nullopt}});
  EXPECT_NE(table.find("    0.26     0.04     0.06     1      0.516     0.00 ->  100.00       20.0      12.0%   not "
                       "settled       -0.40        3.500       0.420\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("     2      1.516   100.00 ->  200.00       20.0       3.0%          80.0       -0.40        2.250"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("       1        0        0     -  (no setpoint step in the run)\n"), std::string::npos) << table;
}

}  // namespace
