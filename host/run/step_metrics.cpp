#include "step_metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace run {

namespace {

// Time at which the straight line between samples i-1 and i reaches `level`.
double crossing(std::span<const double> t, std::span<const double> y, std::size_t i, double level) {
  if (i == 0 || y[i] == y[i - 1]) return t[i];
  const double f = std::clamp((level - y[i - 1]) / (y[i] - y[i - 1]), 0.0, 1.0);
  return t[i - 1] + f * (t[i] - t[i - 1]);
}

StepFigures figures_of(std::span<const double> t, std::span<const double> angle, std::span<const double> extra,
                       std::size_t begin, std::size_t end, double from, double to) {
  StepFigures s;
  s.at_s = t[begin];
  s.from_deg = from;
  s.to_deg = to;
  s.length_s = t[end - 1] - t[begin];
  const double step = to - from;

  // Progress towards the new setpoint, 0 at the old one and 1 at the new one.
  std::vector<double> progress(end - begin);
  for (std::size_t i = begin; i < end; ++i) progress[i - begin] = (angle[i] - from) / step;
  const std::span<const double> tt = t.subspan(begin, end - begin);

  std::optional<double> t10;
  for (std::size_t i = 0; i < progress.size(); ++i) {
    if (!t10 && progress[i] >= 0.1) t10 = crossing(tt, progress, i, 0.1);
    if (t10 && progress[i] >= 0.9) {
      s.rise_s = crossing(tt, progress, i, 0.9) - *t10;
      break;
    }
  }

  double most = 1.0;
  for (double p : progress) most = std::max(most, p);
  s.overshoot_pct = (most - 1.0) * 100.0;

  // The band is entered for the last time just after the last sample outside it.
  std::vector<double> distance(end - begin);
  for (std::size_t i = begin; i < end; ++i) distance[i - begin] = std::abs(angle[i] - to);
  if (distance.back() <= kSettlingBandDeg) {
    std::size_t last_out = distance.size();
    for (std::size_t i = distance.size(); i-- > 0;) {
      if (distance[i] > kSettlingBandDeg) {
        last_out = i;
        break;
      }
    }
    s.settling_s = last_out == distance.size() ? 0.0 : crossing(tt, distance, last_out + 1, kSettlingBandDeg) - s.at_s;
  }

  s.final_error_deg = to - angle[end - 1];
  if (!extra.empty()) {
    double peak = 0.0;
    for (std::size_t i = begin; i < end; ++i) peak = std::max(peak, std::abs(extra[i]));
    s.peak_extra = peak;
  }
  return s;
}

}  // namespace

std::vector<StepFigures> step_figures(std::span<const double> t, std::span<const double> setpoint,
                                      std::span<const double> angle, std::span<const double> extra) {
  if (setpoint.size() != t.size() || angle.size() != t.size() || (!extra.empty() && extra.size() != t.size())) {
    throw std::invalid_argument("step_figures: columns of different lengths");
  }
  std::vector<std::size_t> starts;
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (setpoint[i] != setpoint[i - 1]) starts.push_back(i);
  }
  std::vector<StepFigures> steps;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t begin = starts[k];
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : t.size();
    steps.push_back(figures_of(t, angle, extra, begin, end, setpoint[begin - 1], setpoint[begin]));
  }
  return steps;
}

std::vector<StepFigures> series_steps(const Series& series, StepPeak peak) {
  std::vector<double> t, setpoint, angle, extra;
  for (const auto& row : series.rows) {
    const double to = row[column::kSetpointUnwrapped], at = row[column::kTelemetryUnwrapped];
    if (std::isnan(to) || std::isnan(at)) continue;
    t.push_back(row[column::kTime]);
    setpoint.push_back(to);
    angle.push_back(at);
    extra.push_back(peak == StepPeak::kUq ? std::abs(row[column::kUq])
                                          : std::max({std::abs(row[column::kIa]), std::abs(row[column::kIb]),
                                                      std::abs(row[column::kIc])}));
  }
  return step_figures(t, setpoint, angle, extra);
}

std::string step_table(const std::vector<StepFigures>& steps, const char* extra_heading) {
  std::string out;
  char line[200];
  const bool extra = extra_heading != nullptr;
  std::snprintf(line, sizeof line, "%9s  %17s  %9s  %9s  %12s  %10s  %10s\n", "time s", "step deg", "rise ms",
                "overshoot", "settling ms", "error deg", extra ? extra_heading : "");
  out += line;
  for (const auto& s : steps) {
    char rise[24] = "never";
    char settle[24] = "not settled";
    char peak[24] = "-";
    if (s.rise_s) std::snprintf(rise, sizeof rise, "%.1f", *s.rise_s * 1e3);
    if (s.settling_s) std::snprintf(settle, sizeof settle, "%.1f", *s.settling_s * 1e3);
    if (s.peak_extra) std::snprintf(peak, sizeof peak, "%.3f", *s.peak_extra);
    std::snprintf(line, sizeof line, "%9.3f  %7.2f -> %7.2f  %9s  %8.1f%%  %12s  %10.2f  %10s\n", s.at_s, s.from_deg,
                  s.to_deg, rise, s.overshoot_pct, settle, s.final_error_deg, extra ? peak : "");
    out += line;
  }
  return out;
}

std::string sweep_table(const std::vector<SweepRow>& rows) {
  std::string out;
  char line[240];
  std::snprintf(line, sizeof line, "%8s %8s %8s  %4s  %9s  %17s  %9s  %9s  %12s  %10s  %11s  %10s\n", "kp", "ki", "kd",
                "step", "time s", "step deg", "rise ms", "overshoot", "settling ms", "error deg", "peak |Uq| V",
                "peak |i| A");
  out += line;
  for (const auto& r : rows) {
    if (r.step == 0) {  // no key press: nothing to measure
      std::snprintf(line, sizeof line, "%8.4g %8.4g %8.4g  %4s  (no setpoint step in the run)\n", r.kp, r.ki, r.kd, "-");
      out += line;
      continue;
    }
    const StepFigures& s = r.figures;
    char rise[24] = "never";
    char settle[24] = "not settled";
    char uq[24] = "-";
    char peak[24] = "-";
    if (s.rise_s) std::snprintf(rise, sizeof rise, "%.1f", *s.rise_s * 1e3);
    if (s.settling_s) std::snprintf(settle, sizeof settle, "%.1f", *s.settling_s * 1e3);
    if (r.peak_uq_v) std::snprintf(uq, sizeof uq, "%.3f", *r.peak_uq_v);
    if (s.peak_extra) std::snprintf(peak, sizeof peak, "%.3f", *s.peak_extra);
    std::snprintf(line, sizeof line, "%8.4g %8.4g %8.4g  %4zu  %9.3f  %7.2f -> %7.2f  %9s  %8.1f%%  %12s  %10.2f  %11s  %10s\n",
                  r.kp, r.ki, r.kd, r.step, s.at_s, s.from_deg, s.to_deg, rise, s.overshoot_pct, settle,
                  s.final_error_deg, uq, peak);
    out += line;
  }
  return out;
}

}  // namespace run
