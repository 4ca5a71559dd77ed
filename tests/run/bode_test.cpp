// The loop's frequency response measured on the board: on a linear plant the
// identified P is the one worked out from the motor's equations; on the
// default motor the verdict agrees with the ring a run shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "bode.h"
#include "scenario.h"
#include "scenario_board.h"

namespace {

vboard::MotorParams motor_of(const run::Scenario& s) {
  std::string error;
  const auto m = run::scenario_motor(s, error);
  EXPECT_TRUE(m) << error;
  return m.value_or(vboard::MotorParams{});
}

run::BodeResult measure(const run::Scenario& s, double from_hz, double to_hz, int points, bool describing) {
  run::BodeRequest request;
  request.settings = s.bode;
  request.settings.from_hz = from_hz;
  request.settings.to_hz = to_hz;
  request.settings.points = points;
  request.settings.describing = describing;
  request.gains = run::gains_over_image({});
  return run::measure_bode(s, motor_of(s), request, {});
}

TEST(Bode, LinearPlantMatchesTheMotorsEquations) {
  const run::Scenario s = run::read_scenario(SCENARIO_DIR "/bode-linear.toml");
  const run::BodeResult r = measure(s, 1.5, 20.0, 5, false);
  ASSERT_TRUE(r.failure.empty()) << r.failure;
  ASSERT_EQ(r.points.size(), 5u);
  double worst_db = 0.0, worst_deg = 0.0;
  for (std::size_t i = 0; i < r.points.size(); ++i) {
    const std::complex<double> ratio = r.points[i].p / r.model[i].h;
    worst_db = std::max(worst_db, std::abs(20.0 * std::log10(std::abs(ratio))));
    worst_deg = std::max(worst_deg, std::abs(std::arg(ratio)) * 180.0 / std::numbers::pi);
  }
  EXPECT_LT(worst_db, 1.0);
  EXPECT_LT(worst_deg, 5.0);
  // Without friction the firmware's own gains are not stable, as on paper.
  EXPECT_EQ(r.margins.stability, analysis::Stability::kUnstable) << run::bode_report(r);
  EXPECT_EQ(r.model_margins.stability, analysis::Stability::kUnstable);
}

TEST(Bode, DefaultMotorIsNotStableWithMargin) {
  const run::Scenario s = run::read_scenario(SCENARIO_DIR "/default.toml");
  const run::BodeResult r = measure(s, 0.5, 45.0, 8, true);
  ASSERT_TRUE(r.failure.empty()) << r.failure;
  EXPECT_FALSE(run::stable_with_margin(r.margins)) << run::bode_report(r);
  // It rings after a step: the run with the same gains shows it.
  ASSERT_TRUE(r.step && r.step->ring.amplitude_deg);
  const run::Ring& ring = r.step->ring;
  EXPECT_GT(*ring.amplitude_deg, 5.0);
  // The describing function puts the ring where the run shows it.
  ASSERT_TRUE(r.limit_cycle && r.limit_cycle->closest) << run::bode_report(r);
  EXPECT_NEAR(r.limit_cycle->closest->amplitude / *ring.amplitude_deg, 1.0, 0.3) << run::bode_report(r);
  EXPECT_NEAR(*r.limit_cycle->closest->hz, *ring.frequency_hz, 0.5);
}

}  // namespace
