// Runs the motor controller firmware on the virtual board, in virtual time,
// and reports what it does: a short summary and the step response of each
// setpoint step (every frame, heartbeat and encoder read with --verbose). On
// request it records the time series as CSV and draws it, sweeps the
// position loop's gains, or runs paced to the wall clock with USART3 on a
// pseudo-terminal and a live page.
//
// The run itself is a session (host/run/session.h), paced by host/run/live_run.h;
// this program reads the command line and prints.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bode.h"
#include "board_time.h"
#include "board_trace.h"
#include "compare_plot.h"
#include "input_checks.h"
#include "live_run.h"
#include "live_server.h"
#include "progress.h"
#include "run_options.h"
#include "scenario_board.h"
#include "series.h"
#include "session.h"
#include "step_metrics.h"
#include "stop_signal.h"

namespace {

using vboard::Ticks;

// Event lines on stdout. On a terminal they share the screen with the
// progress line on stderr, which is cleared first so that no line is
// printed into it.
run::EventSink event_lines(run::Progress* progress) {
  return [progress](Ticks t, const std::string& line) {
    if (progress) progress->hide();
    std::printf("%10.3f ms  %s\n", vboard::to_ms(t), line.c_str());
    std::fflush(stdout);
  };
}

unsigned long long u(std::uint64_t n) { return static_cast<unsigned long long>(n); }

// The counters: time, frames, encoder reads, bytes from the station.
void print_counters(const run::RunSummary& r, bool verbose) {
  const double seconds = run::seconds_of(r.stopped_at);
  auto per_second = [&](std::uint64_t n) { return seconds > 0 ? static_cast<double>(n) / seconds : 0.0; };
  std::printf("\nsummary: %.3f ms of virtual time in %.3f s of wall time (%.0f x real time)%s\n", vboard::to_ms(r.stopped_at),
              r.wall_s, r.wall_s > 0 ? seconds / r.wall_s : 0.0, r.interrupted ? ", interrupted" : "");
  if (r.gap_count != 0) std::fprintf(stderr, "unmodelled accesses: %llu\n%s", u(r.gap_count), r.gap_report.c_str());
  if (verbose) {
    std::printf("  start-up                %.3f ms to the first scheduler tick\n", vboard::to_ms(r.start_done));
    std::printf("  heartbeat LED toggles   %llu\n", u(r.toggles));
    for (std::size_t w = 0; w < 3; ++w) {
      std::printf("  %-22s  %llu runs (%.1f per second)\n", vboard::kWorkNames[w], u(r.work_runs[w]),
                  per_second(r.work_runs[w]));
    }
    std::printf("  interrupts taken        %llu\n", u(r.interrupts));
  }
  std::printf("  frames                  %llu sent, %llu decoded (bad frames %llu, garbage bytes %llu)\n", u(r.frames_sent),
              u(r.frames_decoded), u(r.bad_frames), u(r.garbage_bytes));
  std::printf("  encoder reads           %llu ok, %llu parity errors, %llu sensor errors\n", u(r.reads_ok),
              u(r.reads_parity), u(r.reads_error));
  if (verbose || r.bytes_from_station != 0) {
    std::printf("  bytes from the station  %llu (read by the firmware %llu, overruns %llu, missed with the receiver off %llu)\n",
                u(r.bytes_from_station), u(r.usart_rx.bytes_read), u(r.usart_rx.overruns), u(r.usart_rx.frames_missed));
  }
}

// Where the run ended up, and why it stopped if it stopped early.
void print_outcome(const run::RunSummary& r, const std::string& csv_path) {
  std::printf("  setpoint                %.2f deg, absolute angle %.2f deg (firmware), shaft %.2f deg\n",
              static_cast<double>(r.final_setpoint), static_cast<double>(r.final_angle), r.final_shaft);
  // The firmware's angle trails a turning shaft by up to a few sensor
  // periods: beyond a degree plus 10 ms of the shaft's turning, it is not
  // following the shaft.
  const double off = static_cast<double>(r.final_angle) - r.final_shaft;
  if (std::abs(off) > 1.0 + std::abs(r.final_speed_dps) * 0.01) {
    std::printf("  the firmware's angle is %.2f deg off the shaft's: it does not see the shaft (a sensor fault, a cut "
                "wire)\n", off);
  }
  if (r.angle_wraps + r.setpoint_wraps > 0) {
    auto times = [](std::uint64_t n) { return n == 1 ? "time" : "times"; };
    std::printf("  telemetry unwrapped     past the frame's +-327.67 deg: setpoint crossed %llu %s, angle %llu %s;\n"
                "                          the step table%s follows both by continuity\n",
                u(r.setpoint_wraps), times(r.setpoint_wraps), u(r.angle_wraps), times(r.angle_wraps),
                csv_path.empty() ? "" : " (and the CSV's *_unwrapped_deg columns)");
  }
  const vboard::StopInfo& stop = r.stop;
  if (stop.stopped_in_handler) {
    std::printf("  processor stopped in %s since %.3f ms\n", stop.handler.c_str(), vboard::to_ms(stop.since));
  }
  if (stop.stalled) {
    std::printf("  firmware stalled polling register 0x%08lx since %.3f ms\n",
                static_cast<unsigned long>(stop.stalled_address), vboard::to_ms(stop.since));
  }
  if (stop.lost_control) {
    std::printf("  %s, at %.3f ms: the run stopped at the end of that 100 ms slice, %.3f ms\n",
                stop.lost_control_reason.c_str(), vboard::to_ms(stop.lost_control_at), vboard::to_ms(r.stopped_at));
  }
  if (!r.failure.empty()) std::printf("  the run could not go on: %s\n", r.failure.c_str());
}

// Writes the files a run asks for one by one: a failed one says why and
// does not stop the others.
struct Writes {
  bool ok = true;
  void attempt(const char* option, const std::function<void()>& write) {
    try {
      write();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "error: %s %s\n", option, e.what());
      ok = false;
    }
  }
};

// Files asked for; false (after saying why) when one cannot be written.
bool write_files(const run::RunOptions& opt, const run::Series& series) {
  const std::string title = opt.scenario_path.empty() ? "vboard-run" : opt.scenario_path;
  Writes writes;
  if (!opt.csv_path.empty()) {
    writes.attempt("--csv", [&] {
      run::write_csv(opt.csv_path, series);
      std::printf("wrote %s (%zu samples)\n", opt.csv_path.c_str(), series.rows.size());
    });
  }
  if (!opt.plot_path.empty()) {
    writes.attempt("--plot", [&] {
      // gnuplot draws from the CSV asked for, or from a private one.
      if (!opt.csv_path.empty() && writes.ok) {
        run::write_plot(opt.plot_path, opt.csv_path, title);
      } else {
        run::write_plot_of(opt.plot_path, series, title);
      }
      std::printf("wrote %s\n", opt.plot_path.c_str());
    });
  }
  return writes.ok;
}

int sweep(const run::RunOptions& opt, const vboard::MotorParams& motor) {
  std::vector<run::SweepRow> rows;
  std::vector<run::SweepLoadRow> load_rows;
  std::vector<std::string> notes;
  bool failed = false;
  bool lost = false;
  std::size_t done = 0;
  run::SessionOptions quiet;
  quiet.rotor_speed_dps = opt.rotor_speed_dps;
  for (std::size_t i = 0; i < opt.sweep.size() && !run::stop_requested(); ++i) {
    const run::Gains& g = opt.sweep[i];
    run::Progress progress(opt.scenario.duration_s, !opt.quiet && isatty(STDERR_FILENO));
    run::Session session(opt.scenario, motor, g, quiet);
    session.run([&progress](double s) { progress.update(s); });
    progress.finish();
    if (run::stop_requested()) break;  // a cut-short run would compare unfairly
    ++done;
    const auto figures = session.figures();
    const auto uq = session.figures(run::StepPeak::kUq);
    const auto& steps = figures.steps;
    if (steps.empty()) rows.push_back({*g.kp, *g.ki, *g.kd, 0, {}, std::nullopt});
    for (std::size_t k = 0; k < steps.size(); ++k) rows.push_back({*g.kp, *g.ki, *g.kd, k + 1, steps[k], uq.steps[k].peak_extra});
    for (std::size_t k = 0; k < figures.loads.size(); ++k) {
      load_rows.push_back({*g.kp, *g.ki, *g.kd, k + 1, figures.loads[k], uq.loads[k].peak_extra});
    }
    char gains[96];
    std::snprintf(gains, sizeof gains, "%g,%g,%g", *g.kp, *g.ki, *g.kd);
    const run::RunSummary& r = session.summary();
    if (!r.failure.empty()) notes.push_back(std::string(gains) + ": the run could not go on: " + r.failure);
    if (r.status() == 3) notes.push_back(std::string(gains) + ": the motor ran out of control; the run stopped there");
    failed = failed || r.status() == 1;
    lost = lost || r.status() == 3;
  }
  std::printf("gain sweep, %zu run%s from reset, one row per setpoint step (telemetry angle, unwrapped):\n%s", done,
              done == 1 ? "" : "s", run::sweep_table(rows).c_str());
  if (!load_rows.empty()) std::printf("load steps, one row per setting and load step:\n%s", run::sweep_load_table(load_rows).c_str());
  for (const auto& n : notes) std::printf("  %s\n", n.c_str());
  if (done < opt.sweep.size()) std::printf("interrupted: %zu of %zu settings run\n", done, opt.sweep.size());
  return failed ? 1 : lost ? 3 : 0;
}

// The loop's frequency response: the report, its files; the exit status.
int bode(const run::RunOptions& opt, const vboard::MotorParams& motor) {
  run::BodeRequest request;
  request.settings = opt.scenario.bode;
  const run::Gains& g = opt.scenario.gains;
  request.gains = run::gains_over_image(g);
  request.gains_from_image = !g.kp && !g.ki && !g.kd;
  const bool interactive = !opt.quiet && isatty(STDERR_FILENO);
  const run::BodeResult result = run::measure_bode(opt.scenario, motor, request, [&](const std::string& line) {
    if (interactive) std::fprintf(stderr, "\r%-100s", line.c_str());
  });
  if (interactive) std::fprintf(stderr, "\r%-100s\r", "");
  std::fputs(run::bode_report(result).c_str(), stdout);
  Writes writes;
  if (!opt.csv_path.empty()) {
    writes.attempt("--csv", [&] {
      run::write_bode_csv(opt.csv_path, result);
      std::printf("wrote %s\n", opt.csv_path.c_str());
    });
  }
  if (!opt.plot_path.empty()) {
    writes.attempt("--plot", [&] {
      const std::string title = opt.scenario_path.empty() ? "motor " + opt.scenario.motor : opt.scenario_path;
      run::write_bode_plot(opt.plot_path, result, title);
      std::printf("wrote %s\n", opt.plot_path.c_str());
    });
  }
  if (!result.failure.empty() || !writes.ok) return 1;
  return 0;
}

// The scenario's motor, and the scenario against it; nothing (after saying
// why) when either is refused.
std::optional<vboard::MotorParams> checked_motor(const run::RunOptions& opt) {
  std::string motor_error;
  const auto motor = run::scenario_motor(opt.scenario, motor_error);
  if (!motor) {
    std::fprintf(stderr, "error: %s\n", motor_error.c_str());
    return std::nullopt;
  }
  const run::MotorFigures figures{motor->stall_torque_nm(), motor->no_load_speed_rad_s() * 180.0 / 3.141592653589793,
                                  motor->supply_v};
  auto check = run::check_against_motor(opt.scenario, opt.rotor_speed_dps, figures);
  if (!check.error.empty()) {
    std::fprintf(stderr, "error: %s\n", check.error.c_str());
    return std::nullopt;
  }
  for (const auto& w : opt.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
  for (const auto& w : check.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
  return motor;
}

// The live side of a paced run, set up before the board starts: the pty
// (and a program reading it) and the page. The exit status when the run
// cannot go ahead.
std::optional<int> open_live(const run::RunOptions& opt, run::LiveRun& live) {
  std::string error;
  if (opt.pty && !live.open_pty(error)) {
    std::fprintf(stderr, "error: --pty: %s\n", error.c_str());
    return 1;
  }
  if (!opt.serve.empty()) {
    if (!live.open_page(opt.serve, error)) {
      std::fprintf(stderr, "error: --serve %s: %s\n", opt.serve.c_str(), error.c_str());
      return 2;
    }
    std::fputs(station::live_page_notice(*live.page(), "").c_str(), stderr);
  }
  if (live.has_pty()) {
    std::printf("USART3 on %s (500000 baud, 8N1)\n", live.pty_path().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "waiting for a program to open %s (e.g. groundstation %s); Ctrl-C ends\n",
                 live.pty_path().c_str(), live.pty_path().c_str());
    if (!live.wait_for_reader()) {
      std::fprintf(stderr, "stopped before a program opened the line\n");
      return 0;
    }
  }
  return std::nullopt;
}

// What a single run prints after it ended, and its files; the exit status.
int report(const run::RunOptions& opt, const run::Session& session, const run::LiveRun& live) {
  const bool verbose = opt.verbose && !opt.quiet;
  print_counters(session.summary(), verbose);
  print_outcome(session.summary(), opt.csv_path);
  if (live.pty_bytes_dropped() != 0) {
    std::printf("  pty                     %llu bytes not taken by the reader (dropped)\n", u(live.pty_bytes_dropped()));
  }
  const auto response = session.figures();
  if (!response.steps.empty()) std::printf("\nstep response (telemetry angle):\n%s", run::step_table(response.steps).c_str());
  if (!response.loads.empty()) std::printf("\nload steps (telemetry angle):\n%s", run::load_table(response.loads).c_str());
  if (session.series_full()) std::printf("  the series holds the first %zu samples only\n", run::kMaxRows);
  const bool written = write_files(opt, session.series());
  return written ? session.summary().status() : 1;
}

// The dump asked for; false (after saying why) when it cannot be written.
bool write_vcd(const run::RunOptions& opt, run::BoardTrace& vcd, vboard::Ticks run_end) {
  try {
    vcd.write(opt.vcd_path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: --vcd %s\n", e.what());
    return false;
  }
  const trace::VcdWriter& w = vcd.writer();
  std::printf("wrote %s (%.3f ms to %.3f ms of virtual time", opt.vcd_path.c_str(), opt.vcd_from_s * 1e3,
              static_cast<double>(w.end()) * 1e-6);
  if (w.cut()) std::printf(", cut short by the bound of %zu changes", trace::VcdWriter::kDefaultMaxChanges);
  std::printf(")\n");
  if (run_end < run::ticks_of(opt.vcd_to_s)) {
    std::printf("  the run ended at %.3f ms, inside the window: nothing changes in the dump after that\n",
                vboard::to_ms(run_end));
  }
  return true;
}

// Earlier runs drawn together; nothing runs.
int compare(const run::RunOptions& opt) {
  try {
    run::write_compare(opt.plot_path, opt.compare);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: --compare: %s\n", e.what());
    return 1;
  }
  std::printf("wrote %s (%zu run%s)\n", opt.plot_path.c_str(), opt.compare.size(), opt.compare.size() == 1 ? "" : "s");
  return 0;
}

int run_main(int argc, char** argv) {
  run::install_stop_signals();
  run::RunOptions opt;
  if (auto code = run::parse_run_options(argc, argv, opt, std::cout, std::cerr)) return *code;
  if (!opt.compare.empty()) return compare(opt);
  const auto motor = checked_motor(opt);
  if (!motor) return 2;
  if (!opt.sweep.empty()) return sweep(opt, *motor);
  if (opt.bode) return bode(opt, *motor);

  run::LiveRun live;
  if (auto code = open_live(opt, live)) return *code;
  const bool interactive = !opt.quiet && isatty(STDERR_FILENO);
  run::Progress progress(opt.until_interrupted ? 0.0 : opt.scenario.duration_s, interactive);
  run::SessionOptions options;
  options.rotor_speed_dps = opt.rotor_speed_dps;
  if (!opt.quiet) options.events = event_lines(&progress);
  options.verbose = opt.verbose && !opt.quiet;
  options.frames = !opt.no_frames;
  // Declared before the session: the session's end resets the board, which
  // drops the dump's observers, before the dump goes.
  std::optional<run::BoardTrace> vcd;
  run::Session session(opt.scenario, *motor, opt.scenario.gains, options);
  if (!opt.vcd_path.empty()) {
    vcd.emplace(session.board(), session.station(), run::ticks_of(opt.vcd_from_s), run::ticks_of(opt.vcd_to_s));
  }
  if (opt.realtime) {
    if (live.take_terminal_keys()) std::fprintf(stderr, "keys: u = up (PC7), d = down (PC8); Ctrl-C ends the run\n");
    live.run(session, progress);
  } else {
    session.run([&progress](double s) { progress.update(s); });
  }
  progress.finish();
  int status = report(opt, session, live);
  if (vcd && !write_vcd(opt, *vcd, session.summary().stopped_at) && status == 0) status = 1;
  live.close_page();
  return status;
}

}  // namespace

// Anything thrown that the run did not expect ends it with a message, not an abort.
int main(int argc, char** argv) {
  try {
    return run_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vboard-run: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vboard-run: error: an unknown exception\n");
  }
  return 1;
}
