// Commanded setpoints: the compact command-line form, the profile the entries
// add up to, and the checks that name the scenario's file, line and key.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "scenario.h"
#include "setpoint_profile.h"

namespace {

std::string refusal(const std::string& text) {
  try {
    run::parse_setpoint(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "accepted";
}

TEST(Setpoint, CommandLineFormsAndTheirProfile) {
  const std::vector<run::SetpointEntry> e = {run::parse_setpoint("step:40deg@1s"), run::parse_setpoint("ramp:-20dps@2s..3s"),
                                             run::parse_setpoint("step:10deg@4s"), run::parse_setpoint("sine:5deg,2Hz@5s..6s"),
                                             run::parse_setpoint("chirp:5deg,1Hz..8Hz,log@7s..9s")};
  EXPECT_EQ(run::setpoint_profile(e, 0.5), 0.0);
  EXPECT_EQ(run::setpoint_profile(e, 1.5), 40.0);
  EXPECT_NEAR(run::setpoint_profile(e, 2.5), 30.0, 1e-9);
  EXPECT_NEAR(run::setpoint_profile(e, 3.5), 20.0, 1e-9);
  // A later step sets the level; the ramp before it no longer counts.
  EXPECT_EQ(run::setpoint_profile(e, 4.5), 10.0);
  EXPECT_NEAR(run::setpoint_profile(e, 5.125), 15.0, 1e-9);  // a quarter period of 2 Hz
  EXPECT_EQ(run::setpoint_profile(e, 6.0), 10.0);
  // The log chirp starts at 1 Hz: a quarter period in, near its crest.
  EXPECT_NEAR(run::setpoint_profile(e, 7.25), 15.0, 0.2);
  EXPECT_TRUE(run::setpoint_moving(e, 9.01, 0.02));
  EXPECT_FALSE(run::setpoint_moving(e, 9.03, 0.02));
  EXPECT_FALSE(run::setpoint_moving(e, 1.0, 0.02));

  EXPECT_NE(refusal("step:40@1s").find("needs the unit deg"), std::string::npos);
  EXPECT_NE(refusal("sine:5deg,50Hz@1s..2s").find("hz must lie above 0 and below 50 Hz"), std::string::npos);
  EXPECT_NE(refusal("sine:400deg,5Hz@1s..2s").find("amplitude_deg"), std::string::npos);
  EXPECT_NE(refusal("ramp:90dps@3s..1s").find("until must be later than from"), std::string::npos);
  EXPECT_NE(refusal("chirp:5deg,1Hz..8Hz,cubic@1s..2s").find("lin or log"), std::string::npos);
  EXPECT_NE(refusal("wave:5deg@1s").find("unknown kind"), std::string::npos);
  EXPECT_NE(refusal("step:nandeg@1s").find("not a finite number"), std::string::npos);
}

TEST(Setpoint, ScenarioEntriesAreCheckedByFileLineAndKey) {
  const auto s = run::parse_scenario(
      "duration = \"3s\"\n[[setpoint]]\nkind = \"chirp\"\nfrom = \"1s\"\nuntil = \"2s\"\namplitude_deg = 4\n"
      "from_hz = 1\nto_hz = 20\nsweep = \"lin\"\n",
      "x.toml");
  ASSERT_EQ(s.setpoints.size(), 1u);
  EXPECT_EQ(s.setpoints[0].kind, run::SetpointKind::kChirp);
  EXPECT_EQ(s.setpoints[0].to_hz, 20.0);
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"[[setpoint]]\nkind = \"sine\"\nfrom = \"1s\"\nuntil = \"2s\"\namplitude_deg = 4\nhz = 60\n",
       "x.toml:6:6: setpoint[1].hz: must lie above 0 and below 50 Hz"},
      {"[[setpoint]]\nkind = \"step\"\nat = \"1s\"\nto_deg = 500\n", "x.toml:4:10: setpoint[1].to_deg: must lie from -327"},
      {"duration = \"2s\"\n[[setpoint]]\nkind = \"ramp\"\nfrom = \"3s\"\nuntil = \"4s\"\nrate_dps = 10\n",
       "setpoint[1].from: 3 s is not before the end of the run"},
      {"[[setpoint]]\nkind = \"swirl\"\n", "x.toml:2:8: setpoint[1].kind: unknown setpoint kind"},
      {"[[setpoint]]\nkind = \"step\"\nat = \"1s\"\nto_deg = 5\nhz = 3\n", "setpoint[1].hz: unknown key"},
      {"[bode]\nfrom_hz = 10\nto_hz = 5\n", "bode.to_hz: must be above from_hz"},
      {"[bode]\nto_hz = 49\n", "x.toml:2:9: bode.to_hz: must lie from 0.05 to 45 Hz"},
      {"[bode]\nidentify_gains = [0.1, 0.2]\n", "bode.identify_gains: expected [kp, ki, kd]"},
  };
  for (const auto& c : cases) {
    std::string e = "no error";
    try {
      run::parse_scenario(c.text, "x.toml");
    } catch (const run::ScenarioError& err) {
      e = err.what();
    }
    EXPECT_NE(e.find(c.expected), std::string::npos) << "got: " << e << "\nexpected: " << c.expected;
  }
}

}  // namespace
