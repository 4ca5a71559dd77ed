// The position loop closed on the virtual board: the whole firmware drives
// the inverter and the motor through TIM5, and the sensor on the motor's
// shaft feeds the angle back. The rotor goes where the loop asks, key by
// key; a load is rejected; a wrongly wired motor is reported as a loss of
// control; without the sensor's PWM line the drive lets the rotor go.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "global_variable.h"
#include "vboard/board/board.h"
#include "vboard/plant/inverter.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/sensor_pwm.h"

namespace {

using vboard::board;
using vboard::Key;
using vboard::ms;
using vboard::Ticks;

constexpr double kBandDeg = 1.0;  // settled: within a degree of the setpoint

// The rotor's angle as the sensor sees it and where the loop asks for it,
// every millisecond.
struct Sample {
  Ticks t;
  double angle_deg;     // sensor, unwrapped from the turn it started in
  double setpoint_deg;  // MotorAPosition.Des
  double speed_rad_s;
  double iq_a;
};

class ClosedLoop : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }
  void TearDown() override { board().reset(); }

  void start(const vboard::BoardConfig& config) {
    board().reset(config);
    board().motor_drive().set_setpoint_source([] { return static_cast<double>(MotorAPosition.Des); });
    trace.clear();
  }

  void run_to(Ticks until) {
    while (board().now() < until) {
      board().run_until(board().now() + ms(1));
      auto& drive = board().motor_drive();
      const vboard::Motor& m = drive.motor();
      trace.push_back({board().now(), drive.sensor_unwrapped_deg(), MotorAPosition.Des, m.speed_rad_s(), m.iq_a()});
    }
  }

  // Time from `from` until the angle last entered the band around the
  // setpoint and stayed there to `to`; none if it is outside at `to`.
  std::optional<double> settling_s(Ticks from, Ticks to, double band_deg = kBandDeg) const {
    std::optional<Ticks> inside_since;
    for (const Sample& s : trace) {
      if (s.t < from || s.t > to) continue;
      if (std::abs(s.angle_deg - s.setpoint_deg) <= band_deg) {
        if (!inside_since) inside_since = s.t;
      } else {
        inside_since.reset();
      }
    }
    if (!inside_since) return std::nullopt;
    return vboard::to_ms(*inside_since - from) / 1000.0;
  }
  const Sample& at(Ticks t) const {
    for (const Sample& s : trace)
      if (s.t >= t) return s;
    return trace.back();
  }

  std::vector<Sample> trace;
};

// The firmware's own gains leave the loop lightly damped: Kp with the motor's
// kt / R makes a 10 Hz spring on the 30 g cm^2 rotor, and the 10 ms sampling
// of the angle and the integral eat most of the damping the back-EMF gives.
// The rotor swings through the setpoint for seconds before friction catches
// it, and then stiction makes it hunt: stuck while the proportional term's
// torque is below the breakaway torque, freed by the integral term with
// more torque than the Coulomb friction needs. Physics bounds the hunting
// by that stuck zone, breakaway / (Kp kt / R), 2.9 degrees; it does not
// promise the one-degree band.
TEST_F(ClosedLoop, RotorSettlesAtTheSetpointAndFollowsEachKeyPress) {
  constexpr Ticks kWindow = ms(15000);
  const vboard::MotorParams& p = board().motor_drive().motor().params();
  const double stuck_zone_deg =
      p.breakaway_torque_nm * p.phase_resistance_ohm / (p.torque_constant_nm_per_a * MotorAPosition.Kp);
  board().power_on();
  run_to(kWindow);
  // After power-on the loop asks for 0 degrees; the rotor stood at the
  // magnet's offset (25.7 degrees) and is brought there.
  EXPECT_EQ(MotorAPosition.Des, 0.0f);
  auto report = [&](const char* what, Ticks from) {
    const auto one = settling_s(from, from + kWindow, kBandDeg);
    const auto stuck = settling_s(from, from + kWindow, stuck_zone_deg);
    std::printf("%s: within +-%.1f deg from %.3f s, within +-1 deg %s; final error %.3f deg\n", what,
                stuck_zone_deg, stuck.value_or(-1.0),
                one ? ("from " + std::to_string(*one) + " s").c_str() : "not at the end",
                trace.back().setpoint_deg - trace.back().angle_deg);
    return stuck;
  };
  EXPECT_TRUE(report("power-on to 0 deg", 0).has_value()) << "at the end the rotor is at " << trace.back().angle_deg;

  // Three presses of the raise key: 100, 200, 300 degrees.
  auto& keys = *board().find<vboard::Keys>();
  for (int n = 1; n <= 3; ++n) {
    const Ticks press = kWindow * static_cast<Ticks>(n);
    keys.click(Key::kRaise, press, ms(50));
    run_to(press + kWindow);
    EXPECT_EQ(MotorAPosition.Des, 100.0f * n);
    char what[32];
    std::snprintf(what, sizeof what, "step %d to %d deg", n, 100 * n);
    EXPECT_TRUE(report(what, press).has_value()) << what << ": at the end the rotor is at " << trace.back().angle_deg;
    // The sensor reads the shaft: the shaft itself turned by the press.
    EXPECT_NEAR(trace.back().angle_deg, 100.0 * n, stuck_zone_deg);
  }
  EXPECT_FALSE(board().stop_info().lost_control) << board().stop_info().lost_control_reason;
}

TEST_F(ClosedLoop, LoadTorqueStepIsRejectedByTheIntegralTerm) {
  // A load well above the stiction (6 mN m) but within what the drive can
  // give (kt x 6.9 V / 10 ohm = 55 mN m).
  constexpr double kLoadNm = 0.02;
  board().power_on();
  board().motor_drive().set_load_torque(ms(1500), kLoadNm);
  run_to(ms(4000));
  // The load pushes the rotor off (the proportional term alone would hold it
  // kLoad / (Kp kt / R) = 9.6 degrees away)...
  double worst = 0.0;
  for (const Sample& s : trace)
    if (s.t > ms(1500)) worst = std::max(worst, std::abs(s.angle_deg - s.setpoint_deg));
  EXPECT_GT(worst, kBandDeg) << "the load must be felt";
  // ...and the integral brings it back: the steady q current carries the
  // load. Back means into the zone where stiction may hold the rotor (the
  // proportional torque is below the breakaway torque there); whether it then
  // also ends within a degree is left to where the integral's last kick
  // happens to leave it, so that figure is printed, not asserted.
  const auto& p = board().motor_drive().motor().params();
  const double stuck_zone_deg =
      p.breakaway_torque_nm * p.phase_resistance_ohm / (p.torque_constant_nm_per_a * MotorAPosition.Kp);
  const auto settled = settling_s(ms(1500), ms(4000), stuck_zone_deg);
  ASSERT_TRUE(settled.has_value()) << "at the end the rotor is " << trace.back().angle_deg - trace.back().setpoint_deg
                                   << " deg off";
  const auto within_one = settling_s(ms(1500), ms(4000));
  std::printf("load step of %.0f mN m: worst error %.2f deg, back within +-%.1f deg after %.3f s, within +-1 deg: %s\n",
              kLoadNm * 1e3, worst, stuck_zone_deg, *settled,
              within_one ? std::to_string(*within_one).c_str() : "not at the end");
  const double kt = board().motor_drive().motor().params().torque_constant_nm_per_a;
  EXPECT_NEAR(-trace.back().iq_a * kt, kLoadNm, board().motor_drive().motor().params().breakaway_torque_nm)
      << "the motor's torque balances the load (sensor counts against the shaft: a positive Uq turns it backwards)";
}

TEST_F(ClosedLoop, WrongWiringIsReportedAsLossOfControl) {
  struct Case {
    const char* what;
    vboard::MotorWiring wiring;
  } cases[] = {
      {"phases B and C swapped", {{0, 2, 1}, vboard::kDefaultWiring.sensor_direction, vboard::kDefaultWiring.magnet_offset_elec_deg}},
      {"magnet 90 electrical degrees off", {{0, 1, 2}, vboard::kDefaultWiring.sensor_direction, vboard::kDefaultWiring.magnet_offset_elec_deg + 90.0}},
      {"magnet 180 electrical degrees off", {{0, 1, 2}, vboard::kDefaultWiring.sensor_direction, vboard::kDefaultWiring.magnet_offset_elec_deg + 180.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vboard::BoardConfig config;
    config.wiring = c.wiring;
    start(config);
    board().power_on();
    board().find<vboard::Keys>()->click(Key::kRaise, ms(500), ms(50));
    run_to(ms(6000));
    const auto& stop = board().stop_info();
    std::printf("%s: %s at %.3f s\n", c.what, stop.lost_control ? stop.lost_control_reason.c_str() : "no loss of control",
                vboard::to_ms(stop.lost_control_at) / 1000.0);
    EXPECT_TRUE(stop.lost_control);
    EXPECT_EQ(stop.lost_control_reason.rfind("loss of control", 0), 0u) << stop.lost_control_reason;
  }
}

TEST_F(ClosedLoop, CutSensorLineTurnsTheDriveOffAndTheRotorStops) {
  board().power_on();
  board().find<vboard::Keys>()->click(Key::kRaise, ms(1000), ms(50));
  run_to(ms(1050));
  ASSERT_GT(std::abs(trace.back().speed_rad_s), 1.0) << "the rotor is on its way";
  board().find<vboard::SensorPwm>()->set_enabled(false);
  run_to(ms(1500));
  // Without captures the modulation stage puts out the zero vector: every
  // leg at half duty, no voltage across the motor.
  for (double d : board().motor_drive().inverter().duties()) EXPECT_DOUBLE_EQ(d, 0.5);
  for (double v : board().motor_drive().inverter().phase_voltages()) EXPECT_NEAR(v, 0.0, 1e-12);
  // Friction stops the rotor and it stays stopped.
  EXPECT_EQ(board().motor_drive().motor().speed_rad_s(), 0.0);
  const double stopped_at = trace.back().angle_deg;
  run_to(ms(2500));
  EXPECT_EQ(trace.back().angle_deg, stopped_at);
  EXPECT_EQ(board().motor_drive().motor().speed_rad_s(), 0.0);
}

TEST_F(ClosedLoop, SameScenarioTwiceGivesTheSameTrace) {
  auto scenario = [this] {
    start({});
    board().power_on();
    board().find<vboard::Keys>()->click(Key::kRaise, ms(300), ms(50));
    board().find<vboard::Keys>()->click(Key::kLower, ms(900), ms(50));
    board().motor_drive().set_load_torque(ms(600), 0.01);
    run_to(ms(1400));
    return trace;
  };
  const std::vector<Sample> first = scenario();
  const std::vector<Sample> second = scenario();
  ASSERT_EQ(first.size(), second.size());
  for (std::size_t n = 0; n < first.size(); ++n) {
    ASSERT_EQ(first[n].angle_deg, second[n].angle_deg) << "sample " << n;
    ASSERT_EQ(first[n].iq_a, second[n].iq_a) << "sample " << n;
    ASSERT_EQ(first[n].setpoint_deg, second[n].setpoint_deg) << "sample " << n;
  }
}

}  // namespace
