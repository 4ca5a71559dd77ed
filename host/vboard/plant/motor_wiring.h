// How the motor hangs on the board: which phase each TIM5 channel drives,
// which way the position sensor counts, and where its magnet sits on the
// shaft relative to the rotor's poles; the board's own wiring, and the
// mappings between the motor's and the board's side.
#pragma once

#include <array>

namespace vboard {

struct MotorWiring {
  // Motor phase (0 = A, 1 = B, 2 = C) on TIM5 channels 1, 2, 3 (PA0, PA1, PA2).
  std::array<int, 3> phase_of_channel;
  // -1: the sensor angle rises when the shaft turns backwards (against the
  // motor's electrical rotation A -> B -> C).
  int sensor_direction;
  // The sensor angle at shaft angle 0, in electrical degrees (times the pole
  // pairs): where the sensor's magnet sits relative to the rotor's poles.
  double magnet_offset_elec_deg;
};

// Why the default wiring closes the position loop with negative feedback
// (angles in degrees; p = 7 pole pairs):
//
// Firmware. The decoder's mechanical angle is s = raw - AngleComp, where raw
// is the sensor's own reading and AngleComp (40) its mechanical zero offset;
// the board's sensor models add the 40 back, so s is the sensor angle used
// below. The electrical angle is E = p s (mod 360) and the transform angle
// Theta = 360 - E. With Ud = 0 the inverse Park gives
//   (UAlpha, UBeta) = Uq (-sin Theta, cos Theta) = Uq (cos(Theta + 90), sin(Theta + 90)),
// a vector at Theta + 90 = 90 - E in the frame whose alpha axis is channel 1
// (PA0) and which turns towards channel 2 (PA1): the modulation stage puts
// channels 1, 2, 3 at 0, 120 and 240.
//
// Motor. Its d axis (the magnets' flux) is at theta_e = p theta_m in the
// frame of its phases A, B, C at 0, 120, 240; torque follows the voltage
// component at theta_e + 90 (positive Uq of the motor), and is largest when
// the whole vector lies there.
//
// Wiring. Channels to phases in sequence (sigma = +1) or with two swapped
// (sigma = -1: a channel-frame angle phi lands at -phi, plus a multiple of
// 120); the sensor counts s = kappa theta_m + s0 (kappa = +1 with the motor's
// positive rotation, -1 against it); delta = p s0 is the sensor magnet's
// offset in electrical degrees. The voltage vector relative to the d axis:
//   sigma (90 - p (kappa theta_m + s0)) - p theta_m
//     = sigma 90 - (sigma kappa + 1) p theta_m - sigma delta.
// It stands still relative to the rotor only if sigma kappa = -1: the phase
// sequence and the sensor's direction must disagree (the decoder's 360 - E
// is that disagreement). Take the phases in sequence, sigma = +1, and the
// sensor counting against the motor's rotation, kappa = -1. Then the vector
// sits at 90 - delta from the d axis. A positive Uq must raise s, that is
// turn the shaft backwards (kappa = -1), so the vector must be at -90
// (largest torque, backwards): 90 - delta = -90, delta = 180 electrical
// (s0 = 180/7 = 25.714 mechanical degrees, or that plus a multiple of 360/7).
//
// Misfits: two phases swapped (sigma kappa = +1) leave the vector turning at
// twice the electrical angle against the rotor, so the torque changes sign
// every quarter of an electrical turn; a magnet off by 90 electrical puts
// the whole vector on the d axis (current, no torque at rest); off by 180
// reverses the feedback.
inline constexpr MotorWiring kDefaultWiring{{0, 1, 2}, -1, 180.0};

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
