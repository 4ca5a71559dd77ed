// Figures of a position loop's response, from a sampled time series of
// setpoint and angle. Two kinds of event start a row: a setpoint step (a
// change of the setpoint between two samples) and a load step (a scenario's
// [[load]] torque, from its time on). Each row lasts until the next event of
// either kind or the end of the series, so no figure mixes two events.
//
// The error is setpoint minus angle throughout. Per setpoint step:
//
//   rise time   from the first crossing of 10 % of the step to the first
//               crossing of 90 %, measured from the old setpoint
//   overshoot   largest excursion beyond the new setpoint, in % of the step
//   settling    time from the step until the angle enters the band of
//               +-5 or +-1 degree around the new setpoint for the last time;
//               none if it is outside the band in the step's last 0.1 s
//   ring        the oscillation left in the row's last 0.3 s (see Ring)
//   final error new setpoint minus the angle at the step's last sample
//   peak        largest magnitude of an extra column (e.g. phase current)
//
// Per load step: the peak error and when it came, the recovery (back within
// +-1 degree for good), the ring and the peak. Crossing times are
// interpolated linearly between samples.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "scenario.h"
#include "series.h"

namespace run {

inline constexpr double kSettlingBandDeg = 1.0;
inline constexpr double kWideBandDeg = 5.0;
inline constexpr double kRingWindowS = 0.3;
// A band counts as entered for good when the angle then stays in it at
// least this long, to the end of the row: a ring that passes through the
// band just before the next step has not settled.
inline constexpr double kSettledHoldS = 0.1;
// One step of the sensor's PWM angle (12 bits a turn): a ring must be larger
// than the angle's own dither.
inline constexpr double kSensorStepDeg = 360.0 / 4096.0;

// The oscillation of the error in the last kRingWindowS of a row (the whole
// row when shorter). The amplitude is half the peak-to-peak error in that
// window; the frequency is counted from crossings of the error's mean, with
// a hysteresis of a fifth of the amplitude (at least a sensor step), over the
// whole periods between the first and the last crossing in the same
// direction. There is no ring (both empty) when
//   - the peak-to-peak error is at most two sensor steps (flat: dither),
//   - the angle stands still for most of the window: still meaning within a
//     sensor step over +-10 ms (stick-slip hunting in stair steps is not a
//     ring), or
//   - fewer than three crossings: less than one whole period, so rings slower
//     than about 3 to 5 Hz do not count (a drift is not a ring either).
struct Ring {
  std::optional<double> amplitude_deg;  // half peak-to-peak
  std::optional<double> frequency_hz;
  // Mean error over the ring's whole periods, or over the window without a
  // ring: where the loop holds, free of the ring's phase at the row's end.
  double mean_error_deg = 0.0;
  double window_s = 0.0;
};

// The ring of `error` (setpoint minus angle) sampled at rising times `t`.
Ring ring_figures(std::span<const double> t, std::span<const double> error);

struct StepFigures {
  double at_s = 0.0;  // time of the first sample with the new setpoint
  double from_deg = 0.0;
  double to_deg = 0.0;
  double length_s = 0.0;                // until the next event or the end
  std::optional<double> rise_s;         // none: never reached 90 %
  double overshoot_pct = 0.0;
  std::optional<double> settling_s;     // into +-1 deg; none: not settled by the end of the step
  std::optional<double> settling_wide_s;  // into +-5 deg
  Ring ring;
  double final_error_deg = 0.0;
  std::optional<double> peak_extra;     // none without an extra column
};

struct LoadFigures {
  double at_s = 0.0;  // the load step's time
  double from_nm = 0.0, to_nm = 0.0;  // load torque before and after
  double setpoint_deg = 0.0;
  double length_s = 0.0;              // from at_s until the next event or the end
  double peak_error_deg = 0.0;        // signed, the largest in magnitude
  double peak_after_s = 0.0;          // from at_s
  // From at_s until back within +-1 deg for good; 0 when never outside;
  // none when outside at the end of the row.
  std::optional<double> recovery_s;
  Ring ring;
  std::optional<double> peak_extra;
};

struct RunFigures {
  std::vector<StepFigures> steps;
  std::vector<LoadFigures> loads;  // a load step after the last sample has none
};

// `extra` may be empty; otherwise all spans have the same length and `t`
// rises. `loads` in any order.
RunFigures run_figures(std::span<const double> t, std::span<const double> setpoint, std::span<const double> angle,
                       std::span<const double> extra, std::span<const LoadStep> loads);
std::vector<StepFigures> step_figures(std::span<const double> t, std::span<const double> setpoint,
                                      std::span<const double> angle, std::span<const double> extra = {});

// What the peak of a step is taken of in a run's series.
enum class StepPeak { kPhaseCurrent, kUq };

// The figures of each setpoint and load step of a run's series
// (run_columns()), on the unwrapped telemetry of the samples that have a
// decoded frame, with the largest phase current magnitude (or |Uq|) in the
// step as its peak.
RunFigures series_figures(const Series& series, std::span<const LoadStep> loads,
                          StepPeak peak = StepPeak::kPhaseCurrent);

// The figures as tables for a terminal, one row per event, with the
// headings' units and a legend line; without a heading for the extra
// column, the column is left out.
std::string step_table(const std::vector<StepFigures>& steps, const char* extra_heading = "|i| A");
std::string load_table(const std::vector<LoadFigures>& loads, const char* extra_heading = "|i| A");

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

// The same for the load steps of a sweep's runs.
struct SweepLoadRow {
  double kp = 0.0, ki = 0.0, kd = 0.0;
  std::size_t load = 0;  // 1, 2, ... within the run
  LoadFigures figures;
  std::optional<double> peak_uq_v;
};
std::string sweep_load_table(const std::vector<SweepLoadRow>& rows);

}  // namespace run
