// The sine-dwell bin on a sine buried in what a measured angle carries: a
// second tone, an offset and a drift.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "dwell.h"
#include "sample_period.h"

namespace analysis {
namespace {

using test_loop::kT;
using test_loop::kPi;

TEST(Dwell, BinRecoversTheSineOnADriftingAngle) {
  const DwellWindow w = dwell_window(7.3, kT, 2.0, 20, 2.0);
  EXPECT_EQ(w.first, 200u);
  EXPECT_NEAR(w.periods * 1.0, w.count * kT * w.hz, 1e-9);  // whole periods
  EXPECT_NEAR(w.hz, 7.3, 0.5 * 7.3 / w.count);

  // 2.5 deg at 7.3 Hz, phase 40 deg; 1 deg at 2.13 Hz (not whole periods
  // in the window); 30 deg offset; drift 3 deg/s.
  const double amplitude = 2.5, phase = 40.0 * kPi / 180.0, drift = 3.0;
  std::vector<double> x;
  for (std::size_t n = w.first; n < w.first + w.count; ++n) {
    const double t = static_cast<double>(n) * kT;
    x.push_back(amplitude * std::cos(2.0 * kPi * w.hz * t + phase) + std::cos(2.0 * kPi * 2.13 * t) + 30.0 +
                drift * t);
  }
  const double t0 = static_cast<double>(w.first) * kT;
  const std::complex<double> fitted = dft_bin_detrended(x, kT, w.hz, t0);
  EXPECT_NEAR(std::abs(fitted), amplitude, 0.01 * amplitude);
  EXPECT_NEAR(std::arg(fitted), phase, 0.005);
  // The plain correlation takes the drift for part of the sine: about
  // drift x window / (pi x periods).
  const double leak = drift * static_cast<double>(w.count) * kT / (kPi * w.periods);
  EXPECT_NEAR(std::abs(dft_bin(x, kT, w.hz, t0) - fitted), leak, 0.2 * leak);

  // P = Y/U with the angle drifting and the input offset.
  const std::complex<double> p = std::polar(4.0, -2.0);
  std::vector<double> u, y;
  for (std::size_t n = 0; n < w.count; ++n) {
    const std::complex<double> e = std::polar(1.0, 2.0 * kPi * w.hz * static_cast<double>(n) * kT);
    u.push_back(0.5 + 1.5 * e.real());
    y.push_back(drift * static_cast<double>(n) * kT + (1.5 * p * e).real());
  }
  EXPECT_LT(std::abs(transfer_estimate(y, u, kT, w.hz) - p), 1e-9);
  EXPECT_THROW(transfer_estimate(y, std::vector<double>(w.count, 0.5), kT, w.hz), std::invalid_argument);
}

TEST(Dwell, FrequencyListsAndWindowsRefuseWhatCannotBeMeasured) {
  const std::vector<double> f = log_frequencies(0.2, 45.0, 25);
  EXPECT_EQ(f.back(), 45.0);
  EXPECT_NEAR(f[12], std::sqrt(0.2 * 45.0), 1e-9);
  EXPECT_THROW(log_frequencies(45.0, 0.2, 25), std::invalid_argument);
  EXPECT_THROW(dwell_window(50.0, kT, 1.0, 10, 1.0), std::invalid_argument);  // the loop's Nyquist frequency
  EXPECT_LT(dwell_window(49.9, kT, 0.0, 10, 0.0).hz * kT, 0.5);               // just below: still 2 samples a period
}

}  // namespace
}  // namespace analysis
