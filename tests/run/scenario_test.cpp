// Scenario files: what they describe, and errors that point at the line and key.
#include <gtest/gtest.h>

#include <filesystem>

#include "scenario.h"

namespace {

std::string error_of(const std::string& text) {
  try {
    run::parse_scenario(text, "x.toml");
  } catch (const run::ScenarioError& e) {
    return e.what();
  }
  return "no error";
}

TEST(Scenario, ReadsEverySection) {
  const auto s = run::parse_scenario(R"(
duration = "4s"
start_angle_deg = 30.5
crystal_fails = true
sample_interval = "2ms"
[motor]
preset = "small"
pole_pairs = 7
inertia_kg_m2 = 2e-6
cogging_torque_nm = 0
[gains]
kp = 0.5
kd = 0.01
[[press]]
key = "up"
at = "1s"
[[press]]
key = "down"
at = "2.5s"
hold = "150ms"
[[load]]
at = "1.5s"
torque_nm = -0.02
[[fault]]
kind = "pwm-frequency"
from = "500ms"
until = "1s"
percent = -5
[[fault]]
kind = "no-sensor"
from = "3s"
[[flood]]
at = "0.2s"
length = "1s"
)",
                                     "x.toml");
  EXPECT_EQ(s.duration_s, 4.0);
  EXPECT_EQ(s.start_angle_deg, 30.5);
  EXPECT_TRUE(s.crystal_fails);
  EXPECT_DOUBLE_EQ(s.sample_interval_s, 0.002);
  EXPECT_EQ(s.motor, "small");
  EXPECT_EQ(s.motor_where, "x.toml:6:1") << "for the motor's own complaints about a field";
  EXPECT_EQ(s.motor_preset_where, "x.toml:7:10") << "for an unknown preset";
  EXPECT_EQ(s.motor_overrides.pole_pairs, 7);
  EXPECT_EQ(s.motor_overrides.inertia_kg_m2, 2e-6);
  EXPECT_EQ(s.motor_overrides.cogging_torque_nm, 0.0);
  EXPECT_FALSE(s.motor_overrides.supply_v);
  EXPECT_EQ(s.gains.kp, 0.5);
  EXPECT_FALSE(s.gains.ki);
  EXPECT_EQ(s.gains.kd, 0.01);
  ASSERT_EQ(s.presses.size(), 2u);
  EXPECT_EQ(s.presses[0].key, run::KeyName::kUp);
  EXPECT_EQ(s.presses[0].hold_s, 0.08);
  EXPECT_EQ(s.presses[1].key, run::KeyName::kDown);
  EXPECT_EQ(s.presses[1].at_s, 2.5);
  EXPECT_DOUBLE_EQ(s.presses[1].hold_s, 0.15);
  ASSERT_EQ(s.loads.size(), 1u);
  EXPECT_EQ(s.loads[0].torque_nm, -0.02);
  ASSERT_EQ(s.faults.size(), 2u);
  EXPECT_EQ(s.faults[0].kind, run::FaultKind::kPwmFrequency);
  EXPECT_DOUBLE_EQ(s.faults[0].from_s, 0.5);
  EXPECT_EQ(s.faults[0].until_s, 1.0);
  EXPECT_EQ(s.faults[0].percent, -5);
  EXPECT_FALSE(s.faults[1].until_s);
  ASSERT_EQ(s.floods.size(), 1u);
  EXPECT_DOUBLE_EQ(s.floods[0].at_s, 0.2);
  EXPECT_TRUE(s.warnings.empty());
}

TEST(Scenario, FaultsOfTheCatalogueWithTheirParameters) {
  const auto s = run::parse_scenario(R"(duration = "2s"
[[fault]]
kind = "pwm-runt"
from = "0.1s"
until = "0.5s"
width = "3us"
rate_hz = 50
[[fault]]
kind = "key-chatter"
rate_hz = 20
key = "down"
[[fault]]
kind = "key-bounce"
bounce = "4ms"
[[fault]]
kind = "usart-framing"
percent = 12.5
[[fault]]
kind = "crystal-fails"
)",
                                     "c.toml");
  ASSERT_EQ(s.faults.size(), 5u);
  EXPECT_EQ(s.faults[0].kind, run::FaultKind::kPwmRunt);
  EXPECT_DOUBLE_EQ(s.faults[0].width_s, 3e-6);
  EXPECT_EQ(s.faults[0].rate_hz, 50.0);
  EXPECT_EQ(s.faults[0].until_s, 0.5);
  EXPECT_EQ(s.faults[1].key, run::KeyName::kDown);
  EXPECT_DOUBLE_EQ(s.faults[2].bounce_s, 0.004);
  EXPECT_EQ(s.faults[3].percent, 12.5);
  EXPECT_EQ(s.faults[4].kind, run::FaultKind::kCrystalFails);
  EXPECT_STREQ(run::fault_name(s.faults[1].kind), "key-chatter");
}

TEST(Scenario, ErrorsNameFileLineAndKey) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"duration = \"4s\"\ndurration = 3\n", "x.toml:2:1: durration: unknown key"},
      {"[motor]\ninertia = 1e-6\n", "x.toml:2:1: motor.inertia: unknown key"},
      {"[motor]\nphase_resistance_ohm = -1.0\n", "x.toml:2:24: motor.phase_resistance_ohm: must be greater than 0"},
      {"start_angle_deg = 1e15\n", "x.toml:1:19: start_angle_deg: must lie from -360 to 360 degrees"},
      {"duration = \"2s\"\nsample_interval = \"5s\"\n", "x.toml:2:19: sample_interval: 5 s is longer than the run"},
      {"[[fault]]\nkind = \"key-chatter\"\nrate_hz = 1e-12\n", "x.toml:3:11: fault[1].rate_hz: must lie from 0.000001"},
      {"[motor]\npole_pairs = 7.5\n", "x.toml:2:14: motor.pole_pairs: expected a whole number"},
      {"duration = \"abc\"\n", "x.toml:1:12: duration: 'abc' is not a time"},
      {"duration = \"1e20s\"\n", "x.toml:1:12: duration: '1e20s' is longer than the longest run"},
      {"duration = \"-1s\"\n", "x.toml:1:12: duration: '-1s' is a negative time"},
      {"duration = \"nans\"\n", "x.toml:1:12: duration: 'nans' is not a finite time"},
      {"duration = 1.5\n", "x.toml:1:12: duration: 1.5 has no unit: write \"1.5s\" (or ms, us)"},
      {"duration = \"1.5\"\n", "x.toml:1:12: duration: '1.5' has no unit: write 1.5s, 1.5ms or 1.5us"},
      {"duration = \"0s\"\n", "duration: must be longer than 0"},
      {"duration = \"1s\"\n[[press]]\nkey = \"up\"\nat = \"5s\"\n",
       "x.toml:4:6: press[1].at: 5 s is not before the end of the run (duration 1 s)"},
      {"[[press]]\nkey = \"left\"\nat = \"0.1s\"\n", "x.toml:2:7: press[1].key: unknown key 'left'"},
      {"[[press]]\nat = \"0.1s\"\n", "press[1].key: missing"},
      {"[[fault]]\nkind = \"pwm-frequency\"\n", "fault[1].percent: missing"},
      {"[[fault]]\nkind = \"pwm-cut\"\nfrom = \"0.5s\"\nuntil = \"0.2s\"\n", "x.toml:4:9: fault[1].until: must be later than from"},
      {"[[fault]]\nkind = \"bad-parity\"\npercent = 3\n", "fault[1].percent: a bad-parity fault has no percent"},
      {"[[fault]]\nkind = \"pwm-runt\"\nwidth = \"2us\"\n", "fault[1].rate_hz: missing"},
      {"[[fault]]\nkind = \"pwm-dropout\"\nwidth = \"1.6ms\"\nrate_hz = 5\n", "fault[1].width: must lie above 0 and at most 1.5ms"},
      {"[[fault]]\nkind = \"key-chatter\"\nrate_hz = 5\nkey = \"left\"\n", "fault[1].key: unknown key 'left'"},
      {"[[fault]]\nkind = \"key-bounce\"\nrate_hz = 5\n", "fault[1].rate_hz: a key-bounce fault has no rate_hz"},
      {"[[fault]]\nkind = \"usart-noise\"\npercent = 150\n", "fault[1].percent: must lie above 0 and at most 100"},
      {"duration = \"2s\"\n[[fault]]\nkind = \"crystal-fails\"\nfrom = \"1s\"\n", "fault[1].from: a crystal fails at start-up"},
      {"[[fault]]\nkind = \"pwm-runts\"\n", "unknown fault 'pwm-runts' (use \"no-sensor\", "},
      {"[[flood]]\nat = \"0.1s\"\nlength = \"0s\"\n", "flood[1].length: must be longer than 0"},
      {"press = 3\n", "press: expected one or more [[press]] tables"},
      {"crystal_fails = 1\n", "crystal_fails: expected true or false"},
      {"[gains]\nkp = \"fast\"\n", "x.toml:2:6: gains.kp: expected a number"},
      {"duration = \"4s\n", "x.toml:1:"},  // a TOML syntax error
  };
  for (const auto& c : cases) {
    const std::string e = error_of(c.text);
    EXPECT_NE(e.find(c.expected), std::string::npos) << "got: " << e << "\nexpected: " << c.expected;
  }
}

TEST(Scenario, HoldBelowTheDebounceIsAWarning) {
  const auto s = run::parse_scenario("duration = \"2s\"\n[[press]]\nkey = \"down\"\nat = \"1s\"\nhold = \"5ms\"\n", "h.toml");
  ASSERT_EQ(s.warnings.size(), 1u);
  EXPECT_NE(s.warnings[0].find("press[1].hold"), std::string::npos) << s.warnings[0];
  EXPECT_NE(s.warnings[0].find("will not register"), std::string::npos) << s.warnings[0];
}

// Every shipped scenario loads, and ends after its last event.
TEST(Scenario, ShippedScenariosLoad) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(SCENARIO_DIR)) {
    if (entry.path().extension() != ".toml") continue;
    ++count;
    SCOPED_TRACE(entry.path().string());
    run::Scenario s;
    ASSERT_NO_THROW(s = run::read_scenario(entry.path().string()));
    EXPECT_TRUE(s.warnings.empty());
  }
  EXPECT_GE(count, 5);
  const auto d = run::read_scenario(std::string(SCENARIO_DIR) + "/default.toml");
  ASSERT_EQ(d.presses.size(), 3u);
  EXPECT_EQ(d.presses[2].key, run::KeyName::kDown);
  const auto x = run::read_scenario(std::string(SCENARIO_DIR) + "/excursion-400deg.toml");
  EXPECT_EQ(x.presses.size(), 4u);
  EXPECT_THROW(run::read_scenario("/nonexistent/x.toml"), run::ScenarioError);
  // A device that never ends is read only up to the largest scenario.
  EXPECT_THROW(run::read_scenario("/dev/zero"), run::ScenarioError);
}

}  // namespace
