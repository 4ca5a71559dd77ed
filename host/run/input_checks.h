// What a run's inputs must be beyond each one's own range: against the motor
// on the board (a load it can meet, a speed its sensor follows, the supply
// the firmware's modulation is scaled for) and against each other (presses
// that would merge into one, gains of the wrong sign).
#pragma once

#include <string>
#include <vector>

#include "scenario.h"

namespace run {

// Figures of the run's motor that the checks are derived from.
struct MotorFigures {
  double stall_torque_nm = 0.0;    // at the bridge's largest undistorted voltage, shaft held
  double no_load_speed_dps = 0.0;  // degrees per second
  double supply_v = 0.0;
};

// A load may be a few times what the motor can hold: enough to push it
// off, not so much that the shaft spins up without bound.
inline constexpr double kLoadPerStallTorque = 5.0;
// The scripted rotor may turn at most this many times the no-load speed.
inline constexpr double kRotorSpeedPerNoLoadSpeed = 2.0;
// The supply the firmware's modulation assumes (its svpwm scaling).
inline constexpr double kFirmwareSupplyV = 12.0;

struct MotorCheck {
  std::string error;  // empty: the run can go ahead
  std::vector<std::string> warnings;
};

// Each load step, the scripted rotor's speed and the supply against the motor.
MotorCheck check_against_motor(const Scenario& s, double rotor_speed_dps, const MotorFigures& motor);

// Presses of the same key that begin before the one before has been
// released and settled: the board sees one long press, one step.
std::vector<std::string> press_warnings(const std::vector<Press>& presses);

// A negative gain is positive feedback: the loop pushes the shaft away.
// Empty when every gain given is 0 or more.
std::string gain_warning(const Gains& gains, const std::string& where);

}  // namespace run
