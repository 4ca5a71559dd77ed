#include "loop_gain.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace analysis {

namespace {

constexpr double kDegPerRad = 180.0 / std::numbers::pi;

void require(bool ok, const std::string& what) {
  if (!ok) throw std::invalid_argument(what);
}

double db(std::complex<double> h) { return 20.0 * std::log10(std::abs(h)); }

// Angle into (-180, 180].
double wrap_deg(double deg) {
  const double w = std::remainder(deg, 360.0);
  return w == -180.0 ? 180.0 : w;
}

// The frequencies rise and every value is finite.
void check_response(std::span<const FrequencyPoint> points, std::size_t least) {
  require(points.size() >= least, "a frequency response needs at least " + std::to_string(least) + " points");
  for (std::size_t i = 0; i < points.size(); ++i) {
    const FrequencyPoint& p = points[i];
    require(std::isfinite(p.hz) && p.hz > 0.0 && std::isfinite(std::abs(p.h)) && std::abs(p.h) > 0.0,
            "a frequency response point is zero or not finite (at " + std::to_string(p.hz) + " Hz)");
    require(i == 0 || p.hz > points[i - 1].hz, "the frequencies of a response must rise");
  }
}

// Linear interpolation of log f between two points, at fraction t.
double log_lerp(double f0, double f1, double t) { return f0 * std::pow(f1 / f0, t); }

}  // namespace

std::complex<double> pid_response(const PidGains& gains, double hz, double period_s) {
  require(std::isfinite(hz) && hz > 0.0, "the PID's frequency must be above 0");
  require(std::isfinite(period_s) && period_s > 0.0, "the control period must be above 0");
  const std::complex<double> back = 1.0 - std::polar(1.0, -2.0 * std::numbers::pi * hz * period_s);  // 1 - z^-1
  return gains.kp + gains.ki / back + gains.kd * back;
}

Response loop_gain(const PidGains& gains, std::span<const FrequencyPoint> plant, double period_s) {
  Response l;
  l.reserve(plant.size());
  for (const FrequencyPoint& p : plant) l.push_back({p.hz, pid_response(gains, p.hz, period_s) * p.h});
  return l;
}

Response closed_loop(std::span<const FrequencyPoint> loop) {
  Response t;
  t.reserve(loop.size());
  for (const FrequencyPoint& p : loop) t.push_back({p.hz, p.h / (1.0 + p.h)});
  return t;
}

std::vector<double> unwrapped_phase_deg(std::span<const FrequencyPoint> points, double first_near_deg) {
  std::vector<double> phase(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double principal = std::arg(points[i].h) * kDegPerRad;
    phase[i] = i == 0 ? first_near_deg + wrap_deg(principal - first_near_deg)
                      : phase[i - 1] + wrap_deg(principal - phase[i - 1]);
  }
  return phase;
}

// The verdict is Nyquist's criterion, counted on the sampled half of the
// plot. Assumed: L has no poles outside the unit circle and `integrators`
// poles at z = 1, its gain at low frequency is positive (negative feedback),
// and |L| stays below 1 above the highest frequency once it is below 1 there.
//
// The plot runs from the integrators' arc at infinity (phase from 0 down to
// about -90 x integrators) through the sampled L. Each time the unwrapped
// phase passes -180 (mod 360) where |L| > 1, the plot crosses the real axis
// left of -1: count +1 when the phase falls through it (clockwise about -1),
// -1 when it rises. On the arc |L| is infinite, so a phase below -180 at the
// lowest frequency counts there already. The closed loop is stable exactly
// when the count is 0; otherwise it has 2 x count poles outside the unit
// circle (the mirrored half of the plot crosses as often). A negative count
// would need an unstable L and leaves the verdict undetermined, as does
// |L| >= 1 at the highest frequency (crossovers may lie above the range).
//
// Phase crossovers with |L| < 1 do not count: they are where a rise of the
// gain by their margin makes the loop unstable (the gain margin). A
// crossover with |L| > 1 and rising phase is where a fall of the gain does
// the same: a loop whose phase lies below -180 at low frequency, where |L|
// is large, is stable only because the phase rises back above -180 before
// |L| falls to 1. For the usual shape (the phase falls through -180 once,
// above the gain crossover) this is the textbook rule: stable exactly when
// the gain margin and the phase margin are both positive.
Margins margins(std::span<const FrequencyPoint> loop, int integrators) {
  check_response(loop, 2);
  require(integrators >= 0 && integrators <= 10, "the count of integrators must be 0 to 10");
  Margins m;
  const std::vector<double> phase = unwrapped_phase_deg(loop, -90.0 * integrators);
  std::vector<double> gain(loop.size());
  std::transform(loop.begin(), loop.end(), gain.begin(), [](const FrequencyPoint& p) { return db(p.h); });

  // On the arc: odd multiples of 180 between 0 and the first phase.
  const double first = phase.front();
  m.crossings_below_range = first < -180.0 ? static_cast<int>(std::floor((-180.0 - first) / 360.0)) + 1 : 0;
  int count = m.crossings_below_range;

  for (std::size_t i = 0; i + 1 < loop.size(); ++i) {
    const double f0 = loop[i].hz, f1 = loop[i + 1].hz;
    const double p0 = phase[i], p1 = phase[i + 1], g0 = gain[i], g1 = gain[i + 1];
    // Band b holds the phases from 180 + 360 (b - 1) up to below 180 +
    // 360 b (a phase on a level counts as above it). An unwrapped step is
    // at most 180 degrees, so it passes one level at most.
    const double band0 = std::floor((p0 + 180.0) / 360.0), band1 = std::floor((p1 + 180.0) / 360.0);
    if (band0 != band1) {
      const double t = (180.0 + 360.0 * std::min(band0, band1) - p0) / (p1 - p0);
      const bool falling = p1 < p0;
      const PhaseCrossover c{log_lerp(f0, f1, t), -(g0 + t * (g1 - g0)), falling};
      if (c.gain_margin_db < 0.0) count += falling ? 1 : -1;
      m.phase_crossovers.push_back(c);
    }
    if ((g0 >= 0.0) != (g1 >= 0.0)) {
      const double t = -g0 / (g1 - g0);
      m.gain_crossovers.push_back({log_lerp(f0, f1, t), wrap_deg(180.0 + p0 + t * (p1 - p0))});
    }
  }

  if (gain.back() >= 0.0 || count < 0) {
    m.stability = Stability::kUndetermined;
  } else {
    m.stability = count == 0 ? Stability::kStable : Stability::kUnstable;
    m.unstable_poles = 2 * count;
  }

  for (const PhaseCrossover& c : m.phase_crossovers) {
    const double gm = c.gain_margin_db;
    if (m.stability == Stability::kStable) {
      if (gm > 0.0 && (!m.gain_margin || gm < m.gain_margin->gain_margin_db)) m.gain_margin = c;
      if (gm < 0.0 && (!m.lower_gain_margin || gm > m.lower_gain_margin->gain_margin_db)) m.lower_gain_margin = c;
    } else if (gm < 0.0 && c.phase_falling && (!m.gain_margin || gm > m.gain_margin->gain_margin_db)) {
      m.gain_margin = c;
    }
  }
  for (const GainCrossover& c : m.gain_crossovers) {
    if (!m.phase_margin || c.phase_margin_deg < m.phase_margin->phase_margin_deg) m.phase_margin = c;
  }
  return m;
}

ClosedLoopFigures closed_loop_figures(std::span<const FrequencyPoint> closed) {
  check_response(closed, 2);
  ClosedLoopFigures fig;
  std::vector<double> gain(closed.size());
  std::transform(closed.begin(), closed.end(), gain.begin(), [](const FrequencyPoint& p) { return db(p.h); });
  const double reference = gain.front();

  for (std::size_t i = 1; i < closed.size(); ++i) {
    if (gain[i] < reference - 3.0) {
      const double t = (reference - 3.0 - gain[i - 1]) / (gain[i] - gain[i - 1]);
      fig.bandwidth_hz = log_lerp(closed[i - 1].hz, closed[i].hz, t);
      break;
    }
  }

  const auto top = static_cast<std::size_t>(std::max_element(gain.begin(), gain.end()) - gain.begin());
  if (top == 0) return fig;
  fig.peak_db = gain[top] - reference;
  fig.peak_hz = closed[top].hz;
  if (top + 1 < closed.size()) {
    // Near a resonance of second order 1/|T|^2 is a parabola in f^2
    // (|s^2 + 2 zeta w0 s + w0^2|^2 is one in w^2): its vertex through the
    // three points around the largest sample.
    const double x0 = closed[top - 1].hz * closed[top - 1].hz, x1 = closed[top].hz * closed[top].hz;
    const double x2 = closed[top + 1].hz * closed[top + 1].hz;
    const double y0 = std::norm(1.0 / closed[top - 1].h), y1 = std::norm(1.0 / closed[top].h);
    const double y2 = std::norm(1.0 / closed[top + 1].h);
    const double d01 = (y1 - y0) / (x1 - x0), d12 = (y2 - y1) / (x2 - x1);
    const double a = (d12 - d01) / (x2 - x0);
    if (a > 0.0) {
      const double x = 0.5 * (x0 + x1) - d01 / (2.0 * a);
      const double y = y1 + d01 * (x - x1) + a * (x - x0) * (x - x1);
      if (x > x0 && x < x2 && y > 0.0 && y < y1) {
        fig.peak_hz = std::sqrt(x);
        fig.peak_db = -10.0 * std::log10(y) - reference;
      }
    }
  }
  return fig;
}

}  // namespace analysis
