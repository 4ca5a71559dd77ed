#include "run_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

#include "input_checks.h"
#include "output_files.h"
#include "serve_address.h"
#include "series.h"
#include "time_text.h"

namespace run {

namespace {

constexpr double kDefaultHoldS = 0.08;

// CLI11 validators: each returns an empty string when the text is good, or
// why it is not.
template <typename Parse>
CLI::Validator checked_by(Parse parse, const std::string& what) {
  return CLI::Validator(
      [parse](std::string& text) -> std::string {
        try {
          parse(text);
          return {};
        } catch (const std::exception& e) {
          return e.what();
        }
      },
      what);
}

const CLI::Validator kTime = checked_by([](const std::string& s) { parse_time(s); }, "TIME");

Press parse_press(const std::string& text, double hold) {
  const auto at = text.find('@');
  if (at == std::string::npos) throw std::invalid_argument("'" + text + "' is not KEY@TIME, e.g. up@500ms");
  const std::string name = text.substr(0, at);
  Press p;
  if (name == "up" || name == "PC7") {
    p.key = KeyName::kUp;
  } else if (name == "down" || name == "PC8") {
    p.key = KeyName::kDown;
  } else {
    throw std::invalid_argument("unknown key '" + name + "' (use up or down)");
  }
  p.at_s = parse_time(text.substr(at + 1));
  p.hold_s = hold;
  return p;
}

Flood parse_flood(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) throw std::invalid_argument("'" + text + "' is not START:LENGTH, e.g. 0.2s:1s");
  Flood f{parse_time(text.substr(0, colon)), parse_time(text.substr(colon + 1))};
  if (f.length_s <= 0.0) throw std::invalid_argument("'" + text + "': the length must be longer than 0");
  return f;
}

// "FROM:TO", two times, the second later.
std::pair<double, double> parse_window(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) throw std::invalid_argument("'" + text + "' is not FROM:TO, e.g. 1s:1.1s");
  const double from = parse_time(text.substr(0, colon)), to = parse_time(text.substr(colon + 1));
  if (to <= from) throw std::invalid_argument("'" + text + "': the window must end after it starts");
  return {from, to};
}

const CLI::Validator kWindow = checked_by([](const std::string& s) { parse_window(s); }, "FROM:TO");
const CLI::Validator kCompareRun = checked_by([](const std::string& s) { parse_compare_run(s); }, "[LABEL=]FILE.csv");

const CLI::Validator kSetpoint = checked_by([](const std::string& s) { parse_setpoint(s); }, "KIND:VALUES@TIME");

// "FROM..TO" in Hz, within the range a Bode sweep takes.
std::pair<double, double> parse_hz_range(const std::string& text) {
  const auto dots = text.find("..");
  double lo = 0.0, hi = 0.0;
  if (dots == std::string::npos || !CLI::detail::lexical_cast(text.substr(0, dots), lo) ||
      !CLI::detail::lexical_cast(text.substr(dots + 2), hi) || !std::isfinite(lo) || !std::isfinite(hi)) {
    throw std::invalid_argument("'" + text + "' is not FROM..TO in Hz, e.g. 0.2..45");
  }
  if (lo < kBodeMinHz || hi > kBodeMaxHz || hi <= lo) {
    throw std::invalid_argument("'" + text + "': the range must rise, from 0.05 Hz up to 45 Hz");
  }
  return {lo, hi};
}
const CLI::Validator kHzRange = checked_by([](const std::string& s) { parse_hz_range(s); }, "FROM..TO");

const CLI::Validator kPress = checked_by([](const std::string& s) { parse_press(s, kDefaultHoldS); }, "KEY@TIME");
const CLI::Validator kFlood = checked_by([](const std::string& s) { parse_flood(s); }, "START:LENGTH");

// strtod-based conversion would take "nan" and "inf"; an angle or a speed
// must be an ordinary number, within `limit` either way.
CLI::Validator finite_within(double limit, const std::string& range) {
  return checked_by(
      [limit, range](const std::string& s) {
        double v = 0.0;
        if (!CLI::detail::lexical_cast(s, v) || !std::isfinite(v)) {
          throw std::invalid_argument("'" + s + "' is not a finite number");
        }
        if (std::abs(v) > limit) throw std::invalid_argument("'" + s + "' is out of range: " + range);
      },
      "NUMBER");
}
const CLI::Validator kStartAngle =
    finite_within(kMaxStartAngleDeg, "from -360 to 360 degrees (a turn either way of the sensor's zero)");
// The motor bounds the speed further (input_checks.h); this keeps the text sane.
const CLI::Validator kSpeed = finite_within(1e9, "at most 1e9 degrees per second either way");

const CLI::Validator kGains = checked_by([](const std::string& s) { parse_gains(s); }, "KP,KI,KD");
const CLI::Validator kServe(
    [](std::string& text) {
      station::ServeAddress a;
      return station::parse_serve(text, a);
    },
    "[ADDR:]PORT");

const CLI::Validator kImage = checked_by(
    [](const std::string& s) {
      const auto dot = s.rfind('.');
      const std::string ext = dot == std::string::npos ? "" : s.substr(dot);
      if (ext != ".png" && ext != ".svg") throw std::invalid_argument("'" + s + "' must end in .png or .svg");
    },
    "FILE.png|FILE.svg");

// A CLI11 parse error as the user sees it; the exit code is 2 for every
// kind of bad input.
int report(CLI::App& app, const CLI::ParseError& e, std::ostream& out, std::ostream& err) {
  if (e.get_exit_code() == 0) return app.exit(e, out, err);  // --help
  err << "error: " << e.what() << "\nRun with --help for more information.\n";
  return 2;
}

[[noreturn]] void not_a_number(const std::string& field, const std::string& gains) {
  throw std::invalid_argument("'" + field + "' in '" + gains + "' is not a finite number");
}

const char* const kRunHelpFooter = R"(The step table, one row per setpoint step seen in the telemetry, each row up
to the next setpoint or load step (error = setpoint - angle):
  time s       when the new setpoint first shows in the telemetry: the press, the
               keys' 10 ms debounce, and up to one 5 ms frame
  step deg     old -> new setpoint; rise ms from 10 % to 90 % of the step;
               overshoot beyond the new setpoint in % of the step
  settled      ms from the step until the angle stays within +-5 / +-1 deg;
               no: outside the band in the step's last 0.1 s
  last 0.3 s   ring +-deg half the error's peak-to-peak, Hz its frequency over
               whole periods (none: flat within the sensor's resolution, still
               most of the time, or less than one period); error deg the mean
               error over the ring's whole periods
  peak |i| A   the largest magnitude of the three phase currents during the step
A scenario's [[load]] steps get a second table: load N m before -> after, the
peak error and its time after the load, back in (ms until within +-1 deg for
good), the same last 0.3 s, and the peak current.
Gains (--gains KP,KI,KD), per 10 ms control period on the error in degrees:
  Kp V/deg; Ki V per deg of the error summed once a period; Kd V per deg of
  the error's change from one period to the next.
Exit status: 0 the run ended (at its end or on Ctrl-C / SIGTERM); 1 an output
could not be written or the run could not go on; 2 bad command line or
scenario; 3 the motor ran out of control (the run stopped there).)";

int bad(std::ostream& err, const std::string& message) {
  err << "error: " << message << "\n";
  return 2;
}

}  // namespace

Gains parse_gains(const std::string& text) {
  double v[3] = {};
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    const auto comma = text.find(',', at);
    if ((i < 2) != (comma != std::string::npos)) throw std::invalid_argument("'" + text + "' is not KP,KI,KD, e.g. 0.26,0.04,0.06");
    const std::string field = text.substr(at, i < 2 ? comma - at : std::string::npos);
    if (!CLI::detail::lexical_cast(field, v[i]) || !std::isfinite(v[i]) || std::abs(v[i]) > 1e6) {
      not_a_number(field, text);
    }
    at = comma + 1;
  }
  return {v[0], v[1], v[2]};
}

namespace {

// The run program's command line: the options, and what is made of their
// texts once CLI11 has checked each one.
class RunCommandLine {
 public:
  explicit RunCommandLine(RunOptions& o)
      : o_(o), app_("Runs the motor controller firmware on the virtual board, in virtual time, and reports what it does.") {
    app_.get_formatter()->column_width(34);
    add_run_options();
    add_output_options();
    add_bode_options();
    add_trace_options();
    app_.footer(kRunHelpFooter);
  }

  std::optional<int> parse(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    try {
      app_.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      return report(app_, e, out, err);
    }
    if (compare_->count() > 0) return check_compare(err);
    if (auto code = read_scenario_file(err)) return code;
    if (auto code = apply(err)) return code;
    if (auto code = apply_vcd(err)) return code;
    if (auto code = check_outputs(err)) return code;
    add_warnings();
    return check_scenario_cut(err);
  }

 private:
  // What runs: the scenario's times, keys, rotor and faults.
  void add_run_options() {
    app_.add_option("--scenario", o_.scenario_path, "run the scenario in FILE (TOML); the options below go on top of it")
        ->check(CLI::ExistingFile);
    duration_ = app_.add_option("-d,--duration", duration_text_, "virtual time to run: 2s, 500ms, 1500us (default 1s)")
                    ->check(kTime);
    press_ = app_.add_option("-p,--press", press_texts_, "press a key at a time: up@500ms, down@1.2s (repeatable)")
                 ->check(kPress);
    hold_ = app_.add_option("--hold", hold_text_, "how long each key press is held (default 80ms)")->check(kTime);
    angle_ = app_.add_option("--rotor-angle", rotor_angle_, "rotor's mechanical angle at the start, degrees (default 0)")
                 ->check(kStartAngle);
    app_.add_option("--rotor-speed", o_.rotor_speed_dps,
                    "the sensor reads a scripted rotor turning at this speed, degrees per second (default 0: the "
                    "motor's shaft)")
        ->check(kSpeed);
    auto* no_sensor =
        app_.add_flag("--no-sensor", no_sensor_, "no position sensor: the SPI data line stays high, no PWM signal");
    auto* parity = app_.add_flag("--bad-parity", bad_parity_, "the sensor's SPI replies carry a wrong parity bit");
    // Without a sensor there are no replies whose parity could be wrong.
    no_sensor->excludes(parity);
    flood_ = app_.add_option("--flood", flood_text_,
                             "the ground station sends bytes at full line rate: START:LENGTH, e.g. 0.2s:1s")
                 ->check(kFlood);
    app_.add_flag("--crystal-fails", crystal_fails_, "the 24 MHz crystal never starts (internal 16 MHz oscillator)");
    setpoint_ = app_.add_option("--setpoint", setpoint_texts_,
                                "move the setpoint (repeatable): step:40deg@1s, ramp:90dps@1s..3s, "
                                "sine:10deg,2Hz@1s..4s, chirp:5deg,1Hz..20Hz,log@1s..11s")
                    ->check(kSetpoint);
  }

  // The frequency response instead of a run.
  void add_bode_options() {
    app_.add_flag("--bode", o_.bode,
                          "measure the loop's frequency response instead of a run: the plant by sine dwells, the loop "
                          "gain and margins of the gains (the image's or --gains), --csv and --plot take the points "
                          "and the Bode plot");
    auto* id = app_.add_option("--identify-gains", identify_text_,
                               "with --bode: the gains the plant is measured under, KP,KI,KD (default: chosen for "
                               "margin on the motor's model)")
                   ->check(kGains);
    auto* amp = app_.add_option("--bode-amplitude", amplitude_,
                                "with --bode: the setpoint's amplitude in degrees at every point (default: adapted "
                                "to keep Uq off the limits and above friction)")
                    ->check(CLI::Range(1e-3, kBodeMaxAmplitudeDeg));
    auto* range = app_.add_option("--bode-range", range_text_, "with --bode: frequencies FROM..TO in Hz (default 0.2..45)")
                      ->check(kHzRange);
    auto* points = app_.add_option("--bode-points", points_, "with --bode: log-spaced frequencies (default 30)")
                       ->check(CLI::Range(2, kBodeMaxPoints));
    auto* describing = app_.add_flag("--no-describing", no_describing_,
                                     "with --bode: skip the describing-function measurement of an unstable loop");
    bode_only_ = {id, amp, range, points, describing};
  }

  // What comes out, the gains, and how the run is paced.
  void add_output_options() {
    csv_ = app_.add_option("--csv", o_.csv_path, "write the time series to FILE (CSV, one row per sample interval)");
    plot_ = app_.add_option("--plot", o_.plot_path, "draw setpoint, angles and Uq over time into FILE.png or FILE.svg")
                ->check(kImage);
    gains_ = app_.add_option("--gains", gains_text_,
                             "position-loop gains written into the firmware's RAM after reset: KP,KI,KD")
                 ->check(kGains);
    motor_ = app_.add_option("--motor", motor_text_,
                             "the motor preset (the scenario's [motor] changes stay on top): gimbal, gimbal-heavy, "
                             "gimbal-2204, gimbal-2204-camera, gimbal-5208, gimbal-5208-camera");
    auto* sweep = app_.add_option("--sweep", sweep_texts_,
                                  "one run from reset per setting KP,KI,KD (several), one row of step figures each")
                      ->check(kGains)
                      ->excludes(gains_);
    auto* realtime =
        app_.add_flag("--realtime", o_.realtime, "run paced to the wall clock; without a duration, until interrupted");
    auto* pty = app_.add_flag("--pty", o_.pty,
                              "USART3 on a pseudo-terminal for a serial program (groundstation); implies --realtime");
    auto* serve =
        app_.add_option("--serve", o_.serve,
                        "live page with up/down buttons on [ADDR:]PORT (127.0.0.1 unless given); implies --realtime")
            ->check(kServe);
    // A sweep runs one setting after the other as fast as it can; its files
    // would be one per setting.
    for (auto* paced : {realtime, pty, serve, csv_, plot_}) sweep->excludes(paced);
    auto* verbose = app_.add_flag("-v,--verbose", o_.verbose, "print every event: frames, heartbeat, encoder reads");
    app_.add_flag("--no-frames", o_.no_frames, "with --verbose: leave out the frame lines");
    app_.add_flag("-q,--quiet", o_.quiet, "print only the summary, no progress line")->excludes(verbose);
  }

  // Waveforms of the pins, and earlier runs drawn together.
  void add_trace_options() {
    vcd_ = app_.add_option("--vcd", o_.vcd_path,
                           "write a Value Change Dump of the board's pins and interrupt handlers to FILE (GTKWave, "
                           "PulseView)");
    vcd_window_ = app_.add_option("--vcd-window", vcd_window_text_,
                                  "the dump's window of virtual time FROM:TO (default 1s:1.1s, or the run's last 100ms)")
                      ->check(kWindow)
                      ->needs(vcd_);
    compare_ = app_.add_option("--compare", compare_texts_,
                               "draw earlier runs' CSVs ([LABEL=]FILE.csv, several) over one another into --plot; "
                               "nothing runs")
                   ->check(kCompareRun);
    for (auto* opt : app_.get_options()) {
      if (opt->get_name() == "--sweep" || opt->get_name() == "--bode") vcd_->excludes(opt);
    }
  }

  // --compare draws what earlier runs wrote: it takes --plot and nothing
  // that would shape a run.
  std::optional<int> check_compare(std::ostream& err) {
    for (const auto* opt : app_.get_options()) {
      if (opt == compare_ || opt == plot_ || opt->count() == 0 || opt->get_name() == "--quiet") continue;
      return bad(err, "--compare draws runs already made; it takes --plot only, not " + opt->get_name());
    }
    if (plot_->count() == 0) return bad(err, "--compare needs --plot FILE.png or FILE.svg to draw into");
    std::vector<files::Named> inputs;
    for (const auto& text : compare_texts_) {
      o_.compare.push_back(parse_compare_run(text));
      inputs.push_back({"--compare", o_.compare.back().path});
    }
    if (const std::string why = files::check_outputs(inputs, {{"--plot", o_.plot_path}}); !why.empty()) {
      return bad(err, why);
    }
    for (const auto& r : o_.compare) {
      try {
        check_run_csv(r.path);
      } catch (const std::runtime_error& e) {
        return bad(err, std::string("--compare ") + e.what());
      }
    }
    return std::nullopt;
  }

  // The dump's window lies within the run.
  std::optional<int> apply_vcd(std::ostream& err) {
    if (vcd_->count() == 0) return std::nullopt;
    const double duration = o_.scenario.duration_s;
    if (vcd_window_->count() > 0) {
      std::tie(o_.vcd_from_s, o_.vcd_to_s) = parse_window(vcd_window_text_);
      if (o_.vcd_to_s > duration) {
        return bad(err, "--vcd-window " + vcd_window_text_ + ": ends after the run's " + format_time(duration) +
                            " (--duration)");
      }
    } else {
      o_.vcd_to_s = std::min(duration, kVcdFromS + kVcdLengthS);
      o_.vcd_from_s = std::max(0.0, o_.vcd_to_s - kVcdLengthS);
    }
    return std::nullopt;
  }

  std::optional<int> read_scenario_file(std::ostream& err) {
    if (o_.scenario_path.empty()) return std::nullopt;
    try {
      o_.scenario = read_scenario(o_.scenario_path);
    } catch (const ScenarioError& e) {
      return bad(err, e.what());
    }
    o_.warnings = o_.scenario.warnings;
    return std::nullopt;
  }

  // The options on top of the scenario. The validators have checked every
  // text; these conversions cannot fail.
  std::optional<int> apply(std::ostream& err) {
    Scenario& s = o_.scenario;
    if (duration_->count() > 0) s.duration_s = parse_time(duration_text_);
    o_.realtime = o_.realtime || o_.pty || !o_.serve.empty();
    o_.until_interrupted = o_.realtime && duration_->count() == 0 && o_.scenario_path.empty();
    if (o_.until_interrupted) s.duration_s = kMaxSeconds;
    if (gains_->count() > 0) s.gains = parse_gains(gains_text_);
    if (motor_->count() > 0) {
      s.motor = motor_text_;
      s.motor_preset_where = "--motor";
    }
    for (const auto& text : sweep_texts_) o_.sweep.push_back(parse_gains(text));
    if (s.duration_s <= 0.0) return bad(err, "--duration: the run must last longer than 0");
    if (auto code = apply_presses(err)) return code;
    if (auto code = apply_setpoints(err)) return code;
    if (auto code = apply_bode(err)) return code;
    if (angle_->count() > 0) s.start_angle_deg = rotor_angle_;
    if (no_sensor_) s.faults.push_back({.kind = FaultKind::kNoSensor});
    if (bad_parity_) s.faults.push_back({.kind = FaultKind::kBadParity});
    if (flood_->count() > 0) {
      const Flood f = parse_flood(flood_text_);
      if (auto why = past_the_end(f.at_s, s.duration_s, "--duration"); !why.empty()) {
        return bad(err, "--flood " + flood_text_ + ": " + why);
      }
      s.floods.push_back(f);
    }
    s.crystal_fails = s.crystal_fails || crystal_fails_;
    // The default interval shrinks to a run shorter than it; a chosen one is refused.
    if (!s.sample_interval_given) s.sample_interval_s = std::min(s.sample_interval_s, s.duration_s);
    if (s.sample_interval_s > s.duration_s) {
      return bad(err, "--duration " + format_time(s.duration_s) + " is shorter than the scenario's sample_interval " +
                          format_time(s.sample_interval_s) + ": no sample would be taken");
    }
    return std::nullopt;
  }

  std::optional<int> apply_presses(std::ostream& err) {
    Scenario& s = o_.scenario;
    const double hold_s = hold_->count() > 0 ? parse_time(hold_text_) : kDefaultHoldS;
    if (hold_s < kKeyDebounceS && press_->count() > 0) {
      o_.warnings.push_back("--hold " + format_time(hold_s) +
                            " is shorter than the keys' 10 ms debounce: the presses will not register");
    }
    for (const auto& text : press_texts_) {
      Press p = parse_press(text, hold_s);
      p.where = "--press " + text;
      if (auto why = past_the_end(p.at_s, s.duration_s, "--duration"); !why.empty()) {
        return bad(err, std::string("--press ").append(text).append(": ").append(why));
      }
      s.presses.push_back(p);
    }
    return std::nullopt;
  }

  std::optional<int> apply_setpoints(std::ostream& err) {
    Scenario& s = o_.scenario;
    for (const auto& text : setpoint_texts_) {
      SetpointEntry e = parse_setpoint(text);
      if (auto why = past_the_end(e.from_s, s.duration_s, "--duration"); !why.empty()) {
        return bad(err, std::string("--setpoint ").append(text).append(": ").append(why));
      }
      s.setpoints.push_back(e);
    }
    return std::nullopt;
  }

  // --bode, or a scenario with a [bode] table. The analysis drives the
  // setpoint itself: presses, setpoints, loads and faults would disturb it.
  std::optional<int> apply_bode(std::ostream& err) {
    Scenario& s = o_.scenario;
    o_.bode = o_.bode || s.bode.given;
    if (!o_.bode) {
      for (const CLI::Option* o : bode_only_) {
        if (o->count() > 0) return bad(err, o->get_name() + " needs --bode or a scenario with a [bode] table");
      }
      return std::nullopt;
    }
    BodeSettings& b = s.bode;
    if (!identify_text_.empty()) {
      b.identify_gains = parse_gains(identify_text_);
    }
    if (amplitude_ > 0.0) b.amplitude_deg = amplitude_;
    if (!range_text_.empty()) std::tie(b.from_hz, b.to_hz) = parse_hz_range(range_text_);
    if (points_ > 0) b.points = points_;
    if (no_describing_) b.describing = false;
    const char* what = !s.presses.empty()     ? "key presses"
                       : !s.setpoints.empty() ? "setpoints"
                       : !s.loads.empty()     ? "load steps"
                       : !s.faults.empty()    ? "faults"
                       : !s.floods.empty()    ? "floods"
                                              : nullptr;
    if (what != nullptr) return bad(err, std::string("--bode drives the setpoint itself: leave out the ") + what);
    if (o_.realtime || !o_.sweep.empty() || o_.rotor_speed_dps != 0.0) {
      return bad(err, "--bode runs on its own: not with --realtime, --pty, --serve, --sweep or --rotor-speed");
    }
    return std::nullopt;
  }

  // Outputs are checked before anything runs: none may name an input or
  // another output, and each folder must take a new file.
  std::optional<int> check_outputs(std::ostream& err) const {
    std::vector<files::Named> outputs;
    if (!o_.csv_path.empty() || csv_->count() > 0) outputs.push_back({"--csv", o_.csv_path});
    if (!o_.plot_path.empty() || plot_->count() > 0) outputs.push_back({"--plot", o_.plot_path});
    if (vcd_->count() > 0) outputs.push_back({"--vcd", o_.vcd_path});
    if (const std::string why = files::check_outputs({{"--scenario", o_.scenario_path}}, outputs); !why.empty()) {
      return bad(err, why);
    }
    return std::nullopt;
  }

  // Accepted, but probably not what was meant.
  void add_warnings() {
    const Scenario& s = o_.scenario;
    for (auto& w : press_warnings(s.presses)) o_.warnings.push_back(std::move(w));
    const std::string gains_where = gains_->count() > 0 ? "--gains " + gains_text_
                                    : s.gains_where.empty() ? "gains"
                                                            : s.gains_where + ": gains";
    if (auto w = gain_warning(s.gains, gains_where); !w.empty()) o_.warnings.push_back(w);
    for (std::size_t i = 0; i < o_.sweep.size(); ++i) {
      if (auto w = gain_warning(o_.sweep[i], "--sweep " + sweep_texts_[i]); !w.empty()) o_.warnings.push_back(w);
    }
    const double samples = std::floor(s.duration_s / s.sample_interval_s);
    if (samples > static_cast<double>(kMaxRows) && !o_.until_interrupted) {
      o_.warnings.push_back("the run makes " + std::to_string(static_cast<long long>(samples)) + " samples at " +
                            format_time(s.sample_interval_s) + " each; the series keeps the first " +
                            std::to_string(kMaxRows) + " only (to " +
                            format_time(static_cast<double>(kMaxRows) * s.sample_interval_s) +
                            "): a sample_interval of " + format_time(s.duration_s / static_cast<double>(kMaxRows)) +
                            " or more records the whole run");
    }
  }

  // A shorter --duration may cut off what the scenario file has planned
  // (the options' own events were checked as they were read).
  std::optional<int> check_scenario_cut(std::ostream& err) const {
    if (o_.scenario_path.empty()) return std::nullopt;
    const auto late = first_late_event(o_.scenario);
    if (!late) return std::nullopt;
    return bad(err, "--duration " + format_time(o_.scenario.duration_s) + " ends the run before the scenario's " +
                        late->what + " at " + format_time(late->at_s));
  }

  RunOptions& o_;
  CLI::App app_;
  std::string duration_text_, hold_text_, flood_text_, gains_text_, motor_text_;
  CLI::Option* motor_ = nullptr;
  std::vector<std::string> press_texts_, sweep_texts_, setpoint_texts_, compare_texts_;
  std::string vcd_window_text_;
  std::string identify_text_, range_text_;
  double amplitude_ = 0.0;
  int points_ = 0;
  bool no_describing_ = false;
  CLI::Option* setpoint_ = nullptr;
  std::vector<CLI::Option*> bode_only_;  // the options that only --bode reads
  double rotor_angle_ = 0.0;
  bool no_sensor_ = false, bad_parity_ = false, crystal_fails_ = false;
  CLI::Option* duration_ = nullptr;
  CLI::Option* press_ = nullptr;
  CLI::Option* hold_ = nullptr;
  CLI::Option* angle_ = nullptr;
  CLI::Option* flood_ = nullptr;
  CLI::Option* csv_ = nullptr;
  CLI::Option* plot_ = nullptr;
  CLI::Option* gains_ = nullptr;
  CLI::Option* vcd_ = nullptr;
  CLI::Option* vcd_window_ = nullptr;
  CLI::Option* compare_ = nullptr;
};

}  // namespace

std::optional<int> parse_run_options(int argc, const char* const* argv, RunOptions& o, std::ostream& out,
                                     std::ostream& err) {
  return RunCommandLine(o).parse(argc, argv, out, err);
}

std::optional<int> parse_bench_options(int argc, const char* const* argv, BenchOptions& options, std::ostream& out,
                                       std::ostream& err) {
  CLI::App app{"Speed of the virtual board: virtual time over wall time for a long run of the firmware."};
  std::string text = "60s";
  app.add_option("seconds", text, "virtual time to run, with a unit: 60s, 500ms (default 60s)")->check(kTime);
  std::string step_text;
  app.add_option("--step", step_text, "also run the board in steps of this length (e.g. 1ms) and compare")
      ->check(kTime);
  app.add_flag("--scripted-rotor", options.scripted_rotor,
               "the sensor reads a rotor standing still instead of the motor's shaft (the motor still runs on the "
               "bridge, unseen): the board's own cost without the shaft's motion");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return report(app, e, out, err);
  }
  options.seconds = parse_time(text);
  if (options.seconds <= 0.0) return bad(err, "seconds: the run must last longer than 0");
  options.step_seconds = step_text.empty() ? 0.0 : parse_time(step_text);
  if (!step_text.empty() && options.step_seconds <= 0.0) return bad(err, "--step: a step must last longer than 0");
  return std::nullopt;
}

}  // namespace run
