// A surface permanent-magnet synchronous motor with its shaft, in physical
// units, for the virtual board.
//
// Electrical side, in the rotor (d/q) frame at the electrical angle
// theta_e = pole_pairs x shaft angle (the d axis is the magnet's north pole;
// at shaft angle 0 it lies on phase A's axis, and the phases A, B, C follow
// each other in the positive direction of rotation):
//
//   L did/dt = vd - R id + w_e L iq
//   L diq/dt = vq - R iq - w_e L id - w_e lambda
//
// with vd, vq the Park transform of the phase-to-neutral voltages. The
// transforms are amplitude-invariant: a balanced set of phase currents of
// peak I gives |(id, iq)| = I. Hence the torque 1.5 x p x lambda x iq and the
// torque constant per peak phase ampere kt = 1.5 p lambda; the flux
// linkage follows from it: lambda = kt / (1.5 p).
//
// Mechanical side: J dw/dt = T_em + T_cog + T_ext - b w - T_c sgn(w), with
// stiction: a shaft at rest stays at rest while |T_em + T_cog + T_ext| does not
// exceed the breakaway torque. The friction modes (stuck, turning forwards,
// turning backwards) are states of the model, not a sign function inside the
// equations, so a rotor coasting to a stop stops exactly and stays stopped
// instead of chattering around zero speed.
//
// Integration is lazy: the motor is advanced only when someone looks at it
// or changes its inputs, and looking at it does not disturb the result.
// While the shaft turns, an error-controlled Dormand-Prince 5(4) with dense
// output integrates; at rest the windings are solved exactly (a rotor
// holding position costs next to nothing).
#pragma once

#include <array>
#include <memory>
#include <stdexcept>

#include "vboard/plant/motor_params.h"

namespace vboard {

// Cogging of the usual 12-slot, 14-pole gimbal stator: the torque repeats
// lcm(slots, poles) = lcm(12, 14) = 84 times per mechanical turn,
// T_cog = -amplitude x sin(84 x shaft angle).
inline constexpr int kCoggingPeriodsPerTurn = 84;

// Integration steps a look at the motor may take, and as many more per
// second of virtual time it spans: about what the host does in real time.
// Beyond, the motor throws MotorTooSlow instead of running on unseen.
inline constexpr double kStepBudgetPerLook = 2000.0;
inline constexpr double kStepBudgetPerSecond = 2e6;

struct MotorTooSlow : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Motor {
 public:
  enum class Friction { kStuck, kForward, kBackward, kHeld };

  // Validates the parameters. The motor starts at rest at shaft angle 0, no
  // current, no voltage, at time 0.
  explicit Motor(const MotorParams& params = {});
  ~Motor();
  Motor(const Motor&) = delete;
  Motor& operator=(const Motor&) = delete;

  const MotorParams& params() const { return params_; }

  // ---- Inputs; each first advances the motor to `t_s`. Time never goes back.
  // Phase-to-neutral voltages of phases A, B, C, held from `t_s` on.
  void set_phase_voltages(double t_s, const std::array<double, 3>& volts);
  // Torque that the load puts on the shaft, counted positive in the
  // shaft's positive direction, held from `t_s` on.
  void set_external_torque(double t_s, double nm);
  // Holds the shaft clamped where it stands (locked-rotor tests) or lets it go.
  void set_shaft_held(double t_s, bool held);
  // Places the shaft (at rest) at `rad`: scenario set-up.
  void set_shaft_angle(double t_s, double rad);

  // ---- Observation. Advancing throws MotorTooSlow past the step budget.
  void advance_to(double t_s) {
    // The looks that change nothing but the time: a second one at the same
    // time, and one at rest that holds (the currents follow when asked for).
    if (t_s == t_ && (rest_valid_ || stepper_valid_)) return;
    if (rest_holds_ && t_s > t_) {
      t_ = t_s;
      currents_due_ = true;
      return;
    }
    integrate_to(t_s);
  }
  double time_s() const { return t_; }

  double id_a() const { return currents()[0]; }
  double iq_a() const { return currents()[1]; }
  std::array<double, 3> phase_currents_a() const;
  double electromagnetic_torque_nm() const;
  double cogging_torque_nm() const;
  double speed_rad_s() const { return x_[kSpeed]; }
  double shaft_angle_rad() const { return x_[kAngle]; }  // unwrapped
  double shaft_angle_deg() const;                        // unwrapped
  double electrical_angle_rad() const;                   // p x shaft angle, unwrapped
  Friction friction_mode() const { return mode_; }

  // What turns into heat in the windings (R times the squared phase currents).
  double copper_loss_w() const;

  // Integration steps taken so far (a cost figure for benchmarks).
  long steps() const { return steps_; }

  using State = std::array<double, 4>;
  enum Index { kId, kIq, kSpeed, kAngle };

 private:
  struct Stepper;

  void rhs(const State& x, State& dxdt) const;
  double driving_torque(const State& x) const;  // electromagnetic + cogging + external
  bool event_at(const State& x) const;          // the current mode must end
  void leave_rest_if_driven();
  void restart();                               // the inputs or the mode changed at t_
  void integrate_to(double t_s);  // advance_to's general case
  [[noreturn]] void too_slow(double t_s, long steps) const;
  void advance_at_rest(double t_s);
  bool rest_stays_in_band() const;
  std::array<double, 2> rest_currents(double t) const;  // id, iq of the rest solution at `t`
  std::array<double, 2> currents() const;               // id, iq at t_
  void settle_currents();                               // x_ gets them
  std::array<double, 2> v_dq(double theta_e) const;

  MotorParams params_;
  double lambda_;
  State x_{};
  double t_ = 0.0;
  std::array<double, 3> v_{};
  std::array<double, 2> v_ab_{};  // the phase voltages in the stator frame
  double external_nm_ = 0.0;
  Friction mode_ = Friction::kStuck;
  std::unique_ptr<Stepper> stepper_;
  bool stepper_valid_ = false;
  // At rest: the exact solution from rest_t0_.
  bool rest_valid_ = false;
  // ... whose torque stays inside the breakaway band for good (or the
  // shaft is held): the rotor stays where it is until the inputs change,
  // and a later look only moves the time; x_'s currents are then an
  // earlier time's until asked for (currents_due_).
  bool rest_holds_ = false;
  bool currents_due_ = false;
  double rest_t0_ = 0.0;
  std::array<double, 2> rest_i0_{};
  std::array<double, 2> rest_iss_{};
  double dt_guess_ = 1e-5;
  long steps_ = 0;
};

// Amplitude-invariant transforms shared by the motor, the inverter and the
// tests: phases (a, b, c) <-> stator frame (alpha, beta) <-> rotor frame.
std::array<double, 2> clarke(const std::array<double, 3>& abc);
std::array<double, 3> inverse_clarke(double alpha, double beta);

}  // namespace vboard
