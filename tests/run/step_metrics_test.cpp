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
  EXPECT_NE(table.find("  no     no"), std::string::npos) << table;
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
  a.ring = {17.3, 9.66, -0.4, 0.3};
  a.peak_extra = 0.42;
  run::StepFigures b = a;
  b.at_s = 1.516;
  b.from_deg = 100.0;
  b.to_deg = 200.0;
  b.settling_s = 0.08;
  b.overshoot_pct = 3.0;
  b.ring = {};
  const std::string table = run::sweep_table(
      {{0.26, 0.04, 0.06, 1, a, 3.5}, {0.26, 0.04, 0.06, 2, b, 2.25}, {1.0, 0.0, 0.0, 0, {}, std::nullopt}});
  EXPECT_NE(table.find("  0.26   0.04   0.06    1  100.0  20.0  12.0%      no     no       17.30  9.7     -0.40"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("    2  200.0  20.0   3.0%      no     80        none    -      0.00   2.25"), std::string::npos)
      << table;
  EXPECT_NE(table.find("     1      0      0    -  (no setpoint step in the run)\n"), std::string::npos) << table;
  run::LoadFigures l{0.5, 0.0, 0.02, 0.0, 2.5, 14.21, 0.051, std::nullopt, {}, 0.515};
  const std::string loads = run::sweep_load_table({{0.26, 0.04, 0.06, 1, l, 5.32}});
  EXPECT_NE(loads.find("    1   0.02    14.21     51         no        none    -      0.00   5.32 0.515\n"),
            std::string::npos)
      << loads;
}

// The ring of an error sampled as the telemetry carries it: a new value
// every 5 ms, in hundredths of a degree.
std::vector<double> telemetry(const std::vector<double>& t, const std::function<double(double)>& error) {
  std::vector<double> e;
  for (double time : t) e.push_back(std::round(error(std::floor(time / 0.005 + 1e-9) * 0.005) * 100) / 100);
  return e;
}

TEST(Ring, SustainedRingHasItsAmplitudeFrequencyAndCentre) {
  std::vector<double> t;
  for (int i = 0; i <= 1000; ++i) t.push_back(i * 1e-3);
  const auto r = run::ring_figures(t, telemetry(t, [](double x) { return 0.5 + 17 * std::sin(2 * kPi * 9 * x + 1); }));
  ASSERT_TRUE(r.amplitude_deg && r.frequency_hz);
  EXPECT_NEAR(*r.amplitude_deg, 17.0, 0.2);
  EXPECT_NEAR(*r.frequency_hz, 9.0, 0.2);
  EXPECT_NEAR(r.mean_error_deg, 0.5, 0.3);  // not the mean of 2.7 periods: that is off by up to 2 deg
}

TEST(Ring, StillOrFlatErrorsAreNoRing) {
  std::vector<double> t;
  for (int i = 0; i <= 1000; ++i) t.push_back(i * 1e-3);
  // Stick-slip hunting: 1 deg jumps of 5 ms between stretches of 70 to 150 ms.
  const auto hunt = run::ring_figures(t, telemetry(t, [](double x) {
    const double jumps[] = {0.12, 0.21, 0.36, 0.44, 0.57, 0.68, 0.80, 0.87, 0.98};
    double level = 0.5;
    for (double at : jumps) level += x < at ? 0.0 : x < at + 0.005 ? (at - x) / 0.005 * level * 2 : -2 * level;
    return level;
  }));
  EXPECT_FALSE(hunt.amplitude_deg);
  // Dither by one sensor step, and a slow drift of 5 deg: no whole period.
  std::vector<double> dither, drift;
  for (std::size_t i = 0; i < t.size(); ++i) {
    dither.push_back(2.0 + run::kSensorStepDeg * static_cast<double>(i % 2));
    drift.push_back(5 * std::cos(2 * kPi * t[i]));
  }
  EXPECT_FALSE(run::ring_figures(t, dither).amplitude_deg);
  EXPECT_NEAR(run::ring_figures(t, dither).mean_error_deg, 2.0 + run::kSensorStepDeg / 2, 1e-3);
  EXPECT_FALSE(run::ring_figures(t, drift).amplitude_deg);
}

TEST(StepFigures, DecayingRingSettlesIntoEachBandOnItsEnvelope) {
  // Error 100 e^(-st) (cos wt + s/w sin wt), envelope E(t) = 100 sqrt(1 + (s/w)^2) e^(-st).
  const double s = 5, w = 2 * kPi * 9, e0 = 100 * std::sqrt(1 + s * s / (w * w));
  const auto tr = trace(0, 100, 0.2, 1.4, 1e-4,
                        [&](double x) { return 1 - std::exp(-s * x) * (std::cos(w * x) + s / w * std::sin(w * x)); });
  const auto steps = run::step_figures(tr.t, tr.setpoint, tr.angle);
  ASSERT_EQ(steps.size(), 1u);
  const auto& f = steps[0];
  // The last swing out of the band lies within half a period before the envelope's crossing.
  for (const auto& [settling, band] : {std::pair{f.settling_wide_s, 5.0}, std::pair{f.settling_s, 1.0}}) {
    ASSERT_TRUE(settling) << band;
    const double bound = std::log(e0 / band) / s;
    EXPECT_LE(*settling, bound);
    EXPECT_GE(*settling, bound - kPi / w);
  }
  ASSERT_TRUE(f.ring.amplitude_deg && f.ring.frequency_hz);
  EXPECT_LE(*f.ring.amplitude_deg, e0 * std::exp(-s * 0.9));
  EXPECT_GE(*f.ring.amplitude_deg, e0 * std::exp(-s * 1.2));
  EXPECT_NEAR(*f.ring.frequency_hz, 9.0, 0.1);
  // A ring that passes the band just at the step's end has not settled.
  const auto ringing = trace(0, 100, 0.2, 1.2, 1e-3, [](double x) { return 1 + 0.1 * std::sin(2 * kPi * 9 * x); });
  EXPECT_FALSE(run::step_figures(ringing.t, ringing.setpoint, ringing.angle)[0].settling_wide_s);
}

TEST(LoadFigures, PeakAndRecoveryOfEachLoadStepUntilTheNextEvent) {
  // After a load at `at`, the error P x e^(1-x), x = (t - at) / tau: peak P at tau.
  const double tau = 0.05;
  auto bump = [&](double x, double at, double p) {
    return x < at ? 0.0 : p * (x - at) / tau * std::exp(1 - (x - at) / tau);
  };
  std::vector<double> t, sp, angle;
  for (int i = 0; i <= 3000; ++i) {
    t.push_back(i * 1e-3);
    sp.push_back(t.back() < 2.0 ? 0.0 : 50.0);
    angle.push_back(sp.back() - bump(t.back(), 0.5, 10) - bump(t.back(), 1.2, -3));
  }
  const std::vector<run::LoadStep> loads{{1.2, 0.0, ""}, {0.5, 0.02, ""}, {9.0, 0.01, ""}};  // the last after the end
  const auto f = run::run_figures(t, sp, angle, {}, loads);
  ASSERT_EQ(f.loads.size(), 2u);
  ASSERT_EQ(f.steps.size(), 1u);
  const double peaks[] = {10, -3};
  for (int k = 0; k < 2; ++k) {
    const auto& l = f.loads[k];
    EXPECT_NEAR(l.peak_error_deg, peaks[k], 1e-3);
    EXPECT_NEAR(l.peak_after_s, tau, 1e-3);
    ASSERT_TRUE(l.recovery_s);
    EXPECT_GT(*l.recovery_s, tau);
    EXPECT_NEAR(std::abs(bump(l.at_s + *l.recovery_s, l.at_s, peaks[k])), 1.0, 1e-3);
  }
  EXPECT_EQ(f.loads[0].to_nm, 0.02);
  EXPECT_EQ(f.loads[1].from_nm, 0.02);
  EXPECT_NEAR(f.loads[0].length_s, 0.699, 1e-9);  // to the next load
  EXPECT_NEAR(f.loads[1].length_s, 0.799, 1e-9);  // to the setpoint step
  const std::string table = run::load_table(f.loads);
  EXPECT_NE(table.find("  0.500        0 -> 0.02         0.00    10.00     50"), std::string::npos) << table;
}

}  // namespace
