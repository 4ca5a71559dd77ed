// The motor's parameters in physical units, with their ranges, and the
// named sets of them: what a board's configuration and a scenario choose,
// without the motor's model.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vboard {

// The motor supply across the inverter, volts (the figure the firmware's
// modulation stage assumes).
inline constexpr double kMotorSupplyV = 12.0;

// The lowest phase resistance, and the shortest electrical time constant
// L/R the model takes: the integrator's steps follow L/R.
inline constexpr double kMinResistanceOhm = 0.01;
inline constexpr double kMinElectricalTimeConstantS = 1e-5;

struct MotorParams {
  int pole_pairs = 7;
  double phase_resistance_ohm = 10.0;
  double phase_inductance_h = 0.003;       // Ld = Lq (surface magnets)
  double torque_constant_nm_per_a = 0.08;  // per peak phase ampere (= per ampere of iq)
  double inertia_kg_m2 = 3e-5;             // rotor plus load
  double viscous_nm_s_per_rad = 1e-5;
  double coulomb_friction_nm = 0.005;
  double breakaway_torque_nm = 0.006;      // stiction; not below the Coulomb friction
  double cogging_torque_nm = 0.0;          // amplitude of the cogging torque
  double supply_v = kMotorSupplyV;

  // Throws std::invalid_argument naming the first field out of its range
  // (and the range).
  void validate() const;

  // Derived figures.
  double flux_linkage_wb() const;            // lambda = kt / (1.5 p)
  double back_emf_v_s_per_rad() const;       // peak phase-to-neutral volts per shaft rad/s = p lambda
  double electrical_time_constant_s() const; // L / R
  // Steady shaft speed without load or friction at the largest voltage a
  // three-phase bridge can apply without clipping (min-max injection: a
  // phase amplitude of supply / sqrt(3)).
  double no_load_speed_rad_s() const;
  // Torque with the shaft held at that voltage: kt x supply / sqrt(3) / R.
  double stall_torque_nm() const;
};

// Named parameter sets: "gimbal" (the default), "gimbal-heavy" (ten times
// the inertia: a large load on the same motor), and a small and a large
// gimbal motor, bare and carrying a camera ("gimbal-2204", "gimbal-5208",
// each also "-camera"). Throws std::invalid_argument for an unknown name,
// listing the known ones.
MotorParams motor_preset(std::string_view name);
std::vector<std::string> motor_preset_names();

}  // namespace vboard
