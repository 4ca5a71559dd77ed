// Sine-dwell measurement: the complex amplitude of one frequency in a
// uniformly sampled signal, taken over a whole number of its periods, and
// the frequency response Y/U that two such amplitudes give.
//
// A complex amplitude X stands for the component Re(X e^{j 2 pi f t}):
// |X| is its amplitude and arg X its phase at t = 0.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace analysis {

// `count` frequencies from `lowest_hz` to `highest_hz`, both included,
// evenly spaced in log f. Throws std::invalid_argument unless
// 0 < lowest_hz < highest_hz (finite) and count >= 2.
std::vector<double> log_frequencies(double lowest_hz, double highest_hz, int count);

// The samples to correlate at one dwell frequency.
struct DwellWindow {
  std::size_t first = 0;  // index of the first sample in the window
  std::size_t count = 0;  // samples in the window
  int periods = 0;        // whole periods of `hz` in it
  double hz = 0.0;        // the frequency whose `periods` periods take exactly `count` samples
};

// The window for a dwell at about `hz`, sampled every `sample_period_s`
// from t = 0: it starts at the first sample at or after `settle_s` (the
// transient has decayed) and holds at least `min_periods` periods and
// `min_duration_s`. The returned `hz` is the requested one moved by less
// than a sample per window so that `periods` fill the window exactly:
// excite at that frequency, and a constant and the harmonics of the
// excitation fall out of its bin. Throws std::invalid_argument for a
// frequency not below half the sample rate, a period not above 0, a settle
// time or duration outside 0 to 1e6 s, min_periods < 1, or a window of more
// than 1e9 samples.
DwellWindow dwell_window(double hz, double sample_period_s, double settle_s, int min_periods, double min_duration_s);

// Single-bin DFT (correlation) at `hz` of the samples x[n] taken at
// t0_s + n sample_period_s: X = (2/N) sum x[n] e^{-j 2 pi hz t_n}. Exact
// for a sine plus a constant when the samples hold whole periods. A ramp is
// not removed: it leaks into every bin (a drift D over k periods adds about
// D / (pi k) to the amplitude).
std::complex<double> dft_bin(std::span<const double> x, double sample_period_s, double hz, double t0_s = 0.0);

// The same amplitude, fitted by least squares together with a constant and
// a ramp (x ~ a + b t + Re(X e^{j w t})): exact for a sine on a drifting
// angle, where dft_bin is not. Needs at least 5 samples.
std::complex<double> dft_bin_detrended(std::span<const double> x, double sample_period_s, double hz,
                                       double t0_s = 0.0);

// Frequency response Y/U at `hz` from input u and output y sampled together,
// each amplitude taken by dft_bin_detrended over the same samples. Throws
// std::invalid_argument when the spans differ in length or the input has no
// component at `hz` (the ratio would mean nothing).
std::complex<double> transfer_estimate(std::span<const double> y, std::span<const double> u, double sample_period_s,
                                       double hz);

}  // namespace analysis
