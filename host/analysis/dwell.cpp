#include "dwell.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace analysis {

namespace {

void require(bool ok, const std::string& what) {
  if (!ok) throw std::invalid_argument(what);
}

void check_bin(std::size_t samples, std::size_t least, double sample_period_s, double hz) {
  require(samples >= least, "too few samples for a frequency bin (" + std::to_string(samples) + ")");
  require(std::isfinite(sample_period_s) && sample_period_s > 0.0, "the sample period must be above 0");
  require(std::isfinite(hz) && hz > 0.0 && hz * sample_period_s < 0.5,
          "the bin's frequency must lie above 0 and below half the sample rate");
}

}  // namespace

std::vector<double> log_frequencies(double lowest_hz, double highest_hz, int count) {
  require(std::isfinite(lowest_hz) && std::isfinite(highest_hz) && lowest_hz > 0.0 && highest_hz > lowest_hz,
          "log-spaced frequencies need 0 < lowest < highest");
  require(count >= 2, "log-spaced frequencies need at least 2 points");
  std::vector<double> f(static_cast<std::size_t>(count));
  const double step = std::log(highest_hz / lowest_hz) / (count - 1);
  for (std::size_t i = 0; i < f.size(); ++i) f[i] = lowest_hz * std::exp(step * static_cast<double>(i));
  f.back() = highest_hz;  // exactly, not as rounded by exp
  return f;
}

DwellWindow dwell_window(double hz, double sample_period_s, double settle_s, int min_periods, double min_duration_s) {
  check_bin(0, 0, sample_period_s, hz);
  require(std::isfinite(settle_s) && settle_s >= 0.0 && settle_s < 1e6, "the settle time must be 0 to 1e6 s");
  require(min_periods >= 1, "a dwell needs at least one period");
  require(std::isfinite(min_duration_s) && min_duration_s >= 0.0 && min_duration_s < 1e6,
          "the dwell's duration must be 0 to 1e6 s");
  const double periods = std::max(static_cast<double>(min_periods), std::ceil(min_duration_s * hz - 1e-9));
  const double first = std::ceil(settle_s / sample_period_s - 1e-9);
  require(periods / (hz * sample_period_s) + first < 1e9, "a dwell that long would take more than 1e9 samples");
  DwellWindow w;
  w.first = static_cast<std::size_t>(first);
  w.periods = static_cast<int>(periods);
  w.count = static_cast<std::size_t>(std::lround(periods / (hz * sample_period_s)));
  w.hz = periods / (static_cast<double>(w.count) * sample_period_s);
  // Rounding may have put the frequency at or above half the sample rate
  // (fewer than two samples a period): one sample more brings it below.
  if (w.hz * sample_period_s >= 0.5) {
    ++w.count;
    w.hz = w.periods / (static_cast<double>(w.count) * sample_period_s);
  }
  return w;
}

std::complex<double> dft_bin(std::span<const double> x, double sample_period_s, double hz, double t0_s) {
  check_bin(x.size(), 1, sample_period_s, hz);
  const double w = 2.0 * std::numbers::pi * hz;
  std::complex<double> sum;
  for (std::size_t n = 0; n < x.size(); ++n) {
    sum += x[n] * std::polar(1.0, -w * (t0_s + static_cast<double>(n) * sample_period_s));
  }
  return sum * (2.0 / static_cast<double>(x.size()));
}

// Least squares on the columns 1, t, cos wt, sin wt. The time is centred on
// the window, so 1 and t are orthogonal; cos and sin are made orthogonal to
// both, and the 2 x 2 system of what remains gives the sine.
std::complex<double> dft_bin_detrended(std::span<const double> x, double sample_period_s, double hz, double t0_s) {
  check_bin(x.size(), 5, sample_period_s, hz);
  const std::size_t n = x.size();
  const double w = 2.0 * std::numbers::pi * hz;
  const double mid = 0.5 * static_cast<double>(n - 1);
  std::vector<double> c(n), s(n), ramp(n);
  double cm = 0, sm = 0, ct = 0, st = 0, tt = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double phase = w * (t0_s + static_cast<double>(i) * sample_period_s);
    c[i] = std::cos(phase);
    s[i] = std::sin(phase);
    ramp[i] = static_cast<double>(i) - mid;
    cm += c[i];
    sm += s[i];
    ct += c[i] * ramp[i];
    st += s[i] * ramp[i];
    tt += ramp[i] * ramp[i];
  }
  cm /= static_cast<double>(n);
  sm /= static_cast<double>(n);
  double cc = 0, ss = 0, cs = 0, cx = 0, sx = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double ci = c[i] - cm - ct / tt * ramp[i];
    const double si = s[i] - sm - st / tt * ramp[i];
    cc += ci * ci;
    ss += si * si;
    cs += ci * si;
    cx += ci * x[i];
    sx += si * x[i];
  }
  const double det = cc * ss - cs * cs;
  require(det > 1e-12 * cc * ss, "the sine cannot be told apart from a ramp in so short a window");
  const double a = (cx * ss - sx * cs) / det;  // cos coefficient
  const double b = (sx * cc - cx * cs) / det;  // sin coefficient
  return {a, -b};                              // a cos + b sin = Re((a - jb) e^{jwt})
}

std::complex<double> transfer_estimate(std::span<const double> y, std::span<const double> u, double sample_period_s,
                                       double hz) {
  require(y.size() == u.size(), "input and output must hold the same samples");
  const std::complex<double> in = dft_bin_detrended(u, sample_period_s, hz);
  double largest = 0.0;
  for (const double v : u) largest = std::max(largest, std::abs(v));
  require(std::isfinite(std::abs(in)) && std::abs(in) > 1e-9 * largest,
          "the input has no component at the frequency of the bin");
  return dft_bin_detrended(y, sample_period_s, hz) / in;
}

}  // namespace analysis
