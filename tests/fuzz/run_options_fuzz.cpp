// Fuzz target for the run and bench programs' command lines. The input is
// split at newlines and NULs into arguments. A command line is refused with
// exit code 2 and an error message, answered with 0 for --help, or accepted;
// accepted, it describes a run the board can make: a duration above 0 and
// within the longest run, every press and flood before its end, finite gains,
// the start angle within a turn, a sample interval within the run, not both
// verbose and quiet.
// A --scenario argument is dropped: it would read whatever file it names.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "run_options.h"
#include "time_text.h"

namespace {

void check(bool ok, const char* what) { fuzz::check(ok, "run_options", what); }

bool time_ok(double t) { return std::isfinite(t) && t >= 0.0 && t <= run::kMaxSeconds; }

bool gains_ok(const run::Gains& g) {
  for (const auto* v : {&g.kp, &g.ki, &g.kd})
    if (*v && !std::isfinite(**v)) return false;
  return true;
}

void check_outcome(const std::optional<int>& code, const std::ostringstream& err) {
  if (!code) return;
  check(*code == 0 || *code == 2, "an exit code other than 0 or 2");
  if (*code == 2) check(err.str().starts_with("error: "), "refused without an error message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"vboard-run"};
  std::string arg;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == '\n' || data[i] == '\0') {
      if (arg.find("scenario") == std::string::npos) args.push_back(arg);
      arg.clear();
      if (args.size() > 32) break;
    } else {
      arg += static_cast<char>(data[i]);
    }
  }
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  const int argc = static_cast<int>(argv.size());

  {
    run::RunOptions o;
    std::ostringstream out;
    std::ostringstream err;
    const auto code = run::parse_run_options(argc, argv.data(), o, out, err);
    check_outcome(code, err);
    if (!code) {
      const auto& s = o.scenario;
      check(time_ok(s.duration_s) && s.duration_s > 0.0, "duration out of range");
      check(std::abs(s.start_angle_deg) <= run::kMaxStartAngleDeg && std::isfinite(o.rotor_speed_dps),
            "angle beyond a turn or speed not finite");
      check(s.sample_interval_s <= s.duration_s, "a sample interval longer than the run");
      check(!(o.verbose && o.quiet), "both verbose and quiet");
      for (const auto& p : s.presses) {
        check(time_ok(p.at_s) && p.at_s < s.duration_s, "a key press outside the run");
        check(time_ok(p.hold_s), "a hold time out of range");
      }
      for (const auto& f : s.floods) {
        check(time_ok(f.at_s) && f.at_s < s.duration_s, "a flood outside the run");
        check(time_ok(f.length_s) && f.length_s > 0.0, "a flood's length out of range");
      }
      check(gains_ok(s.gains), "gains not finite");
      for (const auto& g : o.sweep) check(gains_ok(g), "sweep gains not finite");
    }
  }
  {
    run::BenchOptions o;
    std::ostringstream out;
    std::ostringstream err;
    const auto code = run::parse_bench_options(argc, argv.data(), o, out, err);
    check_outcome(code, err);
    if (!code) {
      check(time_ok(o.seconds) && o.seconds > 0.0, "bench seconds out of range");
      check(o.step_seconds == 0.0 || (time_ok(o.step_seconds) && o.step_seconds > 0.0), "bench step out of range");
    }
  }
  return 0;
}
