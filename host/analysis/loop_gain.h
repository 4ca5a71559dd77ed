// The position loop in the frequency domain: the firmware's PID in its exact
// discrete form C, the loop gain L = C P for a sampled plant response P, the
// closed loop T = L / (1 + L), the gain and phase margins of L with a
// statement of stability, and the bandwidth and resonance of T.
#pragma once

#include <complex>
#include <optional>
#include <span>
#include <vector>

namespace analysis {

// The gains in the firmware's own units, per control period: U = Kp e +
// Ki sum(e) + Kd (e - previous e), U in volts of Uq, e in degrees.
struct PidGains {
  double kp = 0.0;
  double ki = 0.0;
  double kd = 0.0;
};

// One point of a frequency response.
struct FrequencyPoint {
  double hz = 0.0;
  std::complex<double> h;
};
using Response = std::vector<FrequencyPoint>;

// C(e^{j w T}) = Kp + Ki / (1 - z^-1) + Kd (1 - z^-1) at z = e^{j 2 pi hz
// period_s}: the PID run once every `period_s` on the error. Throws
// std::invalid_argument for a frequency or period that is not above 0.
std::complex<double> pid_response(const PidGains& gains, double hz, double period_s);

// L = C P at each frequency of the plant's response.
Response loop_gain(const PidGains& gains, std::span<const FrequencyPoint> plant, double period_s);

// T = L / (1 + L): the angle's response to the setpoint.
Response closed_loop(std::span<const FrequencyPoint> loop);

// Where the phase of L passes -180 degrees (modulo 360).
struct PhaseCrossover {
  double hz = 0.0;
  double gain_margin_db = 0.0;  // -20 log10 |L|: negative where |L| > 1
  bool phase_falling = true;
};

// Where |L| passes 1.
struct GainCrossover {
  double hz = 0.0;
  double phase_margin_deg = 0.0;  // 180 + arg L, taken into (-180, 180]
};

enum class Stability {
  kStable,
  kUnstable,
  kUndetermined,  // |L| is not below 1 at the highest frequency, or L is not of the form assumed
};

struct Margins {
  std::vector<PhaseCrossover> phase_crossovers;  // in frequency order
  std::vector<GainCrossover> gain_crossovers;
  // Passes of -180 degrees below the lowest frequency, on the integrators'
  // arc where |L| is infinite (the phase at the lowest frequency is below
  // -180 with two integrators, for instance).
  int crossings_below_range = 0;
  Stability stability = Stability::kUndetermined;
  // Closed-loop poles outside the unit circle (even: they come in pairs);
  // meaningful when the verdict is not undetermined.
  int unstable_poles = 0;
  // The margins that matter. Stable: the smallest rise of the gain that
  // makes the loop unstable (gain_margin, > 0 dB) and, for a loop that is
  // stable only above some gain, the smallest fall (lower_gain_margin,
  // < 0 dB). Otherwise gain_margin is the crossover with |L| > 1 and
  // falling phase nearest to 0 dB (none when the phase stays below -180
  // from the lowest frequency on). phase_margin: the smallest over all gain
  // crossovers. Empty where there is no such crossover.
  std::optional<PhaseCrossover> gain_margin;
  std::optional<PhaseCrossover> lower_gain_margin;
  std::optional<GainCrossover> phase_margin;
};

// The margins of the sampled loop gain `loop` (frequencies rising, from
// well below the gain crossover to where |L| < 1), whose L has `integrators`
// poles at z = 1 (2 for the position loop with Ki > 0: the angle integrates
// the speed, the PID sums the error). Crossovers are interpolated linearly
// in log frequency, phase and dB. The rule for the verdict is written out at
// the definition. Throws std::invalid_argument for fewer than 2 points,
// frequencies not rising, a zero or non-finite value, or an integrator
// count outside 0 to 10.
Margins margins(std::span<const FrequencyPoint> loop, int integrators);

struct ClosedLoopFigures {
  // First frequency where |T| is 3 dB below its value at the lowest
  // frequency; empty if it stays above within the range.
  std::optional<double> bandwidth_hz;
  // Largest |T| above its value at the lowest frequency (dB) and where;
  // empty when |T| is largest at the lowest frequency. Refined between
  // the samples around the largest one as a resonance of second order.
  std::optional<double> peak_db;
  double peak_hz = 0.0;
};

ClosedLoopFigures closed_loop_figures(std::span<const FrequencyPoint> closed);

// Unwrapped phase of each point in degrees: steps between neighbours are
// taken within (-180, 180], and the first point is put within 180 degrees
// of `first_near_deg`.
std::vector<double> unwrapped_phase_deg(std::span<const FrequencyPoint> points, double first_near_deg);

}  // namespace analysis
