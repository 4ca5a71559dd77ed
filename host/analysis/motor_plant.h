// The position loop's plant worked out from the motor's equations: from the
// firmware's Uq (volts) to the angle (degrees) that the control work reads,
// with the zero-order hold of the control period and a pure delay (the
// capture's sampling delay plus the PWM's update delay).
//
// Linearised about rest with the voltage on the q axis (id, the speed and
// the current are small, so w_e L id and w_e L iq vanish to first order):
//
//   L diq/dt  = g Uq(t - tau) - R iq - ke w     ke = p lambda = kt / 1.5
//   J dw/dt   = kt iq - b w                     (kt per peak phase ampere)
//   dtheta/dt = w
//
// P(s) = (180/pi) g kt e^{-s tau} / (s ((L s + R)(J s + b) + kt ke)): an
// integrator, the mechanical pole and the electrical pole. Friction other
// than viscous, stiction, cogging and the voltage limit are left out: this
// is the plant a small excitation sees.
#pragma once

#include <span>

#include "loop_gain.h"

namespace analysis {

// Plain numbers, named as the board's motor parameters.
struct MotorConstants {
  int pole_pairs = 7;
  double phase_resistance_ohm = 10.0;
  double phase_inductance_h = 0.003;
  double torque_constant_nm_per_a = 0.08;
  double inertia_kg_m2 = 3e-5;
  double viscous_nm_s_per_rad = 1e-5;
};

struct PlantSampling {
  double period_s = 0.01;   // the control period, held by a zero-order hold
  double delay_s = 0.0;     // tau: pure delay from Uq to the angle read, 0 to 1 s
  double vq_per_uq = 1.0;   // g: q-axis volts per volt of Uq (1 while the modulation is linear)
};

// P(e^{j 2 pi f T}) in degrees per volt at each frequency. Exact zero-order
// hold equivalent, delay included. Throws std::invalid_argument naming the
// first value out of range (pole pairs 1 to 100; R, L, kt, J above 0;
// b 0 or more; period above 0 up to 1 s; g above 0 up to 10; frequencies
// above 0 up to half the sample rate).
Response motor_plant_response(const MotorConstants& motor, const PlantSampling& sampling, std::span<const double> hz);

}  // namespace analysis
