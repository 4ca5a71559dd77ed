// What vboard-tune tunes against: a scenario run from reset on the virtual
// board with the candidate's gains (on the scenario's motor, or on it and
// each of its variations for robust tuning), measured as the gain search's
// cost parts and constraint failures.
//
// The cost parts of one run:
//   IAE         the integral of |setpoint - angle| over the run, degree
//               seconds, on the unwrapped telemetry (every sample with a frame)
//   overshoot   the largest of the setpoint steps' overshoots, %
//   ring        the largest ring left in the last 0.3 s of a step (setpoint
//               or load step, run::Ring's half peak-to-peak), degrees
//   settling    the longest time into +-1 degree for good: a setpoint step's
//               settling, a load step's time back within 1 degree; a step
//               that never gets there counts its whole length
//   current     the largest phase current magnitude of the run, A
// The failures it finds:
//   lost-control  the run stopped at a loss of control
//   oscillating   a step ends ringing without decaying (not_decaying())
//   bad-trial     the motor model could not go on
// and the share of samples with the PID output at its clamp (|Uq| at the
// PID's limit), which the search's weights turn into the clamped failure.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "evaluation.h"
#include "scenario.h"
#include "series.h"
#include "step_metrics.h"
#include "vboard/plant/motor.h"

namespace run {

// A ring at the end of a step fails a candidate when it is at least this
// large (smaller ones stay within the settling band and only cost) ...
inline constexpr double kOscillationMinDeg = 1.0;
// ... and has kept at least this share of the error's swing in the 0.3 s
// before: a ring that loses less than a tenth in 0.3 s decays with a time
// constant of 3 s or more, longer than any step of a scenario.
inline constexpr double kNotDecayingRatio = 0.9;

// Whether the ring at the end of a step does not decay: `ring` is the
// step's last-0.3 s ring, `t` and `error` the run's samples, the step from
// `from_s` to `to_s`. The swing before is half the peak-to-peak error over
// the 0.3 s before the ring's window; a step shorter than two windows is
// not judged.
bool not_decaying(const Ring& ring, std::span<const double> t, std::span<const double> error, double from_s,
                  double to_s);

// The cost parts and failures of one finished run (not yet scored):
// `status` is the run's RunSummary::status(), `clamp_v` the PID's output
// limit.
tune::Evaluation measure_run(const Series& series, const RunFigures& figures, int status, double clamp_v);

// The variations --robust uses when the scenario has none: the four
// corners of inertia x0.5 and x3 with friction x0.5 at 13 V and friction x2
// at 10 V (the least damped and the most sluggish at either inertia).
std::vector<MotorVariation> default_variations();
// "inertia x0.5, friction x2, 10 V", or the variation's own name.
std::string variation_name(const MotorVariation& v);
// The motor with the variation applied; throws std::invalid_argument when
// the motor refuses the result.
vboard::MotorParams varied_motor(const vboard::MotorParams& motor, const MotorVariation& v);

// The default objective's scenario (scenarios/tune-default.toml, built in).
extern const char* const kDefaultTuneScenario;
inline constexpr const char* kDefaultTuneScenarioName = "tune-default.toml";

struct TuneObjective {
  Scenario scenario;
  std::string name;  // the scenario file's name (path as given)
  std::string text;  // its text
  bool robust = false;
  // The motors each candidate runs on: the scenario's first, then (robust)
  // each variation; named alike.
  std::vector<vboard::MotorParams> motors;
  std::vector<std::string> motor_names;
  double clamp_v = 12.0;
  std::vector<std::string> warnings;
};

// Reads and checks the objective: the scenario at `path` (empty: the
// built-in default), its motor and, with `robust`, its variations (the
// default ones when it has none). Throws tune::TuneError naming --scenario
// or --robust: an unreadable or refused file, a motor refused, a scenario
// without a setpoint or load step.
TuneObjective load_objective(const std::string& path, bool robust, double clamp_v);

// The objective as the results files name it: the scenario's file name
// with a hash of its text, and the motors, so that shards merge only when
// they ran the same trials.
std::string objective_text(const TuneObjective& objective);

// One run of the objective's scenario from reset on motor `m` with `gains`,
// measured. Runs to its end whatever signal arrives (a worker's trials are
// whole; the caller stops the workers). The run's series and figures come
// back with the measure.
struct TrialRun {
  tune::Evaluation eval;
  Series series;
  RunFigures figures;
};
TrialRun run_trial(const TuneObjective& objective, const tune::Gains& gains, std::size_t m);

// The evaluator of the search: nominal, or the worst over every motor.
tune::Evaluator tune_evaluator(const TuneObjective& objective, const tune::Weights& weights);

// Two runs of one scenario drawn together: the angles over the setpoint
// above, Uq below. Written whole or not at all; throws std::runtime_error.
struct OverlayRun {
  const Series* series;
  std::string label;
};
void write_overlay(const std::string& image_path, const OverlayRun& a, const OverlayRun& b, const std::string& title);

}  // namespace run
