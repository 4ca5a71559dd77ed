#include "tune_objective.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "input_checks.h"
#include "scenario_board.h"
#include "series.h"
#include "session.h"

namespace run {

namespace {

// Half the peak-to-peak of `error` over samples with t in [from, to).
double half_swing(std::span<const double> t, std::span<const double> error, double from, double to) {
  const auto lo = std::lower_bound(t.begin(), t.end(), from) - t.begin();
  const auto hi = std::lower_bound(t.begin(), t.end(), to) - t.begin();
  if (hi <= lo) return 0.0;
  const auto [mn, mx] = std::minmax_element(error.begin() + lo, error.begin() + hi);
  return (*mx - *mn) / 2.0;
}

// Any row with a setpoint and an angle: the samples the step figures use.
void telemetry(const Series& series, std::vector<double>& t, std::vector<double>& error) {
  for (const auto& row : series.rows) {
    const double e = row[column::kError];
    if (std::isnan(e)) continue;
    t.push_back(row[column::kTime]);
    error.push_back(e);
  }
}

std::string x_text(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "x%g", x);
  return text;
}

// FNV-1a, 64 bits: a stable name for the scenario's text in results files.
std::string text_hash(const std::string& text) {
  std::uint64_t h = 14695981039346656037ull;
  for (const unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return hex;
}

[[noreturn]] void refuse(const std::string& option, const std::string& what) { throw tune::TuneError(option + ": " + what); }

std::string read_text(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) refuse("--scenario", path + ": no such file");
  std::ifstream in(path, std::ios::binary);
  std::string text;
  text.resize(kMaxScenarioBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) refuse("--scenario", path + ": cannot read");
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxScenarioBytes) refuse("--scenario", path + ": larger than a scenario may be (1 MiB)");
  return text;
}

// A variation's supply is meant: only the scenario's own motor is warned about.
void check_motor(const Scenario& s, const vboard::MotorParams& m, const std::string& option, TuneObjective& o) {
  const MotorFigures figures{m.stall_torque_nm(), m.no_load_speed_rad_s() * 180.0 / 3.141592653589793, m.supply_v};
  const auto check = check_against_motor(s, 0.0, figures);
  if (!check.error.empty()) refuse(option, check.error);
  if (o.motors.empty()) o.warnings.insert(o.warnings.end(), check.warnings.begin(), check.warnings.end());
}

}  // namespace

bool not_decaying(const Ring& ring, std::span<const double> t, std::span<const double> error, double from_s,
                  double to_s) {
  if (!ring.amplitude_deg || *ring.amplitude_deg < kOscillationMinDeg) return false;
  if (to_s - from_s < 2.0 * kRingWindowS) return false;
  const double before = half_swing(t, error, to_s - 2.0 * kRingWindowS, to_s - kRingWindowS);
  return *ring.amplitude_deg >= kNotDecayingRatio * before;
}

tune::Evaluation measure_run(const Series& series, const RunFigures& figures, int status, double clamp_v) {
  tune::Evaluation e;
  auto& p = e.parts;
  std::vector<double> t, error;
  telemetry(series, t, error);
  for (std::size_t i = 1; i < t.size(); ++i) p.iae_deg_s += std::abs(error[i]) * (t[i] - t[i - 1]);

  std::size_t uq_samples = 0, clamped = 0;
  for (const auto& row : series.rows) {
    p.peak_current_a =
        std::max({p.peak_current_a, std::abs(row[column::kIa]), std::abs(row[column::kIb]), std::abs(row[column::kIc])});
    const double uq = row[column::kUq];
    if (std::isnan(uq)) continue;
    ++uq_samples;
    if (std::abs(uq) >= clamp_v) ++clamped;
  }
  e.clamp_share = uq_samples ? static_cast<double>(clamped) / static_cast<double>(uq_samples) : 0.0;

  // The end of a step, `ring` its last 0.3 s, `settled` its time into 1 degree.
  auto step_end = [&](const Ring& ring, const std::optional<double>& settled, double from, double length) {
    p.ring_deg = std::max(p.ring_deg, ring.amplitude_deg.value_or(0.0));
    p.settling_s = std::max(p.settling_s, settled.value_or(length));
    if (not_decaying(ring, t, error, from, from + length)) e.failures |= tune::kOscillating;
  };
  for (const auto& s : figures.steps) {
    p.overshoot_pct = std::max(p.overshoot_pct, s.overshoot_pct);
    step_end(s.ring, s.settling_s, s.at_s, s.length_s);
  }
  for (const auto& l : figures.loads) step_end(l.ring, l.recovery_s, l.at_s, l.length_s);

  if (status == 3) e.failures |= tune::kLostControl;
  if (status == 1) e.failures |= tune::kBadTrial;
  return e;
}

std::vector<MotorVariation> default_variations() {
  return {{"", 0.5, 0.5, 13.0, ""}, {"", 3.0, 0.5, 13.0, ""}, {"", 0.5, 2.0, 10.0, ""}, {"", 3.0, 2.0, 10.0, ""}};
}

std::string variation_name(const MotorVariation& v) {
  if (!v.name.empty()) return v.name;
  std::string name = "inertia " + x_text(v.inertia_x) + ", friction " + x_text(v.friction_x);
  if (v.supply_v) {
    char supply[32];
    std::snprintf(supply, sizeof supply, ", %g V", *v.supply_v);
    name += supply;
  }
  return name;
}

vboard::MotorParams varied_motor(const vboard::MotorParams& motor, const MotorVariation& v) {
  vboard::MotorParams m = motor;
  m.inertia_kg_m2 *= v.inertia_x;
  m.viscous_nm_s_per_rad *= v.friction_x;
  m.coulomb_friction_nm *= v.friction_x;
  m.breakaway_torque_nm *= v.friction_x;
  if (v.supply_v) m.supply_v = *v.supply_v;
  m.validate();
  return m;
}

TuneObjective load_objective(const std::string& path, bool robust, double clamp_v) {
  TuneObjective o;
  o.robust = robust;
  o.clamp_v = clamp_v;
  o.name = path.empty() ? kDefaultTuneScenarioName : path;
  o.text = path.empty() ? std::string(kDefaultTuneScenario) : read_text(path);
  try {
    o.scenario = parse_scenario(o.text, o.name);
  } catch (const ScenarioError& e) {
    refuse("--scenario", e.what());
  }
  const Scenario& s = o.scenario;
  // A press released within the keys' debounce moves no setpoint.
  const bool steps = std::any_of(s.presses.begin(), s.presses.end(), [](const Press& p) { return p.hold_s >= kKeyDebounceS; });
  if (!steps && s.loads.empty()) {
    refuse("--scenario", o.name + " has no key press that registers and no load step: the objective has no step to "
                                  "tune against");
  }
  for (const auto& w : s.warnings) o.warnings.push_back(w);
  std::string error;
  const auto motor = scenario_motor(s, error);
  if (!motor) refuse("--scenario", error);
  check_motor(s, *motor, "--scenario", o);
  o.motors.push_back(*motor);
  o.motor_names.emplace_back("nominal");
  if (!robust) return o;
  const auto variations = s.variations.empty() ? default_variations() : s.variations;
  for (const auto& v : variations) {
    const std::string where = v.where.empty() ? "the default variation " + variation_name(v) : v.where;
    vboard::MotorParams m;
    try {
      m = varied_motor(*motor, v);
    } catch (const std::invalid_argument& e) {
      refuse("--robust", where + ": the motor refuses it: " + e.what());
    }
    check_motor(s, m, "--robust", o);
    o.motors.push_back(m);
    o.motor_names.push_back(variation_name(v));
  }
  return o;
}

std::string objective_text(const TuneObjective& o) {
  std::string text = "scenario " + std::filesystem::path(o.name).filename().string() + " (text fnv1a64 " +
                     text_hash(o.text) + ")";
  if (!o.robust) return text + ", nominal motor";
  text += ", robust: worst of nominal";
  for (std::size_t m = 1; m < o.motor_names.size(); ++m) text += "; " + o.motor_names[m];
  return text;
}

TrialRun run_trial(const TuneObjective& o, const tune::Gains& g, std::size_t m) {
  SessionOptions options;
  options.stop = [] { return false; };
  Session session(o.scenario, o.motors.at(m), Gains{g.kp, g.ki, g.kd}, options);
  session.run();
  TrialRun r;
  r.figures = session.figures();
  r.series = session.series();
  r.eval = measure_run(r.series, r.figures, session.summary().status(), o.clamp_v);
  return r;
}

tune::Evaluator tune_evaluator(const TuneObjective& o, const tune::Weights& weights) {
  auto trial = [&o](const tune::Gains& g, std::size_t m) { return run_trial(o, g, m).eval; };
  if (o.motors.size() == 1) return [trial](const tune::Gains& g) { return trial(g, 0); };
  return tune::worst_case(trial, o.motors.size(), weights);
}

void write_overlay(const std::string& image_path, const OverlayRun& a, const OverlayRun& b, const std::string& title) {
  const bool svg = image_path.size() >= 4 && image_path.compare(image_path.size() - 4, 4, ".svg") == 0;
  const bool png = image_path.size() >= 4 && image_path.compare(image_path.size() - 4, 4, ".png") == 0;
  if (!svg && !png) throw std::runtime_error(image_path + ": the plot must end in .png or .svg");
  // Each run's series goes to a private temporary CSV that only gnuplot reads.
  std::vector<std::string> data;
  struct Remove {
    std::vector<std::string>& paths;
    ~Remove() {
      for (const auto& p : paths) unlink(p.c_str());
    }
  } remove{data};
  std::error_code ec;
  const auto folder = std::filesystem::temp_directory_path(ec);
  for (const Series* s : {a.series, b.series}) {
    std::string name = ((ec ? std::filesystem::path("/tmp") : folder) / "vboard-tune-plot-XXXXXX").string();
    const int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error(image_path + ": cannot make a temporary file for the plot's data");
    close(fd);
    data.push_back(name);
    write_csv(name, *s);
  }
  auto col = [&](std::size_t c) { return std::to_string(c + 1); };
  draw_with_gnuplot(image_path, [&](const std::string& drawn) {
    std::ostringstream g;
    g << (svg ? "set terminal svg size 1100,700 dynamic font 'sans,11'\n"
              : "set terminal pngcairo size 1100,700 font 'sans,10'\n");
    g << "set output " << gnuplot_string(drawn) << "\n"
      << "set datafile separator ','\nset grid\nset offsets 0, 0, graph 0.05, graph 0.05\n"
      << "set multiplot layout 2,1 title " << gnuplot_string(title) << "\n"
      << "set lmargin 10\nset size 1,0.68\nset origin 0,0.3\n"
      << "set ylabel 'angle (deg)'\nset format x ''\nset key top left\n"
      << "plot " << gnuplot_string(data[0]) << " skip 1 using " << col(column::kTime) << ":"
      << col(column::kSetpointUnwrapped)
      << " with steps lw 2 lc rgb '#999999' title 'setpoint', \\\n"
      << "     '' skip 1 using " << col(column::kTime) << ":" << col(column::kTelemetryUnwrapped)
      << " with lines lw 1.2 lc rgb '#d62728' title " << gnuplot_string(a.label) << ", \\\n"
      << "     " << gnuplot_string(data[1]) << " skip 1 using " << col(column::kTime) << ":"
      << col(column::kTelemetryUnwrapped)
      << " with lines lw 1.8 lc rgb '#1f77b4' title " << gnuplot_string(b.label) << "\n"
      << "set size 1,0.3\nset origin 0,0\n"
      << "set format x '%g'\nset xlabel 'time (s)'\nset ylabel 'Uq (V)'\nunset key\n"
      << "plot " << gnuplot_string(data[0]) << " skip 1 using " << col(column::kTime) << ":" << col(column::kUq)
      << " with lines lw 1.2 lc rgb '#d62728', \\\n"
      << "     " << gnuplot_string(data[1]) << " skip 1 using " << col(column::kTime) << ":" << col(column::kUq)
      << " with lines lw 1.8 lc rgb '#1f77b4'\n"
      << "unset multiplot\n";
    return g.str();
  });
}

}  // namespace run
