// A run's inputs against the motor: loads and speeds it can meet, the supply
// the firmware is scaled for.
#include <gtest/gtest.h>

#include "input_checks.h"

namespace {

TEST(InputChecks, LoadsAndSpeedsAreBoundByTheMotor) {
  const run::MotorFigures gimbal{0.0554, 7440.0, 12.0};
  run::Scenario s;
  s.loads.push_back({0.5, -0.27, "x.toml:9:13: load[1].torque_nm"});
  auto c = run::check_against_motor(s, 14000.0, gimbal);
  EXPECT_TRUE(c.error.empty()) << c.error;
  EXPECT_TRUE(c.warnings.empty());
  s.loads.push_back({1.0, 1e9, "x.toml:12:13: load[2].torque_nm"});
  c = run::check_against_motor(s, 0.0, gimbal);
  EXPECT_EQ(c.error,
            "x.toml:12:13: load[2].torque_nm: 1e+09 N m is more than 5 times the motor's stall torque (0.0554 N m): "
            "at most 0.277 N m either way");
  s.loads.pop_back();
  c = run::check_against_motor(s, -15000.0, gimbal);
  EXPECT_NE(c.error.find("--rotor-speed -1.5e+04: more than 2 times the motor's no-load speed"), std::string::npos)
      << c.error;
  c = run::check_against_motor(s, 0.0, {0.0554, 7440.0, 1e6});
  ASSERT_EQ(c.warnings.size(), 1u);
  EXPECT_NE(c.warnings[0].find("the firmware's modulation assumes a 12 V supply"), std::string::npos) << c.warnings[0];
}

}  // namespace
