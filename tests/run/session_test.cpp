// A session is what a tuner or an analysis run calls thousands of times: each
// run from reset must give the same figures for the same inputs, whatever ran
// before, print nothing, and be unchanged by whether its events are told.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "board_time.h"
#include "scenario_board.h"
#include "session.h"
#include "vboard/faults/fault_kinds.h"

namespace {

run::Scenario stepped() {
  run::Scenario s;
  s.duration_s = 0.6;
  s.presses = {{.key = run::KeyName::kUp, .at_s = 0.2, .hold_s = 0.08, .where = "test"}};
  return s;
}

// Equal value for value, a value not measured (NaN) equal to another one.
bool same(const run::Series& a, const run::Series& b) {
  auto value = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
  auto row = [&](const auto& x, const auto& y) { return std::equal(x.begin(), x.end(), y.begin(), y.end(), value); };
  return a.names == b.names && std::equal(a.rows.begin(), a.rows.end(), b.rows.begin(), b.rows.end(), row);
}

vboard::MotorParams motor_of(const run::Scenario& s) {
  std::string error;
  const auto m = run::scenario_motor(s, error);
  EXPECT_TRUE(m) << error;
  return m.value_or(vboard::MotorParams{});
}

TEST(Session, RunsFromResetToTheSameSeriesAndStepWhateverRanBefore) {
  const run::Scenario s = stepped();
  const run::Gains stable{0.1, 0.002, 0.3};
  testing::internal::CaptureStdout();
  run::Session first(s, motor_of(s), stable);
  first.run();
  { run::Session other(s, motor_of(s), {2.0, 0.4, 0.0}); }  // left unfinished
  run::Session other_gains(s, motor_of(s), {0.15, 0.005, 0.5});
  other_gains.run();
  run::Session again(s, motor_of(s), stable);
  again.run();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a session prints nothing";

  const run::Series& series = first.series();
  EXPECT_EQ(series.rows.size(), 600u);
  EXPECT_TRUE(same(series, again.series()));
  EXPECT_FALSE(same(series, other_gains.series())) << "the gains reach the firmware";
  EXPECT_EQ(first.summary().status(), 0);
  const auto steps = first.figures().steps;
  ASSERT_EQ(steps.size(), 1u);
  // The press, the keys' 10 ms debounce and up to a 5 ms frame.
  EXPECT_GE(steps[0].at_s, 0.21);
  EXPECT_LE(steps[0].at_s, 0.216);
  EXPECT_GT(steps[0].to_deg, steps[0].from_deg);
  // The columns are read by name as well as by place.
  EXPECT_EQ(series.values("uq_v").back(), series.rows.back()[run::column::kUq]);
  EXPECT_GT(first.figures(run::StepPeak::kUq).steps[0].peak_extra.value_or(0.0), 0.0);
}

TEST(Session, EventsToldLeaveTheRunAsItIsAndAStopEndsIt) {
  const run::Scenario s = stepped();
  std::vector<std::string> lines;
  run::SessionOptions told;
  told.events = [&lines](vboard::Ticks, const std::string& line) { lines.push_back(line); };
  told.verbose = true;
  run::Session with_events(s, motor_of(s), {0.1, 0.002, 0.3}, told);
  with_events.run();
  run::Session quiet(s, motor_of(s), {0.1, 0.002, 0.3});
  quiet.run();
  EXPECT_TRUE(same(with_events.series(), quiet.series()));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "key up (PC7) pressed"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "gains written: Kp 0.1, Ki 0.002, Kd 0.3"), lines.end());

  run::SessionOptions stopping;
  int asked = 0;
  stopping.stop = [&asked] { return ++asked > 2; };
  run::Session stopped(s, motor_of(s), {}, stopping);
  stopped.run();
  EXPECT_TRUE(stopped.summary().interrupted);
  EXPECT_NEAR(run::seconds_of(stopped.summary().stopped_at), 0.2, 1e-6) << "at the end of the second slice";
  EXPECT_EQ(stopped.series().rows.size(), 200u);
}

// The drive as the bridge applies it: Uq clamped at 12 V passes the
// modulation only up to supply / sqrt(3); below that the bridge applies
// |Uq| to a compare count. A cut angle line holds the drive off while the
// PID still asks for a voltage.
TEST(Session, SeriesShowsTheVoltageAppliedAndTheDriveHeldOff) {
  run::Scenario s = stepped();
  s.faults.push_back({.kind = vboard::FaultKind::kPwmCut, .from_s = 0.45});
  run::Session session(s, motor_of(s), {0.26, 0.04, 0.06});
  session.run();
  const auto uq = session.series().values("uq_v"), applied = session.series().values("u_applied_v"),
             on = session.series().values("drive_on"), t = session.series().values("t_s");
  int clamped = 0, off = 0;
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (uq[i] != uq[i - 1] || on[i] != on[i - 1]) continue;  // the new duties may not be in force yet
    if (on[i] == 0.0) {
      ++off;
      EXPECT_EQ(applied[i], 0.0) << t[i];
      EXPECT_GT(t[i], 0.45);
    } else if (std::abs(uq[i]) >= 7.5) {
      ++clamped;
      EXPECT_NEAR(applied[i], 12.0 / std::sqrt(3.0), 0.25) << t[i];
    } else {
      EXPECT_NEAR(applied[i], std::abs(uq[i]), 0.25) << t[i];  // a count of the compare is 0.24 V
    }
  }
  EXPECT_GT(clamped, 10);
  EXPECT_GT(off, 50);
}

// Commanded setpoints add their change each control period, before the
// control work reads it: a key press in between keeps its 100 degrees.
TEST(Session, CommandedSetpointsAddToKeyPressesInTheSamePeriod) {
  run::Scenario s;
  s.duration_s = 1.2;
  s.presses = {{.key = run::KeyName::kUp, .at_s = 0.5, .hold_s = 0.08, .where = "test"}};
  s.setpoints = {run::parse_setpoint("step:30deg@0.2s"), run::parse_setpoint("ramp:-50dps@0.7s..0.9s")};
  run::Session session(s, motor_of(s), {0.1, 0.0, 0.3});
  std::vector<vboard::ControlPeriod> periods;
  session.control_periods().on_period = [&periods](const vboard::ControlPeriod& p) { periods.push_back(p); };
  session.run();
  ASSERT_GT(periods.size(), 100u);
  EXPECT_EQ(periods.back().setpoint, 120.0);
  EXPECT_NEAR(session.control_periods().applied_deg(), 20.0, 1e-12);
  const auto step = std::find_if(periods.begin(), periods.end(), [](const auto& p) { return p.setpoint == 30.0; });
  ASSERT_NE(step, periods.begin());
  ASSERT_NE(step, periods.end());
  EXPECT_NEAR(run::seconds_of(step->t), 0.2, 0.011);
  // The PID saw the step in the period it landed: Kp x 30 deg more Uq.
  EXPECT_GT(step->uq - std::prev(step)->uq, 0.8 * 0.1 * 30.0);
  // The step table starts rows at the step and the key press, not within the ramp.
  const auto steps = session.figures().steps;
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_NEAR(steps[1].to_deg - steps[1].from_deg, 100.0, 0.01);
}

}  // namespace
