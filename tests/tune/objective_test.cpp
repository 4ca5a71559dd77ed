// What vboard-tune measures a candidate by: the ring that does not decay,
// the cost parts of a run, the motor variations and the objective's name,
// and on the board the image's own gains failing where tuned ones pass.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tune_objective.h"

namespace {

constexpr double kPi = 3.141592653589793;

// A 10 Hz ring of the error from 0 to 1 s at 1 ms, its amplitude
// `amp * exp(rate * t)`; `ring` its figures over the last 0.3 s.
struct Ringing {
  std::vector<double> t, error;
  run::Ring ring;
  Ringing(double amp, double rate) {
    for (int i = 0; i < 1000; ++i) {
      t.push_back(i * 1e-3);
      error.push_back(amp * std::exp(rate * t.back()) * std::sin(2.0 * kPi * 10.0 * t.back()));
    }
    const auto from = t.size() - 300;
    ring = run::ring_figures(std::span(t).subspan(from), std::span(error).subspan(from));
  }
  bool not_decaying(double from = 0.0) const { return run::not_decaying(ring, t, error, from, 1.0); }
};

TEST(Objective, ARingFailsWhenItKeepsItsSwingOverTheLastWindow) {
  EXPECT_TRUE(Ringing(17.0, 0.0).not_decaying()) << "a limit cycle";
  EXPECT_TRUE(Ringing(2.0, 1.0).not_decaying()) << "a growing ring";
  EXPECT_TRUE(Ringing(5.0, -0.2).not_decaying()) << "less than a tenth of its swing lost in 0.3 s";
  EXPECT_FALSE(Ringing(17.0, -1.0).not_decaying()) << "a ring that decays";
  EXPECT_FALSE(Ringing(0.8, 0.0).not_decaying()) << "within the settling band: a cost, not a failure";
  EXPECT_FALSE(Ringing(17.0, 0.0).not_decaying(0.5)) << "a step too short to judge";
}

// A series of `n` rows at 1 ms, every value 0 but the time.
run::Series flat(std::size_t n) {
  run::Series s;
  s.names = run::run_columns();
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> row(run::column::kCount, 0.0);
    row[run::column::kTime] = static_cast<double>(i) * 1e-3;
    s.rows.push_back(row);
  }
  return s;
}

TEST(Objective, ARunsCostPartsAndFailures) {
  run::Series s = flat(1001);
  for (std::size_t i = 0; i < s.rows.size(); ++i) {
    auto& row = s.rows[i];
    row[run::column::kError] = i < 500 ? -2.0 : std::nan("");  // no frame in the second half
    row[run::column::kUq] = i % 4 == 0 ? -12.0 : 11.9;
    row[run::column::kIb] = i == 7 ? -1.25 : 0.5;
  }
  run::RunFigures f;
  auto step = [&](double at, double length, double overshoot, std::optional<double> settling) {
    auto& st = f.steps.emplace_back();
    st.at_s = at;
    st.length_s = length;
    st.overshoot_pct = overshoot;
    st.settling_s = settling;
  };
  step(0.1, 0.4, 12.0, std::nullopt);
  step(0.5, 0.2, 30.0, 0.15);
  auto& load = f.loads.emplace_back();
  load.at_s = 0.7;
  load.length_s = 0.3;
  load.recovery_s = 0.05;
  load.ring.amplitude_deg = 0.4;
  const auto e = run::measure_run(s, f, 0, 12.0);
  EXPECT_NEAR(e.parts.iae_deg_s, 2.0 * 0.499, 1e-9);
  EXPECT_DOUBLE_EQ(e.parts.overshoot_pct, 30.0);
  EXPECT_DOUBLE_EQ(e.parts.ring_deg, 0.4);
  EXPECT_DOUBLE_EQ(e.parts.settling_s, 0.4) << "never settled: the step's length";
  EXPECT_DOUBLE_EQ(e.parts.peak_current_a, 1.25);
  EXPECT_NEAR(e.clamp_share, 251.0 / 1001.0, 1e-12);
  EXPECT_EQ(e.failures, 0u);
  EXPECT_EQ(run::measure_run(s, f, 3, 12.0).failures, unsigned{tune::kLostControl});
  EXPECT_EQ(run::measure_run(s, f, 1, 12.0).failures, unsigned{tune::kBadTrial});
}

std::string write(const std::filesystem::path& p, const std::string& text) {
  std::ofstream(p) << text;
  return p.string();
}

TEST(Objective, VariationsAndTheObjectivesName) {
  const auto dir = std::filesystem::temp_directory_path() / ("objective_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string base = "duration = \"1s\"\n[[press]]\nkey = \"up\"\nat = \"0.2s\"\n";
  const auto path = write(dir / "a.toml", base + "[[variation]]\ninertia_x = 2\nsupply_v = 11.5\n"
                                                "[[variation]]\nname = \"sticky\"\nfriction_x = 3\n");
  const auto o = run::load_objective(path, true, 12.0);
  ASSERT_EQ(o.motors.size(), 3u);
  EXPECT_EQ(o.motor_names[1], "inertia x2, friction x1, 11.5 V");
  EXPECT_EQ(o.motor_names[2], "sticky");
  EXPECT_DOUBLE_EQ(o.motors[1].inertia_kg_m2, 2.0 * o.motors[0].inertia_kg_m2);
  EXPECT_DOUBLE_EQ(o.motors[1].supply_v, 11.5);
  EXPECT_DOUBLE_EQ(o.motors[2].breakaway_torque_nm, 3.0 * o.motors[0].breakaway_torque_nm);
  EXPECT_DOUBLE_EQ(o.motors[2].viscous_nm_s_per_rad, 3.0 * o.motors[0].viscous_nm_s_per_rad);
  EXPECT_EQ(run::load_objective("", true, 12.0).motors.size(), 5u) << "nominal and the four default corners";
  EXPECT_EQ(run::load_objective(path, false, 12.0).motors.size(), 1u);

  // The name follows the text and the motors, not the folder.
  std::filesystem::create_directories(dir / "b");
  const auto copy = write(dir / "b" / "a.toml", o.text);
  const auto edited = write(dir / "b" / "c.toml", o.text + "# another\n");
  EXPECT_EQ(run::objective_text(run::load_objective(copy, true, 12.0)), run::objective_text(o));
  EXPECT_NE(run::objective_text(run::load_objective(edited, true, 12.0)), run::objective_text(o));
  EXPECT_NE(run::objective_text(run::load_objective(path, false, 12.0)), run::objective_text(o));

  auto refused = [&](const std::string& text, bool robust, const std::string& what) {
    const auto p = write(dir / "bad.toml", text);
    try {
      (void)run::load_objective(p, robust, 12.0);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const tune::TuneError& e) {
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
    }
  };
  refused("duration = \"1s\"\n", false, "--scenario: ");
  refused(base + "[[variation]]\ninertia_x = 20\n", true, "variation[1].inertia_x: must lie from 0.1 to 10");
  refused(base + "[[variation]]\nmass = 2\n", true, "variation[1].mass: unknown key");
  refused(base + "[motor]\ninertia_kg_m2 = 1e-8\n[[variation]]\ninertia_x = 0.5\n", true,
          "--robust: " + (dir / "bad.toml").string() + ":7:1: the motor refuses it");
  refused(base + "[[variation]]\nfriction_x = -1\n", false, "friction_x: must lie from 0 to 10");
  std::filesystem::remove_all(dir);
}

// On the board: the image's own gains ring on without decaying after the
// step, well-damped gains pass; every run from reset gives the same cost.
TEST(Objective, TheImagesGainsOscillateTunedOnesPass) {
  const auto o = run::load_objective(SHORT_SCENARIO, false, 12.0);
  const auto image = run::run_trial(o, {0.26, 0.04, 0.06}, 0);
  EXPECT_EQ(image.eval.failures, unsigned{tune::kOscillating});
  EXPECT_GT(image.eval.parts.ring_deg, 10.0);
  const tune::Gains damped{0.47, 0.0, 0.6};
  const auto tuned = run::run_trial(o, damped, 0);
  EXPECT_EQ(tuned.eval.failures, 0u);
  EXPECT_LT(tuned.eval.parts.iae_deg_s, image.eval.parts.iae_deg_s);
  EXPECT_GT(tuned.eval.clamp_share, 0.0) << "a 100 degree step drives the PID into its clamp";
  EXPECT_EQ(run::run_trial(o, damped, 0).eval.parts.iae_deg_s, tuned.eval.parts.iae_deg_s);
}

}  // namespace
