// How the motor hangs on the board: which phase each TIM5 channel drives,
// which way the position sensor counts, and where its magnet sits on the
// shaft relative to the rotor's poles; the mappings between the motor's and
// the board's side. The board's own wiring, and why it closes the position
// loop with negative feedback, is in hardware.h.
#pragma once

#include <array>

#include "vboard/chip/hardware.h"

namespace vboard {

inline constexpr MotorWiring kDefaultWiring = hw::kMotorWiring;

// The sensor's mechanical angle (as the decoder reports it, unwrapped, in
// degrees) for the motor's shaft angle (radians, unwrapped), and back.
inline double sensor_angle_deg(double shaft_rad, const MotorWiring& w = kDefaultWiring, int pole_pairs = 7) {
  constexpr double kDegPerRad = 57.29577951308232;
  return w.sensor_direction * shaft_rad * kDegPerRad + w.magnet_offset_elec_deg / pole_pairs;
}

inline double shaft_angle_rad(double sensor_deg, const MotorWiring& w = kDefaultWiring, int pole_pairs = 7) {
  constexpr double kRadPerDeg = 0.017453292519943295;
  return w.sensor_direction * (sensor_deg - w.magnet_offset_elec_deg / pole_pairs) * kRadPerDeg;
}

// Motor phase voltages from the voltages of the bridge legs on channels 1..3.
inline std::array<double, 3> motor_phase_voltages(const std::array<double, 3>& channel_v,
                                                  const MotorWiring& w = kDefaultWiring) {
  std::array<double, 3> v{};
  for (int k = 0; k < 3; ++k) v[w.phase_of_channel[k]] = channel_v[k];
  return v;
}

// Current out of each channel's bridge leg for the motor's phase currents.
inline std::array<double, 3> channel_currents(const std::array<double, 3>& phase_i,
                                              const MotorWiring& w = kDefaultWiring) {
  std::array<double, 3> i{};
  for (int k = 0; k < 3; ++k) i[k] = phase_i[w.phase_of_channel[k]];
  return i;
}

}  // namespace vboard
