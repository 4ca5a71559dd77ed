#include "input_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "time_text.h"

namespace run {

namespace {

// A press is settled this long after its release (the keys' bounce); the
// paced run's own presses keep the same distance.
constexpr double kReleaseSettleS = 0.020;

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", v);
  return text;
}

}  // namespace

MotorCheck check_against_motor(const Scenario& s, double rotor_speed_dps, const MotorFigures& motor) {
  MotorCheck c;
  const double max_load = kLoadPerStallTorque * motor.stall_torque_nm;
  for (const auto& l : s.loads) {
    if (std::abs(l.torque_nm) > max_load) {
      c.error = (l.where.empty() ? std::string("load torque") : l.where) + ": " + number(l.torque_nm) +
                " N m is more than " + number(kLoadPerStallTorque) + " times the motor's stall torque (" +
                number(motor.stall_torque_nm) + " N m): at most " + number(max_load) + " N m either way";
      return c;
    }
  }
  const double max_speed = kRotorSpeedPerNoLoadSpeed * motor.no_load_speed_dps;
  if (std::abs(rotor_speed_dps) > max_speed) {
    c.error = "--rotor-speed " + number(rotor_speed_dps) + ": more than " + number(kRotorSpeedPerNoLoadSpeed) +
              " times the motor's no-load speed (" + number(motor.no_load_speed_dps) + " deg/s): at most " +
              number(max_speed) + " deg/s either way";
    return c;
  }
  if (motor.supply_v != kFirmwareSupplyV) {
    c.warnings.push_back((s.motor_where.empty() ? std::string() : s.motor_where + ": ") + "motor.supply_v " +
                         number(motor.supply_v) + " V: the firmware's modulation assumes a 12 V supply, so every "
                         "voltage it asks for comes out " + number(motor.supply_v / kFirmwareSupplyV) + " times as large");
  }
  return c;
}

std::vector<std::string> press_warnings(const std::vector<Press>& presses) {
  std::vector<std::string> out;
  for (const KeyName key : {KeyName::kUp, KeyName::kDown}) {
    std::vector<const Press*> of_key;
    for (const auto& p : presses)
      if (p.key == key) of_key.push_back(&p);
    std::stable_sort(of_key.begin(), of_key.end(), [](const Press* a, const Press* b) { return a->at_s < b->at_s; });
    for (std::size_t i = 1; i < of_key.size(); ++i) {
      const Press& before = *of_key[i - 1];
      const Press& p = *of_key[i];
      const double free_at = before.at_s + before.hold_s + kReleaseSettleS;
      if (p.at_s < free_at) {
        out.push_back(p.where + ": the " + key_name(key) + " key is pressed at " + format_time(p.at_s) +
                      " while the press at " + format_time(before.at_s) + " (" + before.where +
                      ") is held or settling until " + format_time(free_at) + ": the two give one step");
      }
    }
  }
  return out;
}

std::string gain_warning(const Gains& g, const std::string& where) {
  std::string negative;
  auto add = [&](const char* name, const std::optional<double>& v) {
    if (v && *v < 0.0) negative += (negative.empty() ? "" : ", ") + std::string(name) + " " + number(*v);
  };
  add("Kp", g.kp);
  add("Ki", g.ki);
  add("Kd", g.kd);
  if (negative.empty()) return "";
  return where + ": negative gain (" + negative + "): positive feedback, the loop pushes the shaft away from the setpoint";
}

}  // namespace run
