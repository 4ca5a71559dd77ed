// Describing-function prediction of a limit cycle. The plant is measured at
// several excitation amplitudes A: P(A, f) is its describing function, whose
// gain falls as amplitude-dependent effects (the voltage limit, the
// commutation held over a control period, friction) take hold. A limit
// cycle sits where C P(A) = -1: at the frequency where arg(C P(A)) = -180
// degrees and the amplitude where |C P(A)| = 1 there.
#pragma once

#include <complex>
#include <optional>
#include <span>
#include <vector>

#include "loop_gain.h"

namespace analysis {

// One measurement: the plant's response at `hz` to an excitation of
// `amplitude` (in whatever unit the table uses; the prediction is in it).
struct DescribingPoint {
  double amplitude = 0.0;
  double hz = 0.0;
  std::complex<double> p;
};

// Where arg(C P(A)) = -180 degrees at one amplitude.
struct AmplitudeCrossover {
  double amplitude = 0.0;
  std::optional<double> hz;  // empty: the phase does not pass -180 within the measured frequencies
  double gain_db = 0.0;      // 20 log10 |C P(A)| there
};

struct LimitCyclePrediction {
  double amplitude = 0.0;
  double hz = 0.0;
  // The loop gain falls through 1 as the amplitude grows: a smaller swing
  // grows and a larger one shrinks, so the cycle holds. Otherwise it is a
  // threshold: swings above it grow.
  bool stable = false;
};

struct LimitCycle {
  std::vector<AmplitudeCrossover> crossovers;   // one per amplitude, rising
  std::vector<LimitCyclePrediction> predicted;  // empty: none within the measured amplitudes
};

// Groups the table by amplitude (equal values), finds each group's phase
// crossover of C P(A), interpolated in log f, and the amplitudes where its
// gain passes 0 dB, interpolated in log A between neighbouring amplitudes
// that have a crossover. Throws std::invalid_argument for a non-positive or
// non-finite amplitude, frequency or period, a non-finite response, or a
// loop gain of zero.
LimitCycle predict_limit_cycle(std::span<const DescribingPoint> table, const PidGains& gains, double period_s);

}  // namespace analysis
