// A run of the controller on the virtual board, described in a TOML file:
// how long, which motor and load, where the rotor starts, the key presses,
// the faults of the board's catalogue, the serial floods, the crystal, the gains
// and the rate of the recorded time series.
//
// Times are strings with a unit ("500ms", "1.5s", "250us"); a bare number
// is refused. Every key is checked: a misspelt or unknown key, a value of the
// wrong type or out of range, or an event after the end of the run is an
// error that names the file, the line and the key.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "setpoint_profile.h"
#include "vboard/faults/fault_kinds.h"

namespace run {

enum class KeyName { kUp, kDown };  // the PC7 and PC8 push buttons

struct Press {
  KeyName key = KeyName::kUp;
  double at_s = 0.0;
  double hold_s = 0.08;
  std::string where;  // for messages: "file:line:column" or "--press up@1s"
};

struct LoadStep {
  double at_s = 0.0;
  double torque_nm = 0.0;  // load torque on the shaft from `at_s` on
  std::string where;       // "file:line:column: load[N].torque_nm"
};

// The board's fault catalogue (vboard/faults/fault_kinds.h names them).
using FaultKind = vboard::FaultKind;

// A [[fault]]: its kind by name, from and until (times), and the parameter
// its kind takes:
//   no-sensor, bad-parity, pwm-cut, pwm-stuck-high, pwm-stuck-low,
//   spi-no-sensor, spi-error-flag, usart-flood, crystal-fails: none
//     (crystal-fails only from 0, for the whole run)
//   pwm-frequency: percent (above -100, at most 1000, not 0)
//   usart-noise, usart-framing: percent of the received bytes (0 to 100]
//   pwm-runt, pwm-dropout: width (a time, up to 1.5ms) and rate_hz (mean per second)
//   key-bounce: bounce (a time, up to 100ms)
//   key-chatter: rate_hz, and key ("up", the default, or "down")
struct Fault {
  FaultKind kind = FaultKind::kNoSensor;
  double from_s = 0.0;
  std::optional<double> until_s{};  // none: to the end of the run
  double percent = 0.0;
  double width_s = 0.0;
  double rate_hz = 0.0;
  double bounce_s = 0.0;
  KeyName key = KeyName::kUp;
};

struct Flood {
  double at_s = 0.0;
  double length_s = 0.0;
};

// Changes to the chosen motor preset; unset fields keep the preset's value.
struct MotorOverrides {
  std::optional<int> pole_pairs;
  std::optional<double> phase_resistance_ohm;
  std::optional<double> phase_inductance_h;
  std::optional<double> torque_constant_nm_per_a;
  std::optional<double> inertia_kg_m2;
  std::optional<double> viscous_nm_s_per_rad;
  std::optional<double> coulomb_friction_nm;
  std::optional<double> breakaway_torque_nm;
  std::optional<double> cogging_torque_nm;
  std::optional<double> supply_v;
};

// Position-loop gains written into the firmware after reset; unset ones keep
// the image's values.
struct Gains {
  std::optional<double> kp;
  std::optional<double> ki;
  std::optional<double> kd;
};

// A [bode] table: the frequency response of the loop instead of a run
// (bode.h says how it is measured). Unset values are chosen by the tool.
struct BodeSettings {
  bool given = false;  // the file has a [bode] table
  double from_hz = 0.2;
  double to_hz = 45.0;
  int points = 30;
  std::optional<Gains> identify_gains;  // all three set when given
  std::optional<double> amplitude_deg;   // the setpoint's amplitude at every point; none: adapted
  bool describing = true;                // measure the describing function when the loop is not stable
};
inline constexpr double kBodeMinHz = 0.05;
inline constexpr double kBodeMaxHz = 45.0;  // below the 50 Hz Nyquist frequency of the 100 Hz loop
inline constexpr int kBodeMaxPoints = 200;
inline constexpr double kBodeMaxAmplitudeDeg = 300.0;
// A variation of the scenario's motor for robust tuning (vboard-tune
// --robust ranks gains by their worst run over the motor and each of its
// variations): inertia and friction scaled, the supply set. vboard-run runs
// the motor itself and leaves the variations alone.
struct MotorVariation {
  std::string name;                // for tables; empty: made from the figures
  double inertia_x = 1.0;          // 0.1 to 10
  double friction_x = 1.0;         // viscous, Coulomb and breakaway friction together; 0 to 10
  std::optional<double> supply_v;  // 1 to 1000 V; none: the motor's own
  std::string where;               // "file:line:column" of the table
};

// The rotor starts within a turn either way of the sensor's zero: the
// sensor reads one turn, and beyond a few turns a float loses the degrees.
inline constexpr double kMaxStartAngleDeg = 360.0;
// A file larger than this is no scenario (a device, a wrong file).
inline constexpr std::size_t kMaxScenarioBytes = 1 << 20;

struct Scenario {
  double duration_s = 1.0;
  double start_angle_deg = 0.0;  // within +-kMaxStartAngleDeg
  std::string motor = "gimbal";  // a motor preset's name
  MotorOverrides motor_overrides;
  // Where the motor was chosen, for messages about it: "file:line:column"
  // of the [motor] table and of its preset (the file's name without them).
  std::string motor_where;
  std::string motor_preset_where;
  std::vector<Press> presses;
  std::vector<LoadStep> loads;
  std::vector<Fault> faults;
  std::vector<Flood> floods;
  std::vector<SetpointEntry> setpoints;
  BodeSettings bode;
  bool crystal_fails = false;
  Gains gains;
  std::string gains_where;  // "file:line:column" of [gains]
  std::vector<MotorVariation> variations;
  double sample_interval_s = 0.001;  // one row of the time series per interval
  bool sample_interval_given = false;  // by the file, not the default
  std::vector<std::string> warnings;  // accepted, but probably not what was meant
};

inline constexpr double kKeyDebounceS = 0.010;  // a shorter press is not taken

// Fault rates: at least once in the longest run, at most 100 kHz.
inline constexpr double kMinRateHz = 1e-6;
inline constexpr double kMaxRateHz = 1e5;

struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads and checks a scenario file; throws ScenarioError.
Scenario read_scenario(const std::string& path);
// The same from text; `name` stands for the file in messages.
Scenario parse_scenario(std::string_view text, const std::string& name);

// Nothing may happen at or after the end of the run: it would be dropped.
inline bool before_the_end(double at_s, double duration_s) { return at_s < duration_s; }
// Empty when `at_s` lies before the end; otherwise why not, naming the
// duration as `duration_name` ("duration", "--duration"):
// "2 s is not before the end of the run (duration 1 s)".
std::string past_the_end(double at_s, double duration_s, const std::string& duration_name);

// An event of the scenario planned at or after the end of its run.
struct LateEvent {
  const char* list;  // "press", "load", "fault", "flood" or "setpoint", as the file names it
  const char* key;   // the time's key in the file: "at", or "from" for a fault, ramp, sine or chirp
  const char* what;  // "key press", "load step", "fault", "flood" or "setpoint"
  std::size_t index;  // in that list
  double at_s;
};
// The first one: presses, loads, faults, floods, setpoints in this order.
std::optional<LateEvent> first_late_event(const Scenario& s);

const char* fault_name(FaultKind kind);
const char* key_name(KeyName key);

}  // namespace run
