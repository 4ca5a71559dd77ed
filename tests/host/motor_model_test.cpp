// The motor and inverter models against the physics they stand for: steady
// currents, the electrical time constant, the back-EMF, the energy balance,
// friction and stiction.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>

#include "vboard/plant/inverter.h"
#include "vboard/plant/motor.h"

namespace {

using vboard::Inverter;
using vboard::Motor;
using vboard::MotorParams;

constexpr double kSqrt3 = 1.7320508075688772;

// Phase voltages of a vector of amplitude `volts` at `angle_rad` in the stator frame.
std::array<double, 3> vector_volts(double volts, double angle_rad) {
  return vboard::inverse_clarke(volts * std::cos(angle_rad), volts * std::sin(angle_rad));
}

// Phase voltages that put `vq` on the rotor's q axis where the rotor stands now.
std::array<double, 3> commutated(const Motor& m, double vq) {
  return vector_volts(vq, m.electrical_angle_rad() + std::numbers::pi / 2.0);
}

void expect_refused(MotorParams p, const std::string& field) {
  try {
    p.validate();
    ADD_FAILURE() << field << " accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
  }
}

TEST(MotorParams, OutOfRangeValuesAreRefusedByName) {
  EXPECT_NO_THROW(MotorParams{}.validate());
  auto with = [](auto edit) {
    MotorParams p;
    edit(p);
    return p;
  };
  expect_refused(with([](MotorParams& p) { p.pole_pairs = 0; }), "pole_pairs");
  expect_refused(with([](MotorParams& p) { p.phase_resistance_ohm = -10.0; }), "phase_resistance_ohm");
  expect_refused(with([](MotorParams& p) { p.phase_inductance_h = std::nan(""); }), "phase_inductance_h");
  expect_refused(with([](MotorParams& p) { p.torque_constant_nm_per_a = INFINITY; }), "torque_constant_nm_per_a");
  expect_refused(with([](MotorParams& p) { p.inertia_kg_m2 = 0.0; }), "inertia_kg_m2");
  expect_refused(with([](MotorParams& p) { p.viscous_nm_s_per_rad = -1e-6; }), "viscous_nm_s_per_rad");
  expect_refused(with([](MotorParams& p) { p.coulomb_friction_nm = std::nan(""); }), "coulomb_friction_nm");
  expect_refused(with([](MotorParams& p) { p.breakaway_torque_nm = 0.004; }), "breakaway_torque_nm");
  expect_refused(with([](MotorParams& p) { p.cogging_torque_nm = -0.001; }), "cogging_torque_nm");
  expect_refused(with([](MotorParams& p) { p.supply_v = 0.0; }), "supply_v");
  // Far out of range once ran into a NaN state: every field has a physical range.
  expect_refused(with([](MotorParams& p) { p.cogging_torque_nm = 1e300; }), "cogging_torque_nm");
  expect_refused(with([](MotorParams& p) { p.viscous_nm_s_per_rad = 1e300; }), "viscous_nm_s_per_rad");
  expect_refused(with([](MotorParams& p) { p.supply_v = 1e300; }), "supply_v");
  expect_refused(with([](MotorParams& p) { p.torque_constant_nm_per_a = 1e300; }), "torque_constant_nm_per_a");
  expect_refused(with([](MotorParams& p) { p.inertia_kg_m2 = 1e-300; }), "inertia_kg_m2");
  expect_refused(with([](MotorParams& p) { p.phase_inductance_h = 1e-12; }), "phase_inductance_h");
  // ... and L/R below the shortest time constant the integrator follows.
  expect_refused(with([](MotorParams& p) { p.phase_inductance_h = 2e-6; }), "L/R");
  // The motor itself refuses them too.
  EXPECT_THROW(Motor{with([](MotorParams& p) { p.inertia_kg_m2 = 0.0; })}, std::invalid_argument);
}

// A load torque far beyond the motor's (1e4 N m on the gimbal motor once
// took 9.6 s of wall time per millisecond) stops at the step budget.
TEST(MotorIntegration, ALookPastTheStepBudgetIsRefused) {
  EXPECT_NEAR(MotorParams{}.stall_torque_nm(), 0.08 * 12.0 / std::sqrt(3.0) / 10.0, 1e-12);
  Motor m;
  m.set_external_torque(0.0, 1e4);
  try {
    for (int k = 1; k <= 1000; ++k) m.advance_to(k * 1e-3);
    ADD_FAILURE() << "ran for a second at " << m.steps() << " steps";
  } catch (const vboard::MotorTooSlow& e) {
    EXPECT_NE(std::string(e.what()).find("slower than real time"), std::string::npos) << e.what();
  }
  EXPECT_LT(m.steps(), 200000) << "the budget bounds the work of a look";
}

TEST(MotorParams, PresetsByName) {
  EXPECT_EQ(vboard::motor_preset("gimbal").inertia_kg_m2, MotorParams{}.inertia_kg_m2);
  EXPECT_DOUBLE_EQ(vboard::motor_preset("gimbal-heavy").inertia_kg_m2, 10.0 * MotorParams{}.inertia_kg_m2);
  for (const auto& name : vboard::motor_preset_names()) EXPECT_NO_THROW(vboard::motor_preset(name).validate());
  try {
    vboard::motor_preset("hover");
    ADD_FAILURE() << "unknown preset accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("gimbal-heavy"), std::string::npos) << e.what();
  }
}

// Locked rotor: the currents settle at V/R and rise with the time constant
// L/R, whatever the angle the shaft is held at.
TEST(MotorElectrical, LockedRotorCurrentRisesWithLOverRToVOverR) {
  const MotorParams p;
  const double tau = p.phase_inductance_h / p.phase_resistance_ohm;
  for (double shaft : {0.0, 0.3, -2.0}) {
    Motor m(p);
    m.set_shaft_angle(0.0, shaft);
    m.set_shaft_held(0.0, true);
    const double v = 3.0;
    m.set_phase_voltages(0.0, vector_volts(v, 0.0));  // A at +v, B and C at -v/2
    for (double k : {0.5, 1.0, 2.0, 3.0}) {
      m.advance_to(k * tau);
      const double expected = v / p.phase_resistance_ohm * (1.0 - std::exp(-k));
      EXPECT_NEAR(m.phase_currents_a()[0], expected, 1e-5 * v / p.phase_resistance_ohm) << "at " << k << " tau";
    }
    m.advance_to(40.0 * tau);
    const auto i = m.phase_currents_a();
    EXPECT_NEAR(i[0], v / p.phase_resistance_ohm, 1e-6);
    EXPECT_NEAR(i[1], -0.5 * v / p.phase_resistance_ohm, 1e-6);
    EXPECT_NEAR(i[2], -0.5 * v / p.phase_resistance_ohm, 1e-6);
    EXPECT_EQ(m.shaft_angle_rad(), shaft);
  }
}

// Without friction the shaft runs up to the speed at which the back-EMF
// (p lambda = kt / 1.5 volts per rad/s) equals the applied q voltage.
TEST(MotorElectrical, NoLoadSpeedMatchesTheBackEmfConstant) {
  MotorParams p;
  p.viscous_nm_s_per_rad = 0.0;
  p.coulomb_friction_nm = 0.0;
  p.breakaway_torque_nm = 0.0;
  const double vq = p.supply_v / kSqrt3;  // the most a bridge gives without clipping
  const double expected = vq / (p.torque_constant_nm_per_a / 1.5);
  EXPECT_NEAR(p.no_load_speed_rad_s(), expected, 1e-9 * expected);
  for (double sign : {1.0, -1.0}) {
    Motor m(p);
    // Commutated at the PWM's update rate, the vector placed where the
    // rotor will be halfway through the update interval.
    const double dt = 50e-6;
    for (double t = 0.0; t < 1.0; t += dt) {
      m.advance_to(t);
      const double ahead = p.pole_pairs * m.speed_rad_s() * dt / 2.0;
      m.set_phase_voltages(t, vector_volts(sign * vq, m.electrical_angle_rad() + ahead + std::numbers::pi / 2.0));
    }
    m.advance_to(1.0);
    EXPECT_NEAR(m.speed_rad_s(), sign * expected, 2e-3 * expected);
    EXPECT_NEAR(m.iq_a(), 0.0, 1e-3);
  }
}

// With the phases shorted (zero vector) the motor is a generator into its
// own windings: driven by a steady outside torque, the shaft settles where
// that torque meets friction plus the short-circuit braking torque
// 1.5 p lambda^2 R w_e / (R^2 + (w_e L)^2).
TEST(MotorElectrical, ShortedWindingsBrakeLikeAGeneratorIntoItsResistance) {
  const MotorParams p;
  const double lambda = p.torque_constant_nm_per_a / (1.5 * p.pole_pairs);
  const double drive = 0.05;
  auto surplus = [&](double w) {
    const double we = p.pole_pairs * w;
    const double r = p.phase_resistance_ohm;
    const double xl = we * p.phase_inductance_h;
    const double braking = 1.5 * p.pole_pairs * lambda * lambda * r * we / (r * r + xl * xl);
    return drive - p.coulomb_friction_nm - p.viscous_nm_s_per_rad * w - braking;
  };
  double lo = 0.0, hi = 1000.0;
  for (int k = 0; k < 100; ++k) (surplus(0.5 * (lo + hi)) > 0.0 ? lo : hi) = 0.5 * (lo + hi);
  Motor m(p);
  m.set_external_torque(0.0, drive);
  m.advance_to(1.5);
  EXPECT_NEAR(m.speed_rad_s(), lo, 1e-3 * lo);
  EXPECT_GT(p.pole_pairs * lo * p.phase_inductance_h, 0.2 * p.phase_resistance_ohm);  // L matters here
}

// Drives a motor through a run and books the energy from what can be
// observed outside: supply power through the inverter, heat in the
// windings (R sum i^2), friction (b w^2 + Tc |w|), work of the load, and
// the energy stored in the shaft, the inductances and the cogging field.
TEST(MotorEnergy, SupplyEnergyIsAccountedFor) {
  MotorParams p;
  p.cogging_torque_nm = 0.002;
  Motor m(p);
  Inverter inv(p.supply_v);
  const double dt = 5e-6;
  double supply_j = 0.0, copper_j = 0.0, friction_j = 0.0, load_j = 0.0;
  double load_nm = 0.0;
  auto stored = [&] {
    const auto i = m.phase_currents_a();
    const double w = m.speed_rad_s();
    const double cog = -p.cogging_torque_nm / vboard::kCoggingPeriodsPerTurn *
                       std::cos(vboard::kCoggingPeriodsPerTurn * m.shaft_angle_rad());
    return 0.5 * p.inertia_kg_m2 * w * w + 0.5 * p.phase_inductance_h * (i[0] * i[0] + i[1] * i[1] + i[2] * i[2]) +
           cog;
  };
  auto powers = [&] {
    const auto i = m.phase_currents_a();
    const double w = m.speed_rad_s();
    return std::array<double, 4>{p.supply_v * inv.supply_current_a(i),
                                 p.phase_resistance_ohm * (i[0] * i[0] + i[1] * i[1] + i[2] * i[2]),
                                 p.viscous_nm_s_per_rad * w * w + p.coulomb_friction_nm * std::abs(w), load_nm * w};
  };
  // One segment with the inputs held, integrated by the trapezoid rule.
  auto segment = [&](double t0, double t1) {
    auto before = powers();
    const int n = static_cast<int>(std::lround((t1 - t0) / dt));
    const double h = (t1 - t0) / n;
    for (int k = 1; k <= n; ++k) {
      m.advance_to(k == n ? t1 : t0 + (t1 - t0) * k / n);
      const auto after = powers();
      supply_j += 0.5 * h * (before[0] + after[0]);
      copper_j += 0.5 * h * (before[1] + after[1]);
      friction_j += 0.5 * h * (before[2] + after[2]);
      load_j += 0.5 * h * (before[3] + after[3]);
      before = after;
    }
  };
  auto drive = [&](double t, const std::array<double, 3>& v) {
    std::array<double, 3> d;
    for (int k = 0; k < 3; ++k) d[k] = 0.5 + v[k] / p.supply_v;
    inv.set_duties(d);
    m.set_phase_voltages(t, inv.phase_voltages());
  };
  const double stored0 = stored();
  double t = 0.0;
  // Commutated run-up against a load, then a fixed vector (the rotor swings
  // into line), then the phases shorted (zero vector) while it coasts out.
  for (; t < 0.15 - 1e-9; t += 1e-4) {
    if (t > 0.08 && load_nm == 0.0) {
      load_nm = -0.01;
      m.set_external_torque(t, load_nm);
    }
    drive(t, commutated(m, 4.0));
    segment(t, t + 1e-4);
  }
  load_nm = 0.0;
  m.set_external_torque(t, 0.0);
  drive(t, vector_volts(2.0, 1.0));
  segment(t, 0.3);
  drive(0.3, {0.0, 0.0, 0.0});
  segment(0.3, 0.6);

  const double balance = supply_j + load_j - (copper_j + friction_j + (stored() - stored0));
  EXPECT_GT(supply_j, 0.05);
  EXPECT_GT(friction_j, 0.01 * supply_j);
  EXPECT_LT(std::abs(balance), 0.01 * supply_j)
      << "supply " << supply_j << " J, load " << load_j << " J, copper " << copper_j << " J, friction " << friction_j
      << " J, stored " << stored() - stored0 << " J";
}

// The same run twice gives the same bits, and looking at the motor often
// does not change where it goes.
TEST(MotorIntegration, DeterministicAndUndisturbedByObservation) {
  auto run = [](double look_every_s) {
    Motor m;
    m.set_external_torque(0.0, 0.02);
    for (double t = 0.0; t < 0.1; t += look_every_s) m.advance_to(t);
    m.set_phase_voltages(0.1, {1.0, -0.5, -0.5});
    m.advance_to(0.15);
    return std::array<double, 4>{m.id_a(), m.iq_a(), m.speed_rad_s(), m.shaft_angle_rad()};
  };
  const auto a = run(0.1);
  const auto b = run(0.1);
  const auto c = run(1e-3);
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
  EXPECT_EQ(std::memcmp(&a, &c, sizeof a), 0);
  EXPECT_GT(a[2], 10.0);
  EXPECT_THROW(Motor().advance_to(-1.0), std::invalid_argument);
}

// At rest the windings follow their exact exponential to V/R, whether the
// motor is looked at once or every millisecond, its currents read each time
// or only at the end; and a rest that cannot break away keeps the rotor
// where it stands.
TEST(MotorIntegration, RestingWindingsUndisturbedByObservation) {
  const MotorParams p;
  const double iq_hold = 0.5 * p.breakaway_torque_nm / p.torque_constant_nm_per_a;  // well inside stiction
  auto run = [&](double look_every_s, bool read_currents) {
    Motor m(p);
    m.set_shaft_angle(0.0, 0.3);
    m.set_phase_voltages(0.0, commutated(m, iq_hold * p.phase_resistance_ohm));
    std::array<double, 6> seen{};
    double sink = 0.0;
    auto look = [&](double t) {
      m.advance_to(t);
      if (read_currents) sink += m.iq_a() + m.electromagnetic_torque_nm() + m.copper_loss_w();
    };
    for (double t = 0.0; t < 0.9; t += look_every_s) look(t);
    m.advance_to(0.9);
    seen[0] = m.id_a();
    seen[1] = m.iq_a();
    m.set_phase_voltages(0.9, commutated(m, -iq_hold * p.phase_resistance_ohm));
    for (double t = 0.9; t < 1.5; t += look_every_s) look(t);
    m.advance_to(1.5);
    EXPECT_TRUE(std::isfinite(sink));
    seen[2] = m.id_a();
    seen[3] = m.iq_a();
    seen[4] = m.speed_rad_s();
    seen[5] = m.shaft_angle_rad();
    return seen;
  };
  const auto once = run(10.0, false);
  const auto often = run(1e-3, false);
  const auto read = run(1e-3, true);
  EXPECT_EQ(std::memcmp(&once, &often, sizeof once), 0);
  EXPECT_EQ(std::memcmp(&once, &read, sizeof once), 0);
  EXPECT_NEAR(once[1], iq_hold, 1e-12);
  EXPECT_NEAR(once[3], -iq_hold, 1e-12);
  EXPECT_EQ(once[5], 0.3) << "held by stiction";

  // A current rising past breakaway breaks away at the same time however
  // often the motor is looked at on the way.
  auto breakaway = [&](double look_every_s) {
    Motor m(p);
    m.advance_to(0.0);
    m.set_phase_voltages(0.0, commutated(m, 1.5 * p.breakaway_torque_nm / p.torque_constant_nm_per_a * p.phase_resistance_ohm));
    for (double t = 0.0; t < 5e-3; t += look_every_s) m.advance_to(t);
    m.advance_to(5e-3);
    return std::array<double, 4>{m.id_a(), m.iq_a(), m.speed_rad_s(), m.shaft_angle_rad()};
  };
  const auto once_away = breakaway(1.0);
  const auto often_away = breakaway(2e-5);
  EXPECT_EQ(std::memcmp(&once_away, &often_away, sizeof once_away), 0);
  EXPECT_GT(once_away[2], 0.0) << "turning";
}

// A spinning rotor left to itself comes to rest under Coulomb friction
// (before the time that friction alone would take) and stays exactly there.
TEST(MotorFriction, CoastingRotorStopsAndStaysStopped) {
  const MotorParams p;
  Motor m(p);
  m.set_external_torque(0.0, 0.03);
  m.set_external_torque(0.05, 0.0);  // phases shorted throughout: zero volts
  const double w0 = m.speed_rad_s();
  ASSERT_GT(w0, 20.0);
  const double bound = p.inertia_kg_m2 * w0 / p.coulomb_friction_nm;
  double t = 0.05;
  while (m.friction_mode() != Motor::Friction::kStuck && t < 0.05 + 2.0 * bound) {
    t += 1e-3;
    m.advance_to(t);
  }
  EXPECT_EQ(m.friction_mode(), Motor::Friction::kStuck);
  EXPECT_LE(t - 0.05, bound + 1e-3);
  const double rest = m.shaft_angle_rad();
  EXPECT_EQ(m.speed_rad_s(), 0.0);
  for (int k = 1; k <= 100; ++k) {
    m.advance_to(t + k * 0.01);
    ASSERT_EQ(m.shaft_angle_rad(), rest);
    ASSERT_EQ(m.speed_rad_s(), 0.0);
  }
}

// Stiction: a torque below the breakaway torque does not move a rotor at
// rest, even one above the Coulomb friction; once moving, that torque keeps
// it going. Equally for torque from the windings.
TEST(MotorFriction, StictionHoldsUntilBreakaway) {
  const MotorParams p;
  const double between = 0.5 * (p.coulomb_friction_nm + p.breakaway_torque_nm);
  for (double sign : {1.0, -1.0}) {
    Motor m(p);
    m.set_external_torque(0.0, sign * between);
    m.advance_to(1.0);
    EXPECT_EQ(m.shaft_angle_rad(), 0.0);
    EXPECT_EQ(m.speed_rad_s(), 0.0);
    m.set_external_torque(1.0, sign * 1.1 * p.breakaway_torque_nm);
    m.advance_to(1.02);
    EXPECT_GT(sign * m.speed_rad_s(), 0.0);
    m.set_external_torque(1.02, sign * between);
    const double w = m.speed_rad_s();
    m.advance_to(1.1);
    EXPECT_GT(sign * m.speed_rad_s(), sign * w);
  }
  // Current on the q axis: a torque just under and then just over breakaway.
  const double iq_breakaway = p.breakaway_torque_nm / p.torque_constant_nm_per_a;
  Motor m(p);
  m.set_phase_voltages(0.0, vector_volts(0.98 * iq_breakaway * p.phase_resistance_ohm, std::numbers::pi / 2.0));
  m.advance_to(0.1);
  EXPECT_NEAR(m.electromagnetic_torque_nm(), 0.98 * p.breakaway_torque_nm, 1e-6);
  EXPECT_EQ(m.shaft_angle_rad(), 0.0);
  m.set_phase_voltages(0.1, vector_volts(1.02 * iq_breakaway * p.phase_resistance_ohm, std::numbers::pi / 2.0));
  m.advance_to(0.2);
  EXPECT_GT(m.shaft_angle_rad(), 0.0);
}

// The bridge: phase voltages without common mode, clamped duties, and the
// supply delivering exactly what the windings take.
TEST(Inverter, AveragedBridge) {
  Inverter inv(12.0);
  inv.set_duties({0.75, 0.25, 0.5});
  const auto v = inv.phase_voltages();
  EXPECT_DOUBLE_EQ(v[0], 3.0);
  EXPECT_DOUBLE_EQ(v[1], -3.0);
  EXPECT_DOUBLE_EQ(v[2], 0.0);
  const std::array<double, 3> i{0.4, -0.1, -0.3};
  EXPECT_DOUBLE_EQ(12.0 * inv.supply_current_a(i), v[0] * i[0] + v[1] * i[1] + v[2] * i[2]);
  inv.set_duties({1.5, -0.2, 0.5});
  EXPECT_EQ(inv.duties(), (std::array<double, 3>{1.0, 0.0, 0.5}));
  EXPECT_THROW(inv.set_duties({std::nan(""), 0.0, 0.0}), std::invalid_argument);
  EXPECT_THROW(Inverter(-12.0), std::invalid_argument);
  EXPECT_DOUBLE_EQ(Inverter::duty_from_compare(25, 50), 0.5);
  EXPECT_DOUBLE_EQ(Inverter::duty_from_compare(60, 50), 1.0);
}

}  // namespace
