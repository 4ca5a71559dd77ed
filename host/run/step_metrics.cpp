#include "step_metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <numeric>
#include <stdexcept>

namespace run {

namespace {

// The neighbourhood over which a sample counts as standing still.
constexpr double kStillHalfSpanS = 0.010;

// Time at which the straight line between samples i-1 and i reaches `level`.
double crossing(std::span<const double> t, std::span<const double> y, std::size_t i, double level) {
  if (i == 0 || y[i] == y[i - 1]) return t[i];
  const double f = std::clamp((level - y[i - 1]) / (y[i] - y[i - 1]), 0.0, 1.0);
  return t[i - 1] + f * (t[i] - t[i - 1]);
}

// Time at which |error| enters `band` for the last time, counted from `from`;
// 0 when never outside; none when it was outside within kSettledHoldS of the end
// (a ring passing through the band at the end has not settled).
std::optional<double> last_entry(std::span<const double> t, std::span<const double> distance, double band,
                                 double from) {
  for (std::size_t i = distance.size(); i-- > 0;) {
    if (distance[i] <= band) continue;
    if (i + 1 == distance.size()) return std::nullopt;
    const double entry = crossing(t, distance, i + 1, band);
    if (t.back() - entry < kSettledHoldS) return std::nullopt;
    return entry - from;
  }
  return 0.0;
}

double mean(std::span<const double> y) {
  return std::accumulate(y.begin(), y.end(), 0.0) / static_cast<double>(y.size());
}

// Share of the samples around which the error stays within a sensor step
// over +-kStillHalfSpanS (at least the neighbouring samples).
double still_share(std::span<const double> t, std::span<const double> e) {
  const double span = std::max(kStillHalfSpanS, (t.back() - t.front()) / static_cast<double>(e.size() - 1));
  std::size_t still = 0;
  for (std::size_t i = 0; i < e.size(); ++i) {
    bool moved = false;
    for (std::size_t j = i; j-- > 0 && t[i] - t[j] <= span + 1e-12 && !moved;) {
      moved = std::abs(e[j] - e[i]) > kSensorStepDeg;
    }
    for (std::size_t j = i + 1; j < e.size() && t[j] - t[i] <= span + 1e-12 && !moved; ++j) {
      moved = std::abs(e[j] - e[i]) > kSensorStepDeg;
    }
    if (!moved) ++still;
  }
  return static_cast<double>(still) / static_cast<double>(e.size());
}

// Times at which d crosses 0, counted once d has gone beyond -h and then +h
// (or the other way): noise within the hysteresis gives no crossing.
std::vector<double> crossings(std::span<const double> t, std::span<const double> d, double h) {
  std::vector<double> at;
  int side = 0;
  std::size_t last_below = 0, last_above = 0;  // last sample at or below / above 0
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (d[i] <= 0) last_below = i;
    if (d[i] >= 0) last_above = i;
    if (d[i] > h && side != 1) {
      if (side == -1) at.push_back(crossing(t, d, last_below + 1, 0.0));
      side = 1;
    } else if (d[i] < -h && side != -1) {
      if (side == 1) at.push_back(crossing(t, d, last_above + 1, 0.0));
      side = -1;
    }
  }
  return at;
}

void check_lengths(std::span<const double> t, std::span<const double> setpoint, std::span<const double> angle,
                   std::span<const double> extra) {
  if (setpoint.size() != t.size() || angle.size() != t.size() || (!extra.empty() && extra.size() != t.size())) {
    throw std::invalid_argument("step figures: columns of different lengths");
  }
}

std::optional<double> peak_of(std::span<const double> extra, std::size_t begin, std::size_t end) {
  if (extra.empty()) return std::nullopt;
  double peak = 0.0;
  for (std::size_t i = begin; i < end; ++i) peak = std::max(peak, std::abs(extra[i]));
  return peak;
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

  std::vector<double> error(end - begin), distance(end - begin);
  for (std::size_t i = begin; i < end; ++i) {
    error[i - begin] = to - angle[i];
    distance[i - begin] = std::abs(error[i - begin]);
  }
  s.settling_s = last_entry(tt, distance, kSettlingBandDeg, s.at_s);
  s.settling_wide_s = last_entry(tt, distance, kWideBandDeg, s.at_s);
  s.ring = ring_figures(tt, error);
  s.final_error_deg = error.back();
  s.peak_extra = peak_of(extra, begin, end);
  return s;
}

LoadFigures load_figures_of(std::span<const double> t, std::span<const double> setpoint,
                            std::span<const double> angle, std::span<const double> extra, std::size_t begin,
                            std::size_t end, double at, double from_nm, double to_nm) {
  LoadFigures l;
  l.at_s = at;
  l.from_nm = from_nm;
  l.to_nm = to_nm;
  l.setpoint_deg = setpoint[begin];
  l.length_s = t[end - 1] - at;
  std::vector<double> error(end - begin), distance(end - begin);
  for (std::size_t i = begin; i < end; ++i) {
    error[i - begin] = setpoint[i] - angle[i];
    distance[i - begin] = std::abs(error[i - begin]);
  }
  const auto peak = static_cast<std::size_t>(std::max_element(distance.begin(), distance.end()) - distance.begin());
  l.peak_error_deg = error[peak];
  l.peak_after_s = t[begin + peak] - at;
  const std::span<const double> tt = t.subspan(begin, end - begin);
  l.recovery_s = last_entry(tt, distance, kSettlingBandDeg, at);
  l.ring = ring_figures(tt, error);
  l.peak_extra = peak_of(extra, begin, end);
  return l;
}

// Text of an optional figure: `format` with the value times `scale`, else `none`.
struct Cell {
  char text[24];
  Cell(const std::optional<double>& v, const char* format, const char* none, double scale = 1.0) : text{} {
    if (v) {
      std::snprintf(text, sizeof text, format, *v * scale);
    } else {
      std::snprintf(text, sizeof text, "%s", none);
    }
  }
};

// printf into a string, one table line at a time.
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute has the compiler check each call.
__attribute__((format(printf, 1, 2))) std::string line(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  (void)std::vsnprintf(text, sizeof text, format, args);  // a longer line is cut, never overrun
  va_end(args);
  return text;
}

// The columns of the row's last 0.3 s, the same in every table.
constexpr const char* kLastHeading = "------ last 0.3 s -------";
constexpr const char* kLastUnits = "ring +-deg   Hz error deg";
std::string last_cells(const Ring& r) {
  const Cell amplitude(r.amplitude_deg, "%.2f", "none");
  const Cell frequency(r.frequency_hz, "%.1f", "-");
  return line("%10s %4s %9.2f", amplitude.text, frequency.text, r.mean_error_deg);
}

constexpr const char* kStepLegend =
    "  no: out of the band in the step's last 0.1 s; ring: half peak-to-peak; error: setpoint - angle\n";
constexpr const char* kLoadLegend =
    "  back in: until within 1 deg for good, no: out in the last 0.1 s; error: setpoint - angle\n";

}  // namespace

Ring ring_figures(std::span<const double> t, std::span<const double> error) {
  Ring r;
  if (t.size() != error.size()) throw std::invalid_argument("ring figures: columns of different lengths");
  if (t.empty()) return r;
  std::size_t first = 0;
  while (t[first] < t.back() - kRingWindowS - 1e-9) ++first;
  const auto tw = t.subspan(first);
  const auto ew = error.subspan(first);
  r.window_s = tw.back() - tw.front();
  const double centre = mean(ew);
  r.mean_error_deg = centre;
  if (ew.size() < 3) return r;
  const auto [lo, hi] = std::minmax_element(ew.begin(), ew.end());
  const double half = (*hi - *lo) / 2.0;
  if (*hi - *lo <= 2.0 * kSensorStepDeg || still_share(tw, ew) > 0.5) return r;

  std::vector<double> d(ew.size());
  for (std::size_t i = 0; i < ew.size(); ++i) d[i] = ew[i] - centre;
  const auto at = crossings(tw, d, std::max(kSensorStepDeg, 0.2 * half));
  if (at.size() < 3) return r;
  // First and last crossing in the same direction: whole periods between.
  const std::size_t last = at.size() % 2 == 1 ? at.size() - 1 : at.size() - 2;
  const double span = at[last] - at[0];
  if (span <= 0) return r;
  r.amplitude_deg = half;
  r.frequency_hz = static_cast<double>(last) / 2.0 / span;
  double sum = 0.0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < tw.size(); ++i) {
    if (tw[i] >= at[0] && tw[i] < at[last]) {
      sum += ew[i];
      ++n;
    }
  }
  if (n > 0) r.mean_error_deg = sum / static_cast<double>(n);
  return r;
}

RunFigures run_figures(std::span<const double> t, std::span<const double> setpoint, std::span<const double> angle,
                       std::span<const double> extra, std::span<const LoadStep> loads) {
  check_lengths(t, setpoint, angle, extra);
  std::vector<std::size_t> steps;
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (setpoint[i] != setpoint[i - 1]) steps.push_back(i);
  }
  // Load steps in time order, each at its first sample; the torque before
  // each is the one of the step before (none before the first).
  std::vector<LoadStep> sorted(loads.begin(), loads.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const LoadStep& a, const LoadStep& b) { return a.at_s < b.at_s; });
  std::vector<std::size_t> load_starts;
  load_starts.reserve(sorted.size());
  for (const auto& l : sorted) {
    load_starts.push_back(static_cast<std::size_t>(std::lower_bound(t.begin(), t.end(), l.at_s - 1e-9) - t.begin()));
  }
  std::vector<std::size_t> events = steps;
  events.insert(events.end(), load_starts.begin(), load_starts.end());
  std::sort(events.begin(), events.end());
  // A row ends at the first event after its own sample.
  auto end_of = [&](std::size_t begin) {
    const auto next = std::upper_bound(events.begin(), events.end(), begin);
    return next == events.end() ? t.size() : std::min(*next, t.size());
  };

  RunFigures f;
  for (const std::size_t b : steps) {
    f.steps.push_back(figures_of(t, angle, extra, b, end_of(b), setpoint[b - 1], setpoint[b]));
  }
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    const std::size_t b = load_starts[k];
    if (b >= t.size()) continue;
    const double before = k == 0 ? 0.0 : sorted[k - 1].torque_nm;
    f.loads.push_back(
        load_figures_of(t, setpoint, angle, extra, b, end_of(b), sorted[k].at_s, before, sorted[k].torque_nm));
  }
  return f;
}

std::vector<StepFigures> step_figures(std::span<const double> t, std::span<const double> setpoint,
                                      std::span<const double> angle, std::span<const double> extra) {
  return run_figures(t, setpoint, angle, extra, {}).steps;
}

RunFigures series_figures(const Series& series, std::span<const LoadStep> loads, StepPeak peak) {
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
  return run_figures(t, setpoint, angle, extra, loads);
}

std::string step_table(const std::vector<StepFigures>& steps, const char* extra_heading) {
  const bool extra = extra_heading != nullptr;
  std::string out = line("%7s  %18s  %5s  %6s  %-13s  %s  %6s\n", "", "", "rise", "over-", "settled in ms",
                         kLastHeading, extra ? "peak" : "");
  out += line("%7s  %18s  %5s  %6s  %6s %6s  %s  %6s\n", "time s", "step deg", "ms", "shoot", "+-5deg", "+-1deg",
              kLastUnits, extra ? extra_heading : "");
  for (const auto& s : steps) {
    const Cell rise(s.rise_s, "%.1f", "never", 1e3);
    const Cell wide(s.settling_wide_s, "%.0f", "no", 1e3);
    const Cell narrow(s.settling_s, "%.0f", "no", 1e3);
    const Cell peak(s.peak_extra, "%.3f", "-");
    out += line("%7.3f  %7.2f -> %7.2f  %5s  %5.1f%%  %6s %6s  %s  %6s\n", s.at_s, s.from_deg, s.to_deg, rise.text,
                s.overshoot_pct, wide.text, narrow.text, last_cells(s.ring).c_str(), extra ? peak.text : "");
  }
  return out + kStepLegend;
}

std::string load_table(const std::vector<LoadFigures>& loads, const char* extra_heading) {
  const bool extra = extra_heading != nullptr;
  std::string out = line("%7s  %18s  %8s  %-14s  %9s  %s  %6s\n", "", "", "setpoint", "peak error", "back in",
                         kLastHeading, extra ? "peak" : "");
  out += line("%7s  %18s  %8s  %7s %6s  %9s  %s  %6s\n", "time s", "load N m", "deg", "deg", "at ms", "+-1deg ms",
              kLastUnits, extra ? extra_heading : "");
  for (const auto& l : loads) {
    const Cell back(l.recovery_s, "%.0f", "no", 1e3);
    const Cell peak(l.peak_extra, "%.3f", "-");
    out += line("%7.3f  %7.4g -> %-7.4g  %8.2f  %7.2f %6.0f  %9s  %s  %6s\n", l.at_s, l.from_nm, l.to_nm,
                l.setpoint_deg, l.peak_error_deg, l.peak_after_s * 1e3, back.text, last_cells(l.ring).c_str(),
                extra ? peak.text : "");
  }
  return out + kLoadLegend;
}

std::string sweep_table(const std::vector<SweepRow>& rows) {
  std::string out = line("%20s %4s %6s %5s %6s  %-13s  %s  %5s %5s\n", "", "", "", "rise", "over-", "settled in ms",
                         kLastHeading, "peak", "peak");
  out += line("%6s %6s %6s %4s %6s %5s %6s  %6s %6s  %s  %5s %5s\n", "kp", "ki", "kd", "step", "to deg", "ms", "shoot",
              "+-5deg", "+-1deg", kLastUnits, "|Uq|V", "|i| A");
  for (const auto& r : rows) {
    if (r.step == 0) {  // no key press: nothing to measure
      out += line("%6.4g %6.4g %6.4g %4s  (no setpoint step in the run)\n", r.kp, r.ki, r.kd, "-");
      continue;
    }
    const StepFigures& s = r.figures;
    const Cell rise(s.rise_s, "%.1f", "never", 1e3);
    const Cell wide(s.settling_wide_s, "%.0f", "no", 1e3);
    const Cell narrow(s.settling_s, "%.0f", "no", 1e3);
    const Cell uq(r.peak_uq_v, "%.2f", "-");
    const Cell peak(s.peak_extra, "%.3f", "-");
    out += line("%6.4g %6.4g %6.4g %4zu %6.1f %5s %5.1f%%  %6s %6s  %s  %5s %5s\n", r.kp, r.ki, r.kd, r.step,
                s.to_deg, rise.text, s.overshoot_pct, wide.text, narrow.text, last_cells(s.ring).c_str(), uq.text,
                peak.text);
  }
  return out + kStepLegend;
}

std::string sweep_load_table(const std::vector<SweepLoadRow>& rows) {
  std::string out = line("%20s %4s %6s  %-14s  %9s  %s  %5s %5s\n", "", "", "", "peak error", "back in", kLastHeading,
                         "peak", "peak");
  out += line("%6s %6s %6s %4s %6s  %7s %6s  %9s  %s  %5s %5s\n", "kp", "ki", "kd", "load", "to N m", "deg", "at ms",
              "+-1deg ms", kLastUnits, "|Uq|V", "|i| A");
  for (const auto& r : rows) {
    const LoadFigures& l = r.figures;
    const Cell back(l.recovery_s, "%.0f", "no", 1e3);
    const Cell uq(r.peak_uq_v, "%.2f", "-");
    const Cell peak(l.peak_extra, "%.3f", "-");
    out += line("%6.4g %6.4g %6.4g %4zu %6.4g  %7.2f %6.0f  %9s  %s  %5s %5s\n", r.kp, r.ki, r.kd, r.load, l.to_nm,
                l.peak_error_deg, l.peak_after_s * 1e3, back.text, last_cells(l.ring).c_str(), uq.text, peak.text);
  }
  return out + kLoadLegend;
}

}  // namespace run
