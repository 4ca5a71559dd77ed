#include "vboard/plant/motor.h"

#include <algorithm>
#include <boost/numeric/odeint.hpp>
#include <cmath>
#include <numbers>
#include <sstream>
#include <stdexcept>

namespace vboard {

namespace odeint = boost::numeric::odeint;

namespace {

constexpr double kSqrt3 = 1.7320508075688772;

// Tolerances of the integrator: currents to about a microampere, angles to a
// microradian; far below anything the sensor (14 bits) or a test resolves.
constexpr double kAbsTol = 1e-6;
constexpr double kRelTol = 1e-6;
// Event times are found to within this.
constexpr double kEventResolution_s = 1e-10;

void refuse(const char* field, const std::string& why, double value) {
  std::ostringstream os;
  os << "motor parameter " << field << " " << why << " (got " << value << ")";
  throw std::invalid_argument(os.str());
}

// `lo` may be 0 only for a field that may be 0.
void require_within(const char* field, double value, double lo, double hi, const char* unit) {
  if (!(value >= lo && value <= hi)) {
    std::ostringstream why;
    why << "must lie from " << lo << " to " << hi << " " << unit;
    refuse(field, why.str(), value);
  }
}

}  // namespace

// ---- Parameters ----

void MotorParams::validate() const {
  if (pole_pairs < 1 || pole_pairs > 100) refuse("pole_pairs", "must be 1 to 100", pole_pairs);
  // Small brushless motors, from a few grams of gimbal motor to a servo of
  // a few kilowatts; outside these the figures stop meaning a motor.
  require_within("phase_resistance_ohm", phase_resistance_ohm, kMinResistanceOhm, 1000.0, "ohm");
  require_within("phase_inductance_h", phase_inductance_h, 1e-6, 1.0, "H");
  if (!(electrical_time_constant_s() >= kMinElectricalTimeConstantS)) {
    std::ostringstream why;
    why << "over phase_resistance_ohm (the windings' time constant L/R) must be at least " << kMinElectricalTimeConstantS
        << " s";
    refuse("phase_inductance_h", why.str(), phase_inductance_h);
  }
  require_within("torque_constant_nm_per_a", torque_constant_nm_per_a, 1e-4, 10.0, "N m/A");
  require_within("inertia_kg_m2", inertia_kg_m2, 1e-8, 1.0, "kg m^2");
  require_within("viscous_nm_s_per_rad", viscous_nm_s_per_rad, 0.0, 1.0, "N m s/rad");
  require_within("coulomb_friction_nm", coulomb_friction_nm, 0.0, 10.0, "N m");
  require_within("breakaway_torque_nm", breakaway_torque_nm, 0.0, 10.0, "N m");
  if (breakaway_torque_nm < coulomb_friction_nm) {
    refuse("breakaway_torque_nm", "must not be below coulomb_friction_nm", breakaway_torque_nm);
  }
  require_within("cogging_torque_nm", cogging_torque_nm, 0.0, 10.0, "N m");
  require_within("supply_v", supply_v, 1.0, 1000.0, "V");
}

double MotorParams::flux_linkage_wb() const { return torque_constant_nm_per_a / (1.5 * pole_pairs); }

double MotorParams::back_emf_v_s_per_rad() const { return pole_pairs * flux_linkage_wb(); }

double MotorParams::electrical_time_constant_s() const { return phase_inductance_h / phase_resistance_ohm; }

double MotorParams::no_load_speed_rad_s() const { return supply_v / kSqrt3 / back_emf_v_s_per_rad(); }

double MotorParams::stall_torque_nm() const { return torque_constant_nm_per_a * supply_v / kSqrt3 / phase_resistance_ohm; }

namespace {

// Gimbal motors of the class, bare and carrying a camera (figures per phase,
// kt per peak phase ampere as MotorParams has them):
//  - 2204 size (12 slots, 14 poles, ~260 rpm/V): 20 g, a rotor bell of 10 g
//    at 12 mm radius; with an action camera of 120 g (6 x 4 cm about its
//    axis, m (a^2 + b^2) / 12 = 5e-5 kg m^2) and its cable's drag.
//  - 5208 size (12 slots, 14 poles, ~90 rpm/V): 170 g, a rotor bell of 60 g
//    at 25 mm; with a 1 kg mirrorless camera and lens (13 x 9 cm body,
//    2.1e-3 kg m^2, plus its plate off the axis) and its cables' drag.
struct Preset {
  const char* name;
  MotorParams p;
};
const Preset kPresets[] = {
    {"gimbal-2204", {.pole_pairs = 7, .phase_resistance_ohm = 5.5, .phase_inductance_h = 0.001,
                     .torque_constant_nm_per_a = 0.035, .inertia_kg_m2 = 2e-6, .viscous_nm_s_per_rad = 2e-6,
                     .coulomb_friction_nm = 0.002, .breakaway_torque_nm = 0.0025}},
    {"gimbal-2204-camera", {.pole_pairs = 7, .phase_resistance_ohm = 5.5, .phase_inductance_h = 0.001,
                            .torque_constant_nm_per_a = 0.035, .inertia_kg_m2 = 5.5e-5, .viscous_nm_s_per_rad = 7e-6,
                            .coulomb_friction_nm = 0.004, .breakaway_torque_nm = 0.005}},
    {"gimbal-5208", {.pole_pairs = 7, .phase_resistance_ohm = 15.0, .phase_inductance_h = 0.006,
                     .torque_constant_nm_per_a = 0.092, .inertia_kg_m2 = 4e-5, .viscous_nm_s_per_rad = 2e-5,
                     .coulomb_friction_nm = 0.006, .breakaway_torque_nm = 0.007}},
    {"gimbal-5208-camera", {.pole_pairs = 7, .phase_resistance_ohm = 15.0, .phase_inductance_h = 0.006,
                            .torque_constant_nm_per_a = 0.092, .inertia_kg_m2 = 2.5e-3, .viscous_nm_s_per_rad = 1e-4,
                            .coulomb_friction_nm = 0.012, .breakaway_torque_nm = 0.014}},
};

}  // namespace

MotorParams motor_preset(std::string_view name) {
  MotorParams p;  // the defaults are the gimbal motor with its small load
  if (name == "gimbal") return p;
  if (name == "gimbal-heavy") {
    p.inertia_kg_m2 *= 10.0;
    return p;
  }
  for (const Preset& preset : kPresets) {
    if (name == preset.name) return preset.p;
  }
  std::string known;
  for (const auto& n : motor_preset_names()) known += (known.empty() ? "" : ", ") + n;
  throw std::invalid_argument("unknown motor preset \"" + std::string(name) + "\" (known: " + known + ")");
}

std::vector<std::string> motor_preset_names() {
  std::vector<std::string> names = {"gimbal", "gimbal-heavy"};
  for (const Preset& preset : kPresets) names.emplace_back(preset.name);
  return names;
}

// ---- Transforms ----

std::array<double, 2> clarke(const std::array<double, 3>& abc) {
  return {(2.0 * abc[0] - abc[1] - abc[2]) / 3.0, (abc[1] - abc[2]) / kSqrt3};
}

std::array<double, 3> inverse_clarke(double alpha, double beta) {
  return {alpha, -0.5 * alpha + 0.5 * kSqrt3 * beta, -0.5 * alpha - 0.5 * kSqrt3 * beta};
}

// ---- Motor ----

struct Motor::Stepper {
  using Dense = odeint::result_of::make_dense_output<odeint::runge_kutta_dopri5<State>>::type;
  Dense dense = odeint::make_dense_output(kAbsTol, kRelTol, odeint::runge_kutta_dopri5<State>());
};

Motor::Motor(const MotorParams& params) : params_(params), stepper_(std::make_unique<Stepper>()) {
  params_.validate();
  lambda_ = params_.flux_linkage_wb();
  dt_guess_ = params_.electrical_time_constant_s() / 10.0;
}

Motor::~Motor() = default;

std::array<double, 2> Motor::v_dq(double theta_e) const {
  const double c = std::cos(theta_e);
  const double s = std::sin(theta_e);
  return {v_ab_[0] * c + v_ab_[1] * s, -v_ab_[0] * s + v_ab_[1] * c};
}

double Motor::driving_torque(const State& x) const {
  const double em = 1.5 * params_.pole_pairs * lambda_ * x[kIq];
  const double cog =
      params_.cogging_torque_nm == 0.0 ? 0.0 : -params_.cogging_torque_nm * std::sin(kCoggingPeriodsPerTurn * x[kAngle]);
  return em + cog + external_nm_;
}

void Motor::rhs(const State& x, State& dxdt) const {
  const MotorParams& p = params_;
  const double w_e = p.pole_pairs * x[kSpeed];
  const auto [vd, vq] = v_dq(p.pole_pairs * x[kAngle]);
  dxdt[kId] = (vd - p.phase_resistance_ohm * x[kId] + w_e * p.phase_inductance_h * x[kIq]) / p.phase_inductance_h;
  dxdt[kIq] =
      (vq - p.phase_resistance_ohm * x[kIq] - w_e * p.phase_inductance_h * x[kId] - w_e * lambda_) / p.phase_inductance_h;
  if (mode_ == Friction::kForward || mode_ == Friction::kBackward) {
    // The friction's sign is that of the mode, not of the speed: the mode
    // ends (an event) when the speed reaches zero.
    const double dir = mode_ == Friction::kForward ? 1.0 : -1.0;
    const double friction = p.viscous_nm_s_per_rad * x[kSpeed] + p.coulomb_friction_nm * dir;
    dxdt[kSpeed] = (driving_torque(x) - friction) / p.inertia_kg_m2;
    dxdt[kAngle] = x[kSpeed];
  } else {
    dxdt[kSpeed] = 0.0;
    dxdt[kAngle] = 0.0;
  }
}

bool Motor::event_at(const State& x) const {
  switch (mode_) {
    case Friction::kForward: return x[kSpeed] < 0.0;
    case Friction::kBackward: return x[kSpeed] > 0.0;
    case Friction::kStuck: return std::abs(driving_torque(x)) > params_.breakaway_torque_nm;
    case Friction::kHeld: return false;
  }
  return false;
}

// At rest (stuck): breaks away when the torque exceeds the breakaway torque.
void Motor::leave_rest_if_driven() {
  if (mode_ != Friction::kStuck) return;
  const double torque = driving_torque(x_);
  if (std::abs(torque) > params_.breakaway_torque_nm) {
    mode_ = torque > 0.0 ? Friction::kForward : Friction::kBackward;
  }
}

void Motor::restart() {
  settle_currents();
  stepper_valid_ = false;
  rest_valid_ = false;
  rest_holds_ = false;
}

// At rest the windings are a plain R-L circuit under constant voltages
// (no motion, no back-EMF): each of id, iq relaxes exponentially towards
// v/R with the time constant L/R. Solved exactly, from the moment the rest
// (or the inputs) began, so that looking at the motor in between changes
// nothing. The torque then moves monotonically; if it leaves the breakaway
// band, the rotor starts turning at the crossing.
std::array<double, 2> Motor::rest_currents(double t) const {
  const double e = std::exp(-(t - rest_t0_) / params_.electrical_time_constant_s());
  return {rest_iss_[0] + (rest_i0_[0] - rest_iss_[0]) * e, rest_iss_[1] + (rest_i0_[1] - rest_iss_[1]) * e};
}

std::array<double, 2> Motor::currents() const {
  return currents_due_ ? rest_currents(t_) : std::array<double, 2>{x_[kId], x_[kIq]};
}

void Motor::settle_currents() {
  if (!currents_due_) return;
  const auto i = rest_currents(t_);
  x_[kId] = i[0];
  x_[kIq] = i[1];
  currents_due_ = false;
}

// Whether the rest solution's torque stays inside the breakaway band for
// good. The exponential e is in [0, 1]; iq = iss + (i0 - iss) e, rounded at
// each step, moves monotonically with e from its value at e = 1 to the one
// at e = 0, and the torque monotonically with iq (each rounding keeps the
// order). So both ends inside the band keep every time's torque inside, and
// event_at is false at every look. The margin, far above any rounding, keeps
// the ends' verdict however the sums are rounded.
bool Motor::rest_stays_in_band() const {
  const MotorParams& p = params_;
  const double kt = 1.5 * p.pole_pairs * lambda_;
  for (double e : {0.0, 1.0}) {
    State x = x_;
    x[kIq] = rest_iss_[1] + (rest_i0_[1] - rest_iss_[1]) * e;
    const double terms = std::abs(kt * x[kIq]) + p.cogging_torque_nm + std::abs(external_nm_);
    if (!(std::abs(driving_torque(x)) + 1e-9 * terms < p.breakaway_torque_nm)) return false;
  }
  return true;
}

void Motor::advance_at_rest(double t_s) {
  const MotorParams& p = params_;
  if (!rest_valid_) {
    rest_t0_ = t_;
    rest_i0_ = {x_[kId], x_[kIq]};
    const auto vdq = v_dq(p.pole_pairs * x_[kAngle]);
    rest_iss_ = {vdq[0] / p.phase_resistance_ohm, vdq[1] / p.phase_resistance_ohm};
    rest_valid_ = true;
    rest_holds_ = mode_ == Friction::kHeld || (mode_ == Friction::kStuck && rest_stays_in_band());
  }
  auto at = [&](double t) {
    const auto i = rest_currents(t);
    x_[kId] = i[0];
    x_[kIq] = i[1];
    t_ = t;
  };
  at(t_s);
  if (mode_ != Friction::kStuck || !event_at(x_)) return;
  // Breakaway: where does kt iq + (cogging + external) reach the band's edge?
  const double tau = p.electrical_time_constant_s();
  const double kt = 1.5 * p.pole_pairs * lambda_;
  const double rest_of_torque = driving_torque(x_) - kt * x_[kIq];
  const double edge = driving_torque(x_) > 0.0 ? p.breakaway_torque_nm : -p.breakaway_torque_nm;
  const double iq_edge = (edge - rest_of_torque) / kt;
  const double ratio = (iq_edge - rest_iss_[1]) / (rest_i0_[1] - rest_iss_[1]);
  double t_cross = rest_t0_;
  if (ratio > 0.0 && ratio < 1.0) t_cross = std::min(t_s, rest_t0_ - tau * std::log(ratio));
  at(std::max(t_cross, rest_t0_));
  leave_rest_if_driven();
  if (mode_ == Friction::kStuck) {
    // Rounding left the torque a hair inside the band: it is at the edge.
    mode_ = edge > 0.0 ? Friction::kForward : Friction::kBackward;
  }
  restart();
}

// advance_to's fast paths give what this loop would: for a second look at
// t_, the state at t_ is already the loop's (at rest, the same closed form
// at the same time, which did not break away; turning, the stepper already
// covers t_); at rest that holds, the loop would only compute the currents
// (which currents() does when asked) and find no breakaway.
void Motor::integrate_to(double t_s) {
  if (!(t_s >= t_)) {
    std::ostringstream os;
    os << "motor time cannot go back (at " << t_ << " s, asked for " << t_s << " s)";
    throw std::invalid_argument(os.str());
  }
  settle_currents();
  auto& dense = stepper_->dense;
  const auto system = [this](const State& x, State& dxdt, double) { rhs(x, dxdt); };
  const double budget = kStepBudgetPerLook + (t_s - t_) * kStepBudgetPerSecond;
  const long steps_before = steps_;
  while (true) {
    if (!stepper_valid_ && !rest_valid_) leave_rest_if_driven();
    if (mode_ == Friction::kStuck || mode_ == Friction::kHeld) {
      advance_at_rest(t_s);
      if (t_ >= t_s) return;
      continue;  // broke away before t_s
    }
    if (!stepper_valid_) {
      dense.initialize(x_, t_, dt_guess_);
      stepper_valid_ = true;
    }
    if (t_ >= t_s) return;
    if (dense.current_time() <= t_) {
      if (static_cast<double>(steps_ - steps_before) >= budget) too_slow(t_s, steps_ - steps_before);
      dense.do_step(system);
      ++steps_;
      dt_guess_ = dense.current_time_step();
      continue;
    }
    // The step [previous, current] covers t_; look at its part up to t_s.
    const double end = std::min(dense.current_time(), t_s);
    State x_end;
    dense.calc_state(end, x_end);
    if (!event_at(x_end)) {
      x_ = x_end;
      t_ = end;
      continue;
    }
    // Turning stops inside (t_, end]: find where, to kEventResolution_s.
    double lo = t_;
    double hi = end;
    State x_hi = x_end;
    while (hi - lo > kEventResolution_s) {
      const double mid = 0.5 * (lo + hi);
      State x_mid;
      dense.calc_state(mid, x_mid);
      if (event_at(x_mid)) {
        hi = mid;
        x_hi = x_mid;
      } else {
        lo = mid;
      }
    }
    x_ = x_hi;
    t_ = hi;
    // At rest, stiction holds unless the torque breaks away again (then in
    // its own direction).
    x_[kSpeed] = 0.0;
    mode_ = Friction::kStuck;
    restart();
  }
}

void Motor::too_slow(double t_s, long steps) const {
  std::ostringstream os;
  os << "the motor model took " << steps << " integration steps between " << t_ << " s and " << t_s
     << " s of virtual time without getting there (shaft at " << x_[kSpeed]
     << " rad/s): the run would go slower than real time; the motor's figures or its load drive it far beyond "
        "what it is made for";
  throw MotorTooSlow(os.str());
}

void Motor::set_phase_voltages(double t_s, const std::array<double, 3>& volts) {
  for (double v : volts) {
    if (!std::isfinite(v)) throw std::invalid_argument("motor phase voltage must be finite");
  }
  advance_to(t_s);
  if (volts == v_) return;
  v_ = volts;
  v_ab_ = clarke(volts);
  restart();
}

void Motor::set_external_torque(double t_s, double nm) {
  if (!std::isfinite(nm)) throw std::invalid_argument("motor external torque must be finite");
  advance_to(t_s);
  if (nm == external_nm_) return;
  external_nm_ = nm;
  restart();
}

void Motor::set_shaft_held(double t_s, bool held) {
  advance_to(t_s);
  if (held == (mode_ == Friction::kHeld)) return;
  x_[kSpeed] = 0.0;
  mode_ = held ? Friction::kHeld : Friction::kStuck;
  restart();
}

void Motor::set_shaft_angle(double t_s, double rad) {
  if (!std::isfinite(rad)) throw std::invalid_argument("motor shaft angle must be finite");
  advance_to(t_s);
  x_[kAngle] = rad;
  x_[kSpeed] = 0.0;
  if (mode_ != Friction::kHeld) mode_ = Friction::kStuck;
  restart();
}

std::array<double, 3> Motor::phase_currents_a() const {
  const double th = electrical_angle_rad();
  const double c = std::cos(th);
  const double s = std::sin(th);
  const auto [id, iq] = currents();
  return inverse_clarke(id * c - iq * s, id * s + iq * c);
}

double Motor::electromagnetic_torque_nm() const { return 1.5 * params_.pole_pairs * lambda_ * currents()[1]; }

double Motor::cogging_torque_nm() const {
  return -params_.cogging_torque_nm * std::sin(kCoggingPeriodsPerTurn * x_[kAngle]);
}

double Motor::shaft_angle_deg() const { return x_[kAngle] * (180.0 / std::numbers::pi); }

double Motor::electrical_angle_rad() const { return params_.pole_pairs * x_[kAngle]; }

double Motor::copper_loss_w() const {
  const auto i = phase_currents_a();
  return params_.phase_resistance_ohm * (i[0] * i[0] + i[1] * i[1] + i[2] * i[2]);
}

}  // namespace vboard
