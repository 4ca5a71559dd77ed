// The position loop's frequency response, measured on the virtual board as
// a control engineer would on the bench.
//
// The plant P runs from the firmware's Uq to the angle the PID reads (the
// telemetry's angle): the control period, the capture's timing, the
// modulation, the inverter and the motor. It is measured in closed loop
// under gains that keep the loop stable, by sine dwells through the
// setpoint: at each frequency the setpoint swings, the transient is let
// decay, and P = Y / U from single-bin DFTs of the angle Y and Uq over a
// whole number of periods, both read from RAM once per control period (the
// angle the PID read and the Uq it made of it, in the same period). The
// excitation comes from outside the loop, so the ratio holds in closed loop.
//
// From P: the loop gain L = C P of any gains (C the firmware's PID, exact at
// 10 ms), its margins and the verdict on stability, and T = L / (1 + L)
// with bandwidth and peak where the loop is stable, beside T measured
// directly under those gains. Where it is not stable with margin, P is measured again at
// several angle amplitudes near the crossover (the plant's describing
// function) and the limit cycle predicted where C P(A) = -1.
#pragma once

#include <complex>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "limit_cycle.h"
#include "loop_gain.h"
#include "motor_plant.h"
#include "scenario.h"
#include "step_metrics.h"
#include "vboard/plant/motor.h"

namespace run {

// The control period the analysis assumes: the firmware's control work.
inline constexpr double kControlPeriodS = 0.01;

// The amplitude rule at each point: Uq's swing aims at `target_uq_v`,
// between `min_uq_v` (well above the friction band) and the modulation's
// linear range, with its peak below `max_peak_uq_v`; and the rotor's speed
// stays below `max_speed_dps`, where it turns 30 electrical degrees in a
// control period (the commutation angle is held for the period: faster,
// the torque falls with the angle's lag). At low frequencies the speed
// bound rules, and Uq's swing may stay below `min_uq_v`.
struct AmplitudeRule {
  double target_uq_v = 0.0;
  double min_uq_v = 0.0;
  double max_peak_uq_v = 0.0;
  double max_speed_dps = 0.0;
  double stiction_uq_v = 0.0;  // Uq that holds the breakaway torque at rest (the motor's R / kt)
};
AmplitudeRule amplitude_rule(const vboard::MotorParams& motor);

// One dwell.
struct DwellPoint {
  double hz = 0.0;               // as excited: a whole number of periods fills the window
  double setpoint_amp_deg = 0.0; // the excitation
  double uq_amp_v = 0.0;         // |U|
  double angle_amp_deg = 0.0;    // |Y|
  double peak_uq_v = 0.0;        // largest |Uq| in the window
  std::complex<double> p;        // Y / U, degrees per volt
  std::complex<double> t;        // Y / R: the closed loop it ran in
  int periods = 0;
  double settle_s = 0.0, window_s = 0.0;
  int tries = 1;
  bool amplitude_ok = true;      // landed within the rule (else at a bound)
};

struct DescribingPoint {
  double target_deg = 0.0;  // the angle amplitude asked for (the table's amplitude)
  DwellPoint dwell;
};

struct LimitCycleFigures {
  analysis::LimitCycle cycle;          // on the targets as amplitudes
  // Where |1 + C P(A)| is smallest on the measured grid: the closest the
  // loop comes to -1, when the phase of C P(A) never passes -180 degrees.
  double nearest_amplitude_deg = 0.0, nearest_hz = 0.0, nearest_distance = 0.0;
  // The amplitude whose phase crossover has |C P(A)| nearest 0 dB: where
  // no amplitude reaches -1 exactly, the ring sits where the loop comes
  // nearest to it.
  std::optional<analysis::AmplitudeCrossover> closest;
};

struct BodeRequest {
  BodeSettings settings;
  analysis::PidGains gains;  // analysed
  bool gains_from_image = true;
};

struct BodeResult {
  analysis::PidGains identify, analysed;
  std::string identify_reason;  // how the identification gains were chosen
  bool analysed_from_image = true;
  AmplitudeRule rule;
  double model_delay_s = 0.0;   // of the hand-derived plant beside the measured one
  std::vector<DwellPoint> points;
  analysis::Response plant, model, loop, closed;
  analysis::Margins margins;
  analysis::Margins model_margins;  // of the same gains on the hand-derived (friction-free) plant
  int integrators = 2;
  std::optional<analysis::ClosedLoopFigures> closed_figures;  // only where stable
  std::vector<std::optional<DwellPoint>> measured_t;          // under the analysed gains, where stable
  std::vector<DescribingPoint> describing;
  std::string describing_stopped;  // why the describing function's table ends early
  std::optional<LimitCycleFigures> limit_cycle;
  // The ring the analysed gains leave in a run of the firmware: the last
  // 0.3 s of a 1.5 s row after a 100 degree setpoint step.
  std::optional<StepFigures> step;
  double virtual_s = 0.0;  // virtual time the dwells took
  bool interrupted = false;
  std::string failure;     // why the measurement could not finish
};

// Stable with the margins a loop wants: at least 30 degrees of phase and
// 6 dB of gain (either way, for a loop stable only above some gain). Less
// than that, a kick rings for long, and friction or the voltage limit,
// which bend the plant with the amplitude, may hold the ring.
inline constexpr double kWantedPhaseMarginDeg = 30.0;
inline constexpr double kWantedGainMarginDb = 6.0;
bool stable_with_margin(const analysis::Margins& m);

// The delay from Uq to the angle the PID reads, beyond the zero-order hold
// of the control period, as the board's timing gives it: the angle is the
// one at the start of the sensor's PWM period whose end the capture decoded
// (1 ms), the control work reads it after the tick's telemetry frame (some
// 70 us after that capture), and Uq takes effect at TIM5's next update
// (every 50 us: 25 us on average). measure_bode measures the middle term.
double plant_delay_s(double angle_age_s = 70e-6, double sensor_period_s = 1e-3);

// The hand-derived plant of `motor` at each frequency (motor_plant.h):
// the 10 ms hold, the delay, the electrical and mechanical dynamics, unit
// gain from Uq to the q-axis voltage (the inverse Park and the modulation
// are linear below the modulation limit).
analysis::Response model_plant(const vboard::MotorParams& motor, const std::vector<double>& hz,
                               double delay_s = plant_delay_s());

// Identification gains chosen from a few candidates by their margins on
// the model of `motor`; `reason` says how they came out.
analysis::PidGains choose_identify_gains(const vboard::MotorParams& motor, std::string& reason);

// The position loop's gains as the firmware image holds them (the board is
// reset to read them), with `over`'s set ones on top.
analysis::PidGains gains_over_image(const Gains& over);

// Runs the whole measurement: one run of the firmware from reset per gain
// set. `progress` is told a line per finished point (may be empty); a stop
// request ends it early (result.interrupted).
BodeResult measure_bode(const Scenario& scenario, const vboard::MotorParams& motor, const BodeRequest& request,
                        const std::function<void(const std::string&)>& progress);

// The report a terminal shows.
std::string bode_report(const BodeResult& result);

// One row per frequency: P measured and modelled, L, T predicted and
// measured, magnitudes in dB and phases in degrees, the amplitudes used;
// then the describing-function rows. Atomic; throws std::runtime_error.
void write_bode_csv(const std::string& path, const BodeResult& result);
// Magnitude and phase of P, L and T with the crossovers marked; PNG or SVG.
void write_bode_plot(const std::string& image_path, const BodeResult& result, const std::string& title);

}  // namespace run
