#include "bode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "board_time.h"
#include "dwell.h"
#include "global_variable.h"
#include "output_files.h"
#include "series.h"
#include "session.h"
#include "time_text.h"
#include "vboard/board/board.h"
#include "vboard/parts/sensor_pwm.h"

namespace run {

namespace {

using Complex = std::complex<double>;
constexpr double kModulationLimitV = 6.93;  // 12 V / sqrt(3): the space-vector modulation's largest vector
constexpr double kClampV = 12.0;            // the PID's output clamp
constexpr double kMaxSetpointAmpDeg = 180.0;  // the dwells' setpoint swing stays well inside the telemetry's range
constexpr int kMaxTries = 4;
// TIM5 takes a new compare at its next update, every 50 us (centre-aligned
// at 10 kHz): on average half of that after the control work wrote it.
constexpr double kPwmUpdateDelayS = 25e-6;

double db(Complex h) { return 20.0 * std::log10(std::abs(h)); }
double deg(Complex h) { return std::arg(h) * 180.0 / std::numbers::pi; }

std::string gains_text(const analysis::PidGains& g) {
  char b[96];
  std::snprintf(b, sizeof b, "Kp %g, Ki %g, Kd %g", g.kp, g.ki, g.kd);
  return b;
}

int integrators_of(const analysis::PidGains& g) { return g.ki != 0.0 ? 2 : 1; }

analysis::MotorConstants constants_of(const vboard::MotorParams& m) {
  return {m.pole_pairs, m.phase_resistance_ohm, m.phase_inductance_h, m.torque_constant_nm_per_a, m.inertia_kg_m2,
          m.viscous_nm_s_per_rad};
}

// Frequencies for margins on a model: dense, up to just below Nyquist.
std::vector<double> model_grid() { return analysis::log_frequencies(0.02, 49.5, 400); }

// One run of the firmware, its control periods recorded, dwells at will.
class Dweller {
 public:
  Dweller(const Scenario& scenario, const vboard::MotorParams& motor, const analysis::PidGains& gains)
      : session_(scenario, motor, Gains{gains.kp, gains.ki, gains.kd}) {
    session_.control_periods().on_period = [this](const vboard::ControlPeriod& p) {
      if (p.index >= start_) samples_.push_back(p);
      age_sum_ += seconds_of(p.angle_age);
      ++age_count_;
    };
    session_.begin();
    if (auto* sensor = session_.board().find<vboard::SensorPwm>()) sensor_period_s_ = seconds_of(sensor->period());
  }
  ~Dweller() { finish(); }
  Dweller(const Dweller&) = delete;
  Dweller& operator=(const Dweller&) = delete;

  // Swings the setpoint at `hz` by `amp` from the next control period on,
  // lets `settle_s` pass and measures over the window. Nothing when the run
  // cannot go on (failure() says why) or a stop was asked for.
  std::optional<DwellPoint> dwell(double hz, double amp, double settle_s, int min_periods, double min_window_s) {
    const analysis::DwellWindow w = analysis::dwell_window(hz, kControlPeriodS, settle_s, min_periods, min_window_s);
    auto& periods = session_.control_periods();
    start_ = periods.started();
    samples_.clear();
    const std::uint64_t start = start_;
    const double w_rad = 2.0 * std::numbers::pi * w.hz * kControlPeriodS;
    periods.profile = [&periods, start, w_rad, amp](double) {
      const double n = static_cast<double>(periods.started() - 1 - start);
      return amp * std::sin(w_rad * n);
    };
    const std::size_t needed = w.first + w.count;
    while (samples_.size() < needed) {
      if (session_.stop_requested()) return std::nullopt;
      const std::size_t left = needed - samples_.size();
      const vboard::Ticks to = session_.now() + vboard::ms(10 * left + 1);
      if (!session_.advance(to)) {
        finish();
        failure_ = "the motor model gave up: " + session_.summary().failure;
        return std::nullopt;
      }
      if (session_.lost_control()) {
        failure_ = "the loop lost control of the motor under " + gains_text(gains()) + " (" +
                   session_.board().stop_info().lost_control_reason + ")";
        return std::nullopt;
      }
    }
    std::vector<double> u(w.count), y(w.count), r(w.count);
    DwellPoint d;
    for (std::size_t i = 0; i < w.count; ++i) {
      const vboard::ControlPeriod& p = samples_[w.first + i];
      u[i] = p.uq;
      y[i] = p.angle;
      r[i] = p.setpoint;
      d.peak_uq_v = std::max(d.peak_uq_v, std::abs(p.uq));
    }
    const Complex uu = analysis::dft_bin_detrended(u, kControlPeriodS, w.hz);
    const Complex yy = analysis::dft_bin_detrended(y, kControlPeriodS, w.hz);
    const Complex rr = analysis::dft_bin_detrended(r, kControlPeriodS, w.hz);
    d.hz = w.hz;
    d.setpoint_amp_deg = amp;
    d.uq_amp_v = std::abs(uu);
    d.angle_amp_deg = std::abs(yy);
    d.p = std::abs(uu) > 0.0 ? yy / uu : Complex(NAN, NAN);
    d.t = std::abs(rr) > 0.0 ? yy / rr : Complex(NAN, NAN);
    d.periods = w.periods;
    d.settle_s = static_cast<double>(w.first) * kControlPeriodS;
    d.window_s = static_cast<double>(w.count) * kControlPeriodS;
    return d;
  }

  analysis::PidGains gains() const {
    return {static_cast<double>(MotorAPosition.Kp), static_cast<double>(MotorAPosition.Ki),
            static_cast<double>(MotorAPosition.Kd)};
  }
  const std::string& failure() const { return failure_; }
  double virtual_s() const { return seconds_of(session_.now()); }
  double delay_s() const {
    return plant_delay_s(age_count_ > 0 ? age_sum_ / static_cast<double>(age_count_) : 0.0, sensor_period_s_);
  }
  void finish() {
    if (done_) return;
    session_.finish();
    done_ = true;
  }

 private:
  Session session_;
  std::vector<vboard::ControlPeriod> samples_;
  std::uint64_t start_ = ~std::uint64_t{0};
  double age_sum_ = 0.0;
  std::uint64_t age_count_ = 0;
  double sensor_period_s_ = 0.001;
  std::string failure_;
  bool done_ = false;
};

// A dwell whose Uq swing lands within the rule, the setpoint's amplitude
// corrected from what each try measured; or at the fixed amplitude asked for.
std::optional<DwellPoint> dwell_for_uq(Dweller& d, double hz, double guess_deg, const AmplitudeRule& rule,
                                       std::optional<double> fixed_deg) {
  const double settle = std::max(0.8, 2.0 / hz);
  const int min_periods = hz < 1.0 ? 2 : 4;
  double amp = std::clamp(fixed_deg.value_or(guess_deg), 0.01, kMaxSetpointAmpDeg);
  std::optional<DwellPoint> point;
  for (int tries = 1; tries <= (fixed_deg ? 1 : kMaxTries); ++tries) {
    point = d.dwell(hz, amp, settle, min_periods, 1.0);
    if (!point) return point;
    point->tries = tries;
    const double swing = point->uq_amp_v;
    const double speed = point->angle_amp_deg * 2.0 * std::numbers::pi * point->hz;
    const bool fast = speed > 1.1 * rule.max_speed_dps;
    const bool speed_bound = speed > 0.7 * rule.max_speed_dps;  // the speed, not Uq, sets this swing
    point->amplitude_ok = (swing >= rule.min_uq_v || speed_bound) && point->peak_uq_v <= rule.max_peak_uq_v && !fast;
    const bool near = std::abs(swing / rule.target_uq_v - 1.0) <= 0.35 || (speed_bound && swing < rule.target_uq_v);
    if (fixed_deg || (point->amplitude_ok && near) || !(swing > 0.0)) break;
    double scale = rule.target_uq_v / swing;
    if (point->peak_uq_v > rule.max_peak_uq_v) scale = std::min(scale, 0.9 * rule.max_peak_uq_v / point->peak_uq_v);
    if (speed > 0.0) scale = std::min(scale, 0.9 * rule.max_speed_dps / speed);
    const double next = std::clamp(amp * scale, 0.01, kMaxSetpointAmpDeg);
    if (next == amp) break;  // at the cap: the loop takes no more
    amp = next;
  }
  return point;
}

// A dwell whose angle swing lands near `target_deg` (within 10 %).
std::optional<DwellPoint> dwell_for_angle(Dweller& d, double hz, double target_deg, double guess_deg) {
  double amp = std::clamp(guess_deg, 0.01, kMaxSetpointAmpDeg);
  std::optional<DwellPoint> point;
  for (int tries = 1; tries <= kMaxTries; ++tries) {
    point = d.dwell(hz, amp, 0.5, 4, 0.5);
    if (!point) return point;
    point->tries = tries;
    const double swing = point->angle_amp_deg;
    point->amplitude_ok = std::abs(swing / target_deg - 1.0) <= 0.1;
    if (point->amplitude_ok || !(swing > 0.0)) break;
    const double next = std::clamp(amp * target_deg / swing, 0.01, kMaxSetpointAmpDeg);
    if (next == amp) break;
    amp = next;
  }
  return point;
}

double guess_setpoint_amp(const analysis::PidGains& g, Complex model_p, double hz, const AmplitudeRule& rule) {
  // U / R = C / (1 + C P) and Y / R = C P / (1 + C P) on the model.
  const Complex c = analysis::pid_response(g, hz, kControlPeriodS);
  const double u_per_r = std::abs(c / (1.0 + c * model_p));
  const double y_per_r = std::abs(c * model_p / (1.0 + c * model_p));
  const double for_uq = u_per_r > 0.0 ? rule.target_uq_v / u_per_r : 10.0;
  const double for_speed = y_per_r > 0.0 ? 0.8 * rule.max_speed_dps / (2.0 * std::numbers::pi * hz) / y_per_r : for_uq;
  return std::min(for_uq, for_speed);
}

// The step figures of the analysed gains after a 100 degree setpoint step:
// its ring is the step table's last 0.3 s, from a run of the firmware.
std::optional<StepFigures> step_after(const Scenario& base, const vboard::MotorParams& motor, const analysis::PidGains& g) {
  Scenario s = base;
  s.bode = {};
  s.duration_s = 2.0;
  s.sample_interval_s = 0.001;
  SetpointEntry step;
  step.from_s = 0.5;
  step.deg = 100.0;
  s.setpoints = {step};
  Session session(s, motor, Gains{g.kp, g.ki, g.kd});
  session.run();
  if (session.summary().status() != 0) return std::nullopt;
  const RunFigures f = session.figures();
  if (f.steps.empty()) return std::nullopt;
  return f.steps.front();
}

void analyse(BodeResult& r) {
  r.plant.clear();
  for (const DwellPoint& p : r.points) r.plant.push_back({p.hz, p.p});
  std::vector<double> hz;
  for (const DwellPoint& p : r.points) hz.push_back(p.hz);
  r.integrators = integrators_of(r.analysed);
  r.loop = analysis::loop_gain(r.analysed, r.plant, kControlPeriodS);
  r.closed = analysis::closed_loop(r.loop);
  r.margins = analysis::margins(r.loop, r.integrators);
  if (r.margins.stability == analysis::Stability::kStable) r.closed_figures = analysis::closed_loop_figures(r.closed);
}

}  // namespace

bool stable_with_margin(const analysis::Margins& m) {
  if (m.stability != analysis::Stability::kStable) return false;
  if (m.phase_margin && m.phase_margin->phase_margin_deg < kWantedPhaseMarginDeg) return false;
  if (m.gain_margin && m.gain_margin->gain_margin_db < kWantedGainMarginDb) return false;
  return !(m.lower_gain_margin && m.lower_gain_margin->gain_margin_db > -kWantedGainMarginDb);
}

analysis::PidGains gains_over_image(const Gains& over) {
  vboard::board().reset();
  analysis::PidGains g{static_cast<double>(MotorAPosition.Kp), static_cast<double>(MotorAPosition.Ki),
                       static_cast<double>(MotorAPosition.Kd)};
  if (over.kp) g.kp = *over.kp;
  if (over.ki) g.ki = *over.ki;
  if (over.kd) g.kd = *over.kd;
  return g;
}

AmplitudeRule amplitude_rule(const vboard::MotorParams& motor) {
  AmplitudeRule rule;
  rule.stiction_uq_v = std::max(motor.breakaway_torque_nm, motor.coulomb_friction_nm) / motor.torque_constant_nm_per_a *
                       motor.phase_resistance_ohm;
  rule.max_peak_uq_v = 0.8 * kModulationLimitV;
  rule.target_uq_v = std::clamp(4.0 * rule.stiction_uq_v, 2.0, 0.5 * kModulationLimitV);
  rule.min_uq_v = std::min(std::max(1.0, 2.0 * rule.stiction_uq_v), 0.8 * rule.target_uq_v);
  rule.max_speed_dps = 30.0 / (motor.pole_pairs * kControlPeriodS);
  return rule;
}

double plant_delay_s(double angle_age_s, double sensor_period_s) {
  return angle_age_s + sensor_period_s + kPwmUpdateDelayS;
}

analysis::Response model_plant(const vboard::MotorParams& motor, const std::vector<double>& hz, double delay_s) {
  return analysis::motor_plant_response(constants_of(motor), {kControlPeriodS, delay_s, 1.0}, hz);
}

analysis::PidGains choose_identify_gains(const vboard::MotorParams& motor, std::string& reason) {
  const std::vector<double> grid = model_grid();
  const analysis::Response p = model_plant(motor, grid);
  struct Best {
    analysis::PidGains g;
    double score = -1.0;
    double gm = 0.0, pm = 0.0, hz = 0.0;
  } best;
  int candidates = 0;
  for (const double kp : {0.03, 0.05, 0.08, 0.12, 0.2, 0.3, 0.5, 1.0, 2.0}) {
    for (const double ratio : {1.0, 2.0, 3.0, 5.0}) {
      for (const double ki_share : {0.0, 0.01}) {
        const analysis::PidGains g{kp, kp * ki_share, kp * ratio};
        ++candidates;
        const analysis::Margins m = analysis::margins(analysis::loop_gain(g, p, kControlPeriodS), integrators_of(g));
        if (m.stability != analysis::Stability::kStable || !m.phase_margin) continue;
        const double gm = m.gain_margin ? m.gain_margin->gain_margin_db : 40.0;
        const double pm = m.phase_margin->phase_margin_deg;
        // Enough margin first (10 dB, 45 degrees count in full), then the
        // faster loop: it tracks the setpoint, so low frequencies need a
        // smaller swing.
        const double score = std::min({gm / 10.0, pm / 45.0, 1.0}) + 1e-3 * m.phase_margin->hz;
        if (score > best.score) best = {g, score, gm, pm, m.phase_margin->hz};
      }
    }
  }
  if (best.score < 0.0) {
    reason = "no candidate is stable on the motor's model; the first is used";
    return {0.03, 0.0, 0.03};
  }
  char b[200];
  std::snprintf(b, sizeof b,
                "chosen from %d candidates for their margins on the model of the motor (gain margin %.1f dB, phase "
                "margin %.1f deg at %.2f Hz)",
                candidates, best.gm, best.pm, best.hz);
  reason = b;
  return best.g;
}

namespace {

using Say = std::function<void(const std::string&)>;

// P at log-spaced frequencies under the identification gains.
void identify_plant(BodeResult& r, const Scenario& s, const vboard::MotorParams& motor, const BodeSettings& b,
                    const Say& say) {
  const std::vector<double> hz = analysis::log_frequencies(b.from_hz, b.to_hz, b.points);
  const analysis::Response guess_model = model_plant(motor, hz);
  {
    Dweller d(s, motor, r.identify);
    for (std::size_t i = 0; i < hz.size(); ++i) {
      const double guess = guess_setpoint_amp(r.identify, guess_model[i].h, hz[i], r.rule);
      auto point = dwell_for_uq(d, hz[i], guess, r.rule, b.amplitude_deg);
      if (!point) {
        r.failure = d.failure();
        r.interrupted = r.failure.empty();
        break;
      }
      char line[160];
      std::snprintf(line, sizeof line, "P at %6.2f Hz: %7.2f dB %8.1f deg (setpoint +-%.2f deg, Uq +-%.2f V)",
                    point->hz, db(point->p), deg(point->p), point->setpoint_amp_deg, point->uq_amp_v);
      say(line);
      r.points.push_back(*point);
    }
    r.model_delay_s = d.delay_s();
    r.virtual_s += d.virtual_s();
  }
}

// T measured directly, for a loop that is stable: the identification's own
// dwells when the gains are the same, else a second sweep.
void measure_closed_loop(BodeResult& r, const Scenario& s, const vboard::MotorParams& motor, const BodeSettings& b) {
  const bool same = r.analysed.kp == r.identify.kp && r.analysed.ki == r.identify.ki && r.analysed.kd == r.identify.kd;
  if (same) {
    for (std::size_t i = 0; i < r.points.size(); ++i) r.measured_t[i] = r.points[i];
    return;
  }
  Dweller d(s, motor, r.analysed);
  for (std::size_t i = 0; i < r.points.size(); ++i) {
    const double guess = guess_setpoint_amp(r.analysed, r.model[i].h, r.points[i].hz, r.rule);
    auto point = dwell_for_uq(d, r.points[i].hz, guess, r.rule, b.amplitude_deg);
    if (!point) {
      r.failure = d.failure();
      r.interrupted = r.failure.empty();
      break;
    }
    r.measured_t[i] = point;
  }
  r.virtual_s += d.virtual_s();
}

// The describing function around the loop's crossover and the limit cycle it
// predicts.
void describe_ring(BodeResult& r, const Scenario& s, const vboard::MotorParams& motor, const Say& say) {
  // The describing function around the loop's crossover: the frequency
  // where |L| passes 1 (else where it comes nearest to -1).
  double centre = 0.0;
  if (r.margins.phase_margin) {
    centre = r.margins.phase_margin->hz;
  } else {
    double nearest = INFINITY;
    for (const auto& l : r.loop) {
      if (std::abs(1.0 + l.h) < nearest) {
        nearest = std::abs(1.0 + l.h);
        centre = l.hz;
      }
    }
  }
  centre = std::clamp(centre, 1.0, 30.0);
  const std::vector<double> df_hz = analysis::log_frequencies(0.6 * centre, std::min(1.6 * centre, 45.0), 6);
  const std::vector<double> targets = {3.0, 6.0, 9.0, 12.0, 14.0, 16.0, 18.0, 21.0, 25.0, 30.0};
  const analysis::Response df_model = model_plant(motor, df_hz, r.model_delay_s);
  Dweller d(s, motor, r.identify);
  for (std::size_t k = 0; k < df_hz.size() && r.describing_stopped.empty() && !r.interrupted; ++k) {
    // The identification loop's T from the model gives the first guess.
    const Complex c = analysis::pid_response(r.identify, df_hz[k], kControlPeriodS);
    const double t_mag = std::abs(c * df_model[k].h / (1.0 + c * df_model[k].h));
    for (const double target : targets) {
      auto point = dwell_for_angle(d, df_hz[k], target, target / std::max(t_mag, 0.05));
      if (!point) {
        // A swing the loop cannot hold ends the table, not the analysis.
        r.describing_stopped = d.failure();
        r.interrupted = r.describing_stopped.empty();
        break;
      }
      r.describing.push_back({target, *point});
    }
    char line[120];
    std::snprintf(line, sizeof line, "describing function at %.2f Hz: %zu amplitudes", df_hz[k], targets.size());
    say(line);
  }
  r.virtual_s += d.virtual_s();
  d.finish();
  if (r.interrupted) return;

  std::vector<analysis::DescribingPoint> table;
  LimitCycleFigures f;
  f.nearest_distance = INFINITY;
  for (const DescribingPoint& p : r.describing) {
    if (!p.dwell.amplitude_ok) continue;  // not at the amplitude its row stands for
    table.push_back({p.target_deg, p.dwell.hz, p.dwell.p});
    const double distance = std::abs(1.0 + analysis::pid_response(r.analysed, p.dwell.hz, kControlPeriodS) * p.dwell.p);
    if (distance < f.nearest_distance) {
      f.nearest_distance = distance;
      f.nearest_amplitude_deg = p.target_deg;
      f.nearest_hz = p.dwell.hz;
    }
  }
  if (!table.empty()) {
    f.cycle = analysis::predict_limit_cycle(table, r.analysed, kControlPeriodS);
    for (const auto& c : f.cycle.crossovers) {
      if (c.hz && (!f.closest || std::abs(c.gain_db) < std::abs(f.closest->gain_db))) f.closest = c;
    }
    r.limit_cycle = f;
  }
}

}  // namespace

BodeResult measure_bode(const Scenario& scenario, const vboard::MotorParams& motor, const BodeRequest& request,
                        const std::function<void(const std::string&)>& progress) {
  const BodeSettings& b = request.settings;
  BodeResult r;
  r.analysed = request.gains;
  r.analysed_from_image = request.gains_from_image;
  r.rule = amplitude_rule(motor);
  if (b.identify_gains) {
    r.identify = {*b.identify_gains->kp, *b.identify_gains->ki, *b.identify_gains->kd};
    r.identify_reason = "given";
  } else {
    r.identify = choose_identify_gains(motor, r.identify_reason);
  }
  Scenario s = scenario;
  s.duration_s = kMaxSeconds;
  s.sample_interval_s = 1.0;  // the dwells keep their own samples
  s.setpoints.clear();
  auto say = [&](const std::string& line) {
    if (progress) progress(line);
  };

  identify_plant(r, s, motor, b, say);
  if (r.points.size() < 2 || !r.failure.empty() || r.interrupted) return r;
  std::vector<double> measured_hz;
  for (const DwellPoint& p : r.points) measured_hz.push_back(p.hz);
  r.model = model_plant(motor, measured_hz, r.model_delay_s);
  analyse(r);
  r.model_margins = analysis::margins(
      analysis::loop_gain(r.analysed, model_plant(motor, model_grid(), r.model_delay_s), kControlPeriodS),
      r.integrators);
  r.measured_t.assign(r.points.size(), std::nullopt);

  if (r.margins.stability == analysis::Stability::kStable) {
    measure_closed_loop(r, s, motor, b);
    if (stable_with_margin(r.margins) || !r.failure.empty() || r.interrupted) return r;
  }
  r.step = step_after(scenario, motor, r.analysed);
  if (!b.describing) return r;

  describe_ring(r, s, motor, say);
  return r;
}

// ---- Report ----

namespace {

std::string verdict_text(const BodeResult& r) {
  const analysis::Margins& m = r.margins;
  switch (m.stability) {
    case analysis::Stability::kStable:
      if (stable_with_margin(m)) return "STABLE with margin: no closed-loop pole outside the unit circle";
      return "STABLE, BUT WITH LITTLE MARGIN (under 30 deg of phase or 6 dB of gain) at this amplitude: a kick "
             "rings for long, and where friction or the voltage limit bend the plant with the amplitude the ring "
             "may last; the describing function below says at which amplitude";
    case analysis::Stability::kUnstable:
      return "NOT STABLE: " + std::to_string(m.unstable_poles) +
             " closed-loop poles outside the unit circle; a small disturbance grows until amplitude-dependent "
             "effects (the voltage limit, the commutation held over a control period, friction) bound it: a ring";
    case analysis::Stability::kUndetermined:
      break;
  }
  return "UNDETERMINED: |L| is not below 1 at the highest frequency measured, or L is not of the form the rule "
         "assumes; measure up to a higher frequency";
}

}  // namespace

namespace {

// The report's text, with printf-style lines.
struct Report {
  std::ostringstream o;
  template <typename... Args>
  void put(const char* format, Args... args) {
    char b[400];
    std::snprintf(b, sizeof b, format, args...);
    o << b;
  }
};

// The measured points: how they were taken, P, the model and L (and T
// where the loop is stable), and how far P lies from the model.
void report_points(const BodeResult& r, Report& out) {
  std::ostringstream& o = out.o;
  auto put = [&out](const char* format, auto... args) { out.put(format, args...); };
  put("loop frequency response: %zu sine dwells through the setpoint, %.2f to %.2f Hz, %.1f s of virtual time\n",
      r.points.size(), r.points.empty() ? 0.0 : r.points.front().hz, r.points.empty() ? 0.0 : r.points.back().hz,
      r.virtual_s);
  put("  plant P (Uq -> angle the PID reads) measured under %s: %s\n", gains_text(r.identify).c_str(),
      r.identify_reason.c_str());
  std::size_t within = 0;
  for (const DwellPoint& p : r.points) within += p.amplitude_ok ? 1 : 0;
  put("  amplitude: the setpoint's swing set so that Uq swings about +-%.2f V (at least %.2f V, the motor's "
      "friction holds %.2f V at rest; peak |Uq| below %.2f V, the modulation passes %.2f V): %zu of %zu points "
      "within\n",
      r.rule.target_uq_v, r.rule.min_uq_v, r.rule.stiction_uq_v, r.rule.max_peak_uq_v, kModulationLimitV, within,
      r.points.size());
  put("  model: the motor's equations with the 10 ms hold and a delay of %.3f ms (the angle's age at the control "
      "work, measured, plus one sensor period and TIM5's update)\n",
      r.model_delay_s * 1e3);
  if (!r.failure.empty()) put("  the measurement could not finish: %s\n", r.failure.c_str());
  if (r.interrupted) o << "  interrupted\n";
  if (r.loop.empty()) return;

  const bool stable = r.margins.stability == analysis::Stability::kStable;
  o << "\n      Hz  setpt deg   Uq V    |P| dB   P deg  model dB  mdl deg    |L| dB   L deg";
  o << (stable ? "    |T| dB   T deg  meas dB meas deg\n" : "\n");
  for (std::size_t i = 0; i < r.points.size(); ++i) {
    const DwellPoint& p = r.points[i];
    put("  %6.2f  %9.2f  %5.2f%s %8.2f %7.1f  %8.2f %8.1f  %8.2f %7.1f", p.hz, p.setpoint_amp_deg, p.uq_amp_v,
        p.amplitude_ok ? " " : "*", db(p.p), deg(p.p), db(r.model[i].h), deg(r.model[i].h), db(r.loop[i].h),
        deg(r.loop[i].h));
    if (stable) {
      put("  %8.2f %7.1f", db(r.closed[i].h), deg(r.closed[i].h));
      if (i < r.measured_t.size() && r.measured_t[i]) {
        put("  %7.2f %8.1f", db(r.measured_t[i]->t), deg(r.measured_t[i]->t));
      }
    }
    o << "\n";
  }
  if (within < r.points.size()) o << "  *: Uq's swing outside the rule (the setpoint's swing at its bound)\n";
  {
    // How far the measured plant lies from the hand-derived one, up to 20 Hz.
    double worst_db = 0.0, worst_deg = 0.0, db_hz = 0.0, deg_hz = 0.0;
    for (std::size_t i = 0; i < r.points.size() && r.points[i].hz <= 20.0 * 1.001; ++i) {
      const Complex ratio = r.points[i].p / r.model[i].h;
      if (std::abs(db(ratio)) > std::abs(worst_db)) std::tie(worst_db, db_hz) = std::pair(db(ratio), r.points[i].hz);
      if (std::abs(deg(ratio)) > std::abs(worst_deg)) std::tie(worst_deg, deg_hz) = std::pair(deg(ratio), r.points[i].hz);
    }
    put("  P measured against the model up to 20 Hz: largest differences %+.2f dB at %.2f Hz, %+.1f deg at %.2f Hz\n",
        worst_db, db_hz, worst_deg, deg_hz);
  }
}

// The margins of L, the verdict, the same on the hand-derived plant, and T.
void report_margins(const BodeResult& r, Report& out) {
  std::ostringstream& o = out.o;
  auto put = [&out](const char* format, auto... args) { out.put(format, args...); };
  const bool stable = r.margins.stability == analysis::Stability::kStable;
  const analysis::Margins& m = r.margins;
  put("\nloop gain L = C P of %s (%s):\n", gains_text(r.analysed).c_str(),
      r.analysed_from_image ? "the image's gains" : "--gains");
  if (m.phase_margin) {
    put("  phase margin   %7.1f deg  at %.2f Hz (|L| = 1)\n", m.phase_margin->phase_margin_deg, m.phase_margin->hz);
  } else {
    o << "  phase margin   none: |L| does not pass 1 within the measured frequencies\n";
  }
  if (m.gain_margin) {
    put("  gain margin    %7.2f dB   at %.2f Hz (phase of L -180 deg)\n", m.gain_margin->gain_margin_db, m.gain_margin->hz);
  } else {
    o << "  gain margin    none: the phase of L does not pass -180 deg where it would count\n";
  }
  if (m.lower_gain_margin) {
    put("  lower gain margin %.2f dB at %.2f Hz (stable only above that gain)\n", m.lower_gain_margin->gain_margin_db,
        m.lower_gain_margin->hz);
  }
  if (m.crossings_below_range > 0) {
    put("  the phase of L lies below -180 deg from the lowest frequency on (%d passage%s below the range)\n",
        m.crossings_below_range, m.crossings_below_range == 1 ? "" : "s");
  }
  o << "  verdict: " << verdict_text(r) << "\n";
  {
    const analysis::Margins& mm = r.model_margins;
    o << "  on the hand-derived plant (no friction, no limits): ";
    if (mm.phase_margin) put("phase margin %.1f deg at %.2f Hz, ", mm.phase_margin->phase_margin_deg, mm.phase_margin->hz);
    if (mm.gain_margin) put("gain margin %.2f dB at %.2f Hz, ", mm.gain_margin->gain_margin_db, mm.gain_margin->hz);
    o << (stable_with_margin(mm)                                  ? "stable with margin"
          : mm.stability == analysis::Stability::kStable          ? "stable, little margin"
          : mm.stability == analysis::Stability::kUnstable        ? "not stable (" + std::to_string(mm.unstable_poles) + " poles outside)"
                                                                   : "undetermined")
      << "\n";
  }
  if (stable && r.closed_figures) {
    const auto& f = *r.closed_figures;
    if (f.bandwidth_hz) {
      put("  T = L/(1+L): bandwidth %.2f Hz (-3 dB)", *f.bandwidth_hz);
    } else {
      o << "  T = L/(1+L): bandwidth beyond the measured range";
    }
    if (f.peak_db) {
      put(", resonance peak %.2f dB at %.2f Hz\n", *f.peak_db, f.peak_hz);
    } else {
      o << ", no resonance peak\n";
    }
  } else if (!stable) {
    o << "  T = L/(1+L): not given: for a loop that is not stable its bandwidth and peak mean nothing\n";
  }
}

// The describing function, the run's ring and the limit cycle it predicts.
void report_ring(const BodeResult& r, Report& out) {
  std::ostringstream& o = out.o;
  auto put = [&out](const char* format, auto... args) { out.put(format, args...); };
  if (!r.describing.empty()) {
    o << "\ndescribing function of the plant (angle amplitude A at the plant's output, under the identification "
         "gains):\n";
    o << "      Hz   A deg  got deg  setpt deg  Uq V  peak Uq V   |P| dB   P deg   |CP| dB  CP deg\n";
    for (const DescribingPoint& p : r.describing) {
      const Complex cp = analysis::pid_response(r.analysed, p.dwell.hz, kControlPeriodS) * p.dwell.p;
      put("  %6.2f  %6.1f  %7.2f%s %9.2f  %5.2f  %9.2f  %7.2f %7.1f  %8.2f %7.1f\n", p.dwell.hz, p.target_deg,
          p.dwell.angle_amp_deg, p.dwell.amplitude_ok ? " " : "*", p.dwell.setpoint_amp_deg, p.dwell.uq_amp_v,
          p.dwell.peak_uq_v, db(p.dwell.p), deg(p.dwell.p), db(cp), deg(cp));
    }
    o << "  *: the angle's swing missed A by more than 10 %: the row is left out of the prediction\n";
    if (!r.describing_stopped.empty()) o << "  the table stops early: " << r.describing_stopped << "\n";
  }
  if (r.step) {
    const Ring& ring = r.step->ring;
    if (ring.amplitude_deg && ring.frequency_hz) {
      put("  a run of the firmware with these gains rings +-%.2f deg at %.2f Hz after a 100 deg setpoint step (the "
          "step table's last 0.3 s)\n",
          *ring.amplitude_deg, *ring.frequency_hz);
    } else {
      put("  a run of the firmware with these gains: after a 100 deg setpoint step no steady ring in the last 0.3 s "
          "of 1.5 s (overshoot %.0f %%, error %.1f deg at the end)\n",
          r.step->overshoot_pct, r.step->final_error_deg);
    }
  }
  if (r.limit_cycle) {
    const LimitCycleFigures& f = *r.limit_cycle;
    for (const auto& c : f.cycle.crossovers) {
      if (c.hz) {
        put("  A %5.1f deg: phase of C P(A) -180 deg at %.2f Hz, |C P(A)| %+.2f dB there\n", c.amplitude, *c.hz, c.gain_db);
      } else {
        put("  A %5.1f deg: the phase of C P(A) does not pass -180 deg in the measured band\n", c.amplitude);
      }
    }
    if (f.cycle.predicted.empty()) {
      o << "  predicted limit cycle: C P(A) does not pass -1 within the measured amplitudes";
      if (f.closest) {
        put("; it comes nearest at A %.1f deg, %.2f Hz (|C P(A)| %+.2f dB at -180 deg): the ring sits there",
            f.closest->amplitude, *f.closest->hz, f.closest->gain_db);
      }
      o << "\n";
    }
    for (const auto& p : f.cycle.predicted) {
      put("  predicted limit cycle (C P(A) = -1): +-%.1f deg at %.2f Hz, %s\n", p.amplitude, p.hz,
          p.stable ? "a stable cycle (a smaller swing grows, a larger one shrinks)" : "a threshold (larger swings grow)");
    }
    put("  nearest to -1 on the grid: |1 + C P| = %.3f at A %.1f deg, %.2f Hz\n", f.nearest_distance,
        f.nearest_amplitude_deg, f.nearest_hz);
  }
}


}  // namespace

std::string bode_report(const BodeResult& r) {
  Report out;
  report_points(r, out);
  if (r.loop.empty()) return out.o.str();
  report_margins(r, out);
  report_ring(r, out);
  return out.o.str();
}

// ---- Files ----

namespace {

struct Columns {
  std::vector<double> p_phase, model_phase, l_phase, t_phase, t_measured_phase;  // NaN: not measured
};

Columns unwrapped(const BodeResult& r) {
  Columns c;
  c.p_phase = analysis::unwrapped_phase_deg(r.plant, -90.0);
  c.model_phase = analysis::unwrapped_phase_deg(r.model, -90.0);
  c.l_phase = analysis::unwrapped_phase_deg(r.loop, -180.0);
  c.t_phase = analysis::unwrapped_phase_deg(r.closed, 0.0);
  // The measured T beside the predicted one: the turn nearest to it.
  for (std::size_t i = 0; i < r.points.size(); ++i) {
    const bool have = i < r.measured_t.size() && r.measured_t[i];
    const double d = have ? deg(r.measured_t[i]->t) : NAN;
    c.t_measured_phase.push_back(have ? d + 360.0 * std::round((c.t_phase[i] - d) / 360.0) : NAN);
  }
  return c;
}

std::string num(double v) {
  if (!std::isfinite(v)) return "";
  char b[32];
  std::snprintf(b, sizeof b, "%.6g", v);
  return b;
}

}  // namespace

void write_bode_csv(const std::string& path, const BodeResult& r) {
  files::AtomicFile file(path);
  std::FILE* f = file.stream();
  std::fprintf(f,
               "kind,hz,target_angle_deg,setpoint_amp_deg,uq_amp_v,angle_amp_deg,peak_uq_v,p_db,p_deg,p_model_db,"
               "p_model_deg,l_db,l_deg,t_db,t_deg,t_measured_db,t_measured_deg\n");
  if (!r.loop.empty()) {
    const Columns c = unwrapped(r);
    const bool stable = r.margins.stability == analysis::Stability::kStable;
    for (std::size_t i = 0; i < r.points.size(); ++i) {
      const DwellPoint& p = r.points[i];
      const auto& t = i < r.measured_t.size() ? r.measured_t[i] : std::nullopt;
      std::fprintf(f, "plant,%s,,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s\n", num(p.hz).c_str(),
                   num(p.setpoint_amp_deg).c_str(), num(p.uq_amp_v).c_str(), num(p.angle_amp_deg).c_str(),
                   num(p.peak_uq_v).c_str(), num(db(p.p)).c_str(), num(c.p_phase[i]).c_str(),
                   num(db(r.model[i].h)).c_str(), num(c.model_phase[i]).c_str(), num(db(r.loop[i].h)).c_str(),
                   num(c.l_phase[i]).c_str(), stable ? num(db(r.closed[i].h)).c_str() : "",
                   stable ? num(c.t_phase[i]).c_str() : "", t ? num(db(t->t)).c_str() : "",
                   num(c.t_measured_phase[i]).c_str());
    }
  }
  for (const DescribingPoint& d : r.describing) {
    const DwellPoint& p = d.dwell;
    std::fprintf(f, "describing,%s,%s,%s,%s,%s,%s,%s,%s,,,,,,,,\n", num(p.hz).c_str(), num(d.target_deg).c_str(),
                 num(p.setpoint_amp_deg).c_str(), num(p.uq_amp_v).c_str(), num(p.angle_amp_deg).c_str(),
                 num(p.peak_uq_v).c_str(), num(db(p.p)).c_str(), num(deg(p.p)).c_str());
  }
  file.commit();
}

void write_bode_plot(const std::string& image_path, const BodeResult& r, const std::string& title) {
  if (r.loop.empty()) throw std::runtime_error(image_path + ": no points to draw");
  const Columns c = unwrapped(r);
  const bool stable = r.margins.stability == analysis::Stability::kStable;
  std::ostringstream data;
  data << "$D << EOD\n";
  for (std::size_t i = 0; i < r.points.size(); ++i) {
    const auto& t = i < r.measured_t.size() ? r.measured_t[i] : std::nullopt;
    data << num(r.points[i].hz) << ' ' << num(db(r.points[i].p)) << ' ' << num(c.p_phase[i]) << ' '
         << num(db(r.model[i].h)) << ' ' << num(c.model_phase[i]) << ' ' << num(db(r.loop[i].h)) << ' '
         << num(c.l_phase[i]) << ' ' << (stable ? num(db(r.closed[i].h)) : "NaN") << ' '
         << (stable ? num(c.t_phase[i]) : "NaN") << ' ' << (t ? num(db(t->t)) : "NaN") << ' '
         << (t ? num(c.t_measured_phase[i]) : "NaN") << '\n';
  }
  data << "EOD\n";
  // The margins as lines and labels on both panels.
  std::ostringstream marks;
  const analysis::Margins& m = r.margins;
  int tag = 1;
  if (m.phase_margin) {
    marks << "set arrow " << tag++ << " from " << m.phase_margin->hz << ", graph 0 to " << m.phase_margin->hz
          << ", graph 1 nohead lc rgb '#d62728' dt 2\n";
    marks << "set label " << tag++ << " sprintf('phase margin %.1f deg at %.2f Hz', " << m.phase_margin->phase_margin_deg
          << ", " << m.phase_margin->hz << ") at " << m.phase_margin->hz << ", graph 0.92 offset 0.5,0 tc rgb '#d62728'\n";
  }
  if (m.gain_margin) {
    marks << "set arrow " << tag++ << " from " << m.gain_margin->hz << ", graph 0 to " << m.gain_margin->hz
          << ", graph 1 nohead lc rgb '#9467bd' dt 3\n";
    marks << "set label " << tag++ << " sprintf('gain margin %.2f dB at %.2f Hz', " << m.gain_margin->gain_margin_db
          << ", " << m.gain_margin->hz << ") at " << m.gain_margin->hz << ", graph 0.84 offset 0.5,0 tc rgb '#9467bd'\n";
  }
  const std::string verdict = stable_with_margin(m) ? "stable with margin" : stable ? "stable, little margin" : m.stability == analysis::Stability::kUnstable ? "NOT STABLE" : "undetermined";
  const bool svg = image_path.size() > 4 && image_path.compare(image_path.size() - 4, 4, ".svg") == 0;
  draw_with_gnuplot(image_path, [&](const std::string& drawn) {
    std::ostringstream g;
    g << (svg ? "set terminal svg size 1100,800 dynamic font 'sans,11'\n"
              : "set terminal pngcairo size 1100,800 font 'sans,10'\n");
    std::string q = "'";
    for (char ch : drawn) {
      if (ch == '\'') q += '\'';
      q += ch;
    }
    q += "'";
    std::string heading = title;
    heading.append(" - loop ").append(verdict).append(" (").append(gains_text(r.analysed)).append(")");
    std::string t = "'";
    for (char ch : heading) {
      if (ch == '\'') t += '\'';
      t += ch;
    }
    t += "'";
    g << "set output " << q << "\n" << data.str();
    g << "set logscale x\nset grid xtics mxtics ytics\nset xrange [" << r.points.front().hz * 0.9 << ":"
      << r.points.back().hz * 1.1 << "]\n";
    g << "set multiplot layout 2,1 title " << t << "\nset lmargin 10\nset rmargin 27\nset key at screen 0.99, graph 1 right top\n";
    g << marks.str();
    g << "set ylabel 'magnitude (dB)'\nset format x ''\n";
    g << "plot $D using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'P measured (deg/V)', \\\n"
         "     $D using 1:4 with lines lw 1 dt 2 lc rgb '#1f77b4' title 'P model', \\\n"
         "     $D using 1:6 with linespoints pt 5 ps 0.5 lw 2 lc rgb '#ff7f0e' title 'L = C P', \\\n";
    if (stable) {
      g << "     $D using 1:8 with lines lw 2 lc rgb '#2ca02c' title 'T predicted', \\\n"
           "     $D using 1:10 with points pt 6 ps 1 lc rgb '#2ca02c' title 'T measured', \\\n";
    }
    g << "     0 with lines lc rgb '#444444' notitle\n";
    g << "set format x '%g'\nset xlabel 'frequency (Hz)'\nset ylabel 'phase (deg)'\n";
    g << "plot $D using 1:3 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'P measured', \\\n"
         "     $D using 1:5 with lines lw 1 dt 2 lc rgb '#1f77b4' title 'P model', \\\n"
         "     $D using 1:7 with linespoints pt 5 ps 0.5 lw 2 lc rgb '#ff7f0e' title 'L', \\\n";
    if (stable) {
      g << "     $D using 1:9 with lines lw 2 lc rgb '#2ca02c' title 'T predicted', \\\n"
           "     $D using 1:11 with points pt 6 ps 1 lc rgb '#2ca02c' title 'T measured', \\\n";
    }
    g << "     -180 with lines lc rgb '#444444' notitle\n";
    g << "unset multiplot\n";
    return g.str();
  });
}

}  // namespace run
