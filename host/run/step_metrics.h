// Figures of a position loop's step response, from a sampled time series of
// setpoint and angle. A step is a change of the setpoint between two
// samples; it lasts until the next step or the end of the series. Per step:
//
//   rise time   from the first crossing of 10 % of the step to the first
//               crossing of 90 %, measured from the old setpoint
//   overshoot   largest excursion beyond the new setpoint, in % of the step
//   settling    time from the step until the angle enters the band of
//               +-1 degree around the new setpoint for the last time; none if
//               it is outside the band at the end of the step
//   final error new setpoint minus the angle at the step's last sample
//   peak        largest magnitude of an extra column (e.g. phase current)
//
// Crossing times are interpolated linearly between samples.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "series.h"

namespace run {

struct StepFigures {
  double at_s = 0.0;  // time of the first sample with the new setpoint
  double from_deg = 0.0;
  double to_deg = 0.0;
  double length_s = 0.0;                // until the next step or the end
  std::optional<double> rise_s;         // none: never reached 90 %
  double overshoot_pct = 0.0;
  std::optional<double> settling_s;     // none: not settled by the end of the step
  double final_error_deg = 0.0;
  std::optional<double> peak_extra;     // none without an extra column
};

inline constexpr double kSettlingBandDeg = 1.0;

// `extra` may be empty; otherwise all spans have the same length and `t` rises.
std::vector<StepFigures> step_figures(std::span<const double> t, std::span<const double> setpoint,
                                      std::span<const double> angle, std::span<const double> extra = {});

// What the peak of a step is taken of in a run's series.
enum class StepPeak { kPhaseCurrent, kUq };

// The figures of each step of a run's series (run_columns()), on the
// unwrapped telemetry of the samples that have a decoded frame, with the
// largest phase current magnitude (or |Uq|) in the step as its peak.
std::vector<StepFigures> series_steps(const Series& series, StepPeak peak = StepPeak::kPhaseCurrent);

// The figures as a table for a terminal, one row per step; without a
// heading for the extra column, the column is left out.
std::string step_table(const std::vector<StepFigures>& steps, const char* extra_heading = "peak |i| A");

// One row of a gain sweep: one step of one setting's run, with that
// step's own peaks, so that every figure of a row belongs to the same step.
// A run without a step has one row without figures.
struct SweepRow {
  double kp = 0.0, ki = 0.0, kd = 0.0;
  std::size_t step = 0;              // 1, 2, ... within the run; 0: the run had no step
  StepFigures figures;               // with peak_extra the step's peak phase current
  std::optional<double> peak_uq_v;   // largest |Uq| during the step
};
std::string sweep_table(const std::vector<SweepRow>& rows);

}  // namespace run
