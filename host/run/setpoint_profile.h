// Commanded setpoints: steps, ramps, sines and chirps that move the position
// loop's setpoint over virtual time, from a scenario's [[setpoint]] entries
// or --setpoint texts.
//
// The entries add up to one profile p(t) in degrees:
//   level(t)  the angle of the latest step at or before t (0 before any),
//             plus every ramp's rate times its time run since that step
//   p(t)      level(t) plus each sine's and chirp's value at t
// A sine is A sin(2 pi f (t - from)) from `from` until `until` and 0
// outside: it starts without a jump, and ends without one on a whole number
// of periods. A chirp is the same with the frequency swept from f0 to f1,
// linearly or evenly in log f.
//
// The profile is relative: the board adds its change from one control
// period to the next to the firmware's setpoint (observe/setpoint_writer.h),
// so a key press shifts everything after it by its 100 degrees.
//
// Command-line form (units required, as in the scenario file):
//   step:40deg@1s              to 40 degrees at 1 s
//   ramp:90dps@1s..3s          90 degrees per second from 1 s to 3 s
//   sine:10deg,2Hz@1s..4s      10 degrees amplitude at 2 Hz from 1 s to 4 s
//   chirp:5deg,1Hz..20Hz,log@1s..11s   (lin or log)
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace run {

enum class SetpointKind { kStep, kRamp, kSine, kChirp };

struct SetpointEntry {
  SetpointKind kind = SetpointKind::kStep;
  double from_s = 0.0;   // a step's time
  double until_s = 0.0;  // ramps, sines, chirps: the end, after from_s
  double deg = 0.0;      // step: the angle; sine, chirp: the amplitude
  double rate_dps = 0.0; // ramp
  double hz = 0.0;       // sine; chirp: the first frequency
  double to_hz = 0.0;    // chirp: the last frequency
  bool log_sweep = false;
  std::string where;     // for messages: "file:line:column" or "--setpoint TEXT"
};

// The ranges every entry is checked against. Frequencies stay below half
// the 100 Hz control rate (the profile is read once a period); angles and
// amplitudes within the telemetry's +-327.67 degrees.
inline constexpr double kMaxSetpointDeg = 327.0;
inline constexpr double kMaxSetpointHz = 50.0;   // exclusive
inline constexpr double kMaxRampDps = 3600.0;

// Parses one command-line text; throws std::invalid_argument saying what is
// wrong with it.
SetpointEntry parse_setpoint(const std::string& text);

// Why `e`'s values are out of range, naming the scenario key of the first
// one ("hz", "amplitude_deg", ...); empty when all are within. Times are
// checked against the run's end elsewhere (first_late_event).
struct SetpointProblem {
  std::string key;
  std::string why;
};
std::optional<SetpointProblem> setpoint_problem(const SetpointEntry& e);

// p(t) of the entries, in degrees.
double setpoint_profile(std::span<const SetpointEntry> entries, double t_s);

// True when t lies within a ramp, sine or chirp (or up to `after_s` past
// its end): the setpoint moves there by small steps that are no step of the
// step table.
bool setpoint_moving(std::span<const SetpointEntry> entries, double t_s, double after_s);

const char* setpoint_kind_name(SetpointKind kind);

}  // namespace run
