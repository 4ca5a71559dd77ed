// The motor's wiring closes the position loop the right way round: the
// firmware's own decoder and inverse Park, a modulation in min-max injection
// form, the bridge and the motor, at rotor positions all round a turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "angle_decoder.h"
#include "coordTrans.h"
#include "global_variable.h"
#include "vboard/parts/as5048a.h"
#include "vboard/board/board.h"
#include "vboard/plant/inverter.h"
#include "vboard/plant/loss_of_control.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/plant/motor.h"
#include "vboard/plant/motor_wiring.h"

namespace {

using vboard::MotorWiring;

constexpr float kUq = 6.0f;            // volts, within what the bridge can give
constexpr std::uint16_t kPeriod = 10500;  // sensor PWM period in capture counts (1 kHz)

struct Sweep {
  double least;     // smallest torque towards a larger sensor angle, N m
  double most;      // largest
  double wrong;     // share of positions where it points the other way
};

// Holds the rotor at positions all round one turn and applies, at each, what
// the firmware applies for a positive Uq.
Sweep sweep(const MotorWiring& wiring) {
  vboard::board().reset();
  const vboard::MotorParams p;
  vboard::Motor motor(p);
  vboard::Inverter bridge(p.supply_v);
  motor.set_shaft_held(0.0, true);
  Sweep r{1e9, -1e9, 0.0};
  const int n = 7 * 36;
  double t = 0.0;
  for (int k = 0; k < n; ++k) {
    const double shaft = (k + 0.37) * 2.0 * std::numbers::pi / n;
    // The sensor's PWM reading (zero offset 40 degrees) and the decoder.
    double s = std::fmod(vboard::sensor_angle_deg(shaft, wiring), 360.0);
    if (s < 0.0) s += 360.0;
    const double raw = std::fmod(s + 40.0, 360.0);
    IC1Value = kPeriod;
    IC2Value = static_cast<std::uint16_t>(std::lround(kPeriod * 0.99467 * raw / 360.0));
    Angle_Decode();
    PARK park{};
    park.Theta = MotorAPark.Theta;
    park.Uq = kUq;
    Anti_Park_Calc(&park);
    // Modulation: phase voltages less the mean of the largest and smallest,
    // about half the supply, as compare values of a 50-count period.
    const auto v = vboard::inverse_clarke(park.UAlpha / 65536.0, park.UBeta / 65536.0);
    const double mid = 0.5 * (*std::max_element(v.begin(), v.end()) + *std::min_element(v.begin(), v.end()));
    std::array<double, 3> duty;
    for (int c = 0; c < 3; ++c) {
      const auto compare = static_cast<unsigned>(std::lround(50.0 * (0.5 + (v[c] - mid) / p.supply_v)));
      duty[c] = vboard::Inverter::duty_from_compare(compare, 50);
    }
    bridge.set_duties(duty);
    motor.set_shaft_angle(t, shaft);
    motor.set_phase_voltages(t, vboard::motor_phase_voltages(bridge.phase_voltages(), wiring));
    t += 5e-3;  // many L/R: the current has settled
    motor.advance_to(t);
    const double towards = motor.electromagnetic_torque_nm() * wiring.sensor_direction;
    r.least = std::min(r.least, towards);
    r.most = std::max(r.most, towards);
    if (towards < 0.0) r.wrong += 1.0 / n;
  }
  vboard::board().reset();
  return r;
}

TEST(MotorWiring, PositiveUqTurnsTheRotorTowardsALargerSensorAngle) {
  const vboard::MotorParams p;
  const double full = p.torque_constant_nm_per_a * kUq / p.phase_resistance_ohm;  // vector on the q axis

  const Sweep good = sweep(vboard::kDefaultWiring);
  EXPECT_GT(good.least, 0.95 * full);
  EXPECT_LT(good.most, 1.02 * full);
  // The other consistent choice: phase sequence and sensor direction both reversed.
  const Sweep mirrored = sweep({{0, 2, 1}, +1, 180.0});
  EXPECT_GT(mirrored.least, 0.95 * full);

  MotorWiring swapped = vboard::kDefaultWiring;
  swapped.phase_of_channel = {1, 0, 2};
  EXPECT_GT(sweep(swapped).wrong, 0.3);
  MotorWiring quarter = vboard::kDefaultWiring;
  quarter.magnet_offset_elec_deg += 90.0;
  const Sweep q = sweep(quarter);
  EXPECT_LT(std::max(q.most, -q.least), 0.1 * full);
  MotorWiring reversed = vboard::kDefaultWiring;
  reversed.magnet_offset_elec_deg = 0.0;
  EXPECT_LT(sweep(reversed).most, -0.95 * full);

  // Shaft and sensor angles map both ways.
  EXPECT_NEAR(vboard::shaft_angle_rad(vboard::sensor_angle_deg(1.234)), 1.234, 1e-12);
  EXPECT_NEAR(vboard::sensor_angle_deg(0.0), 180.0 / 7.0, 1e-12);
}

// The sensor's quantised angle for a shaft standing still, computed afresh:
// a change of wiring, motor or shaft angle shows at once, even where the
// shaft's angle itself stays the same.
TEST(MotorWiring, SensorReadsTheShaftThroughTheWiringAndMotorInForce) {
  vboard::Board& board = vboard::board();
  board.reset();
  vboard::MotorDrive& drive = board.motor_drive();
  auto expected = [&](double shaft_rad) {
    const double a = vboard::sensor_angle_deg(shaft_rad, drive.wiring(), drive.motor().params().pole_pairs);
    return vboard::As5048a::count_of(std::fmod(std::fmod(a, 360.0) + 360.0, 360.0)) * (360.0 / 16384.0);
  };
  for (double shaft : {0.0, 1.234, -7.5, 40.0}) {
    SCOPED_TRACE(shaft);
    drive.set_shaft_angle(shaft);
    EXPECT_EQ(drive.sensor_angle_deg(), expected(shaft));
    EXPECT_EQ(drive.sensor_angle_deg(), expected(shaft)) << "looked at twice";
    drive.set_wiring({{0, 2, 1}, +1, 180.0});
    EXPECT_EQ(drive.sensor_angle_deg(), expected(shaft)) << "mirrored wiring";
    vboard::MotorParams more_poles;
    more_poles.pole_pairs = 11;
    drive.set_params(more_poles);
    EXPECT_EQ(drive.sensor_angle_deg(), expected(shaft)) << "another motor";
    drive.set_params({});
    drive.set_wiring(vboard::kDefaultWiring);
    EXPECT_EQ(drive.sensor_angle_deg(), expected(shaft));
  }
  board.reset();
}

TEST(LossOfControl, SpeedLastingDistanceFromTheSetpointOrStallUnderFullDrive) {
  vboard::LossOfControlDetector fast(130.0);
  EXPECT_FALSE(fast.update(0.1, -129.0, 0.0, 0.0));
  EXPECT_TRUE(fast.update(0.2, -131.0, 0.0, 0.0));
  ASSERT_TRUE(fast.trip());
  EXPECT_EQ(fast.trip()->time_s, 0.2);
  EXPECT_NE(fast.trip()->reason.find("loss of control"), std::string::npos);
  EXPECT_TRUE(fast.update(0.3, 0.0, 0.0, 0.0));  // the verdict stands

  vboard::LossOfControlDetector far(130.0);
  EXPECT_FALSE(far.update(0.0, 0.0, 100.0 + 721.0, 100.0));
  EXPECT_FALSE(far.update(0.9, 0.0, 100.0 - 800.0, 100.0));
  EXPECT_FALSE(far.update(0.95, 0.0, 100.0, 100.0));  // back in bounds: the second starts again
  EXPECT_FALSE(far.update(1.0, 0.0, 900.0, 100.0));
  EXPECT_FALSE(far.update(1.99, 0.0, 900.0, 100.0));
  EXPECT_TRUE(far.update(2.0, 0.0, 900.0, 100.0));
  EXPECT_EQ(far.trip()->time_s, 2.0);

  // Full drive that does not turn the rotor: a second of it trips; a drive
  // that lets up, or a rotor that gets going, starts the second again.
  vboard::LossOfControlDetector stalled(130.0);
  EXPECT_FALSE(stalled.update(0.0, 0.0, 0.0, 100.0, 0.95));
  EXPECT_FALSE(stalled.update(0.5, 0.0, 0.0, 100.0, 0.5));
  EXPECT_FALSE(stalled.update(0.6, 0.0, 0.0, 100.0, 1.0));
  EXPECT_FALSE(stalled.update(1.5, 100.0, 50.0, 100.0, 1.0));  // turning at full drive: a long move
  EXPECT_FALSE(stalled.update(1.6, 1.0, 60.0, 100.0, 1.0));
  EXPECT_FALSE(stalled.update(2.59, 0.0, 60.0, 100.0, 1.0));
  EXPECT_TRUE(stalled.update(2.6, 0.0, 60.0, 100.0, 1.0));
  EXPECT_NE(stalled.trip()->reason.find("stalled"), std::string::npos);

  vboard::LossOfControlDetector blind(130.0);
  EXPECT_TRUE(blind.update(0.0, std::nan(""), 0.0, 0.0));
}

}  // namespace
