// Fuzz target for the scenario-file reader. The input is taken as the text
// of a scenario file. It is either refused with a ScenarioError that names
// the file (any other exception is a fault), or accepted, and then what was
// read obeys the rules the run relies on: a duration above 0 and within the
// longest run, every time finite and not negative, every event before the
// end of the run, a fault's end after its start, numbers finite, the start
// angle within a turn, a sample interval within the run, rates in range.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "scenario.h"
#include "time_text.h"

namespace {

void check(bool ok, const char* what) { fuzz::check(ok, "scenario", what); }

bool time_ok(double t) { return std::isfinite(t) && t >= 0.0 && t <= run::kMaxSeconds; }

bool finite_or_unset(const std::optional<double>& v) { return !v || std::isfinite(*v); }

void check_scenario(const run::Scenario& s) {
  check(time_ok(s.duration_s) && s.duration_s > 0.0, "duration out of range");
  check(std::abs(s.start_angle_deg) <= run::kMaxStartAngleDeg, "start angle beyond a turn");
  check(time_ok(s.sample_interval_s) && s.sample_interval_s >= 1e-6 && s.sample_interval_s <= s.duration_s,
        "sample interval out of range");
  for (const auto& p : s.presses) {
    check(time_ok(p.at_s) && p.at_s < s.duration_s, "a key press outside the run");
    check(time_ok(p.hold_s), "a hold time out of range");
  }
  for (const auto& l : s.loads) {
    check(time_ok(l.at_s) && l.at_s < s.duration_s, "a load step outside the run");
    check(std::isfinite(l.torque_nm), "a load torque not finite");
  }
  for (const auto& f : s.faults) {
    check(time_ok(f.from_s) && f.from_s < s.duration_s, "a fault outside the run");
    check(!f.until_s || (time_ok(*f.until_s) && *f.until_s > f.from_s), "a fault ends before it starts");
    check(std::isfinite(f.percent), "a fault's percent not finite");
    check(f.rate_hz == 0.0 || (f.rate_hz >= run::kMinRateHz && f.rate_hz <= run::kMaxRateHz), "a rate out of range");
    if (f.kind == run::FaultKind::kPwmFrequency) check(f.percent > -100.0 && f.percent != 0.0, "a bad frequency fault");
  }
  for (const auto& f : s.floods) {
    check(time_ok(f.at_s) && f.at_s < s.duration_s, "a flood outside the run");
    check(time_ok(f.length_s) && f.length_s > 0.0, "a flood's length out of range");
  }
  const auto& m = s.motor_overrides;
  check(!m.pole_pairs || (*m.pole_pairs >= 1 && *m.pole_pairs <= 100), "pole pairs out of range");
  for (const auto* v : {&m.phase_resistance_ohm, &m.phase_inductance_h, &m.torque_constant_nm_per_a,
                        &m.inertia_kg_m2, &m.supply_v}) {
    check(finite_or_unset(*v) && (!*v || **v > 0.0), "a motor value that must be positive is not");
  }
  for (const auto* v : {&m.viscous_nm_s_per_rad, &m.coulomb_friction_nm, &m.breakaway_torque_nm,
                        &m.cogging_torque_nm}) {
    check(finite_or_unset(*v) && (!*v || **v >= 0.0), "a motor value that must not be negative is");
  }
  check(finite_or_unset(s.gains.kp) && finite_or_unset(s.gains.ki) && finite_or_unset(s.gains.kd),
        "a gain not finite");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    check_scenario(run::parse_scenario(text, "fuzz.toml"));
  } catch (const run::ScenarioError& e) {
    check(std::string_view(e.what()).starts_with("fuzz.toml:"), "a refusal does not name the file");
  }
  return 0;
}
