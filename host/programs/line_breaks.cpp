// vboard-line-breaks: the seeded trials of breaks of the sensor's PWM line
// (host/observe/line_breaks.h) at full size, with their figures.
//
//   vboard-line-breaks [--breaks 60000] [--closed-runs 5] [--closed-seconds 120]
//                      [--closed-longest 1000] [--closed-rate 100] [--seed N]
//
// Exit code 0 when the figures meet their bounds (no turn slip, at most 0.1
// per cent of breaks with a wrong angle accepted, no clean capture skipped
// in steady rotation, at most two after a step of frequency; in closed loop
// no work driving more than 90 electrical degrees off, the angle within a
// degree of the shaft after the breaks, no loss of control), 1 when one does
// not, 2 for a bad command line.
#include <CLI/CLI.hpp>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

#include "line_breaks.h"
#include "stop_signal.h"

namespace {

// A number within [lo, hi]; CLI11's own range check lets NaN through.
CLI::Validator within(double lo, double hi, const std::string& what) {
  return CLI::Validator(
      [lo, hi, what](std::string& text) -> std::string {
        double v = 0.0;
        if (!CLI::detail::lexical_cast(text, v) || !(v >= lo && v <= hi)) {
          return "'" + text + "' is not " + what;
        }
        return {};
      },
      "NUMBER");
}

int line_breaks_main(int argc, char** argv) {
  CLI::App app{"Seeded trials of breaks of the sensor's PWM line, open and closed loop, on the virtual board"};
  vboard::LineBreakOptions open;
  int closed_runs = 5;
  double closed_seconds = 120.0;
  double closed_longest_us = 1000.0;
  double closed_rate = 100.0;
  std::string seed_text = "1";
  app.add_option("--breaks", open.breaks, "open-loop breaks (0 to 10000000)")->check(CLI::Range(0, 10000000));
  app.add_option("--closed-runs", closed_runs, "closed-loop runs (0 to 1000)")->check(CLI::Range(0, 1000));
  app.add_option("--closed-seconds", closed_seconds, "virtual seconds of each closed-loop run (3 to 3600)")
      ->check(within(3.0, 3600.0, "a number of seconds from 3 to 3600"));
  app.add_option("--closed-longest", closed_longest_us, "closed loop: the longest dropout, in microseconds (50 to 1500)")
      ->check(within(50.0, 1500.0, "a number of microseconds from 50 to 1500"));
  app.add_option("--closed-rate", closed_rate, "closed loop: the most dropouts a second (1 to 1000)")
      ->check(within(1.0, 1000.0, "a number of dropouts a second from 1 to 1000"));
  // Read whole, so that "-1" or a number past 64 bits is refused, not wrapped.
  app.add_option("--seed", seed_text, "the seed of the trials, a whole number from 0 to 18446744073709551615");
  app.footer("SIGINT or SIGTERM ends the trials within a second, with the figures of those run so far.\n"
             "Exit status: 0 every figure within its bound; 1 one is not; 2 bad command line.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  std::uint64_t seed = 0;
  const auto [end, ec] = std::from_chars(seed_text.data(), seed_text.data() + seed_text.size(), seed);
  if (ec != std::errc{} || end != seed_text.data() + seed_text.size()) {
    std::fprintf(stderr, "error: --seed: '%s' is not a whole number from 0 to 18446744073709551615\n",
                 seed_text.c_str());
    return 2;
  }
  run::install_stop_signals();
  const auto start = std::chrono::steady_clock::now();
  auto wall = [&start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  open.seed = seed;
  open.stop = [] { return run::stop_requested(); };
  double next_note = 30.0;
  open.on_break = [&](int done) {
    if (wall() < next_note) return;
    next_note += 30.0;
    std::fprintf(stderr, "%d of %d breaks\n", done, open.breaks);
  };
  const vboard::LineBreakReport r = vboard::line_break_trials(open);
  std::printf("Open loop (seed %llu)\n%s", static_cast<unsigned long long>(seed), r.summary().c_str());
  bool sound = r.turn_slips == 0 && r.wrong * 1000 <= r.breaks && r.clean_before_skipped == 0 &&
               r.steady_skipped[0] + r.steady_skipped[1] + r.steady_skipped[2] == 0 && r.most_step_skipped <= 2;
  for (int n = 0; n < closed_runs && !run::stop_requested(); ++n) {
    vboard::ClosedLoopBreakOptions c;
    c.seconds = closed_seconds;
    c.seed = seed + static_cast<std::uint64_t>(n);
    c.longest_us = closed_longest_us;
    c.most_per_second = closed_rate;
    c.stop = [] { return run::stop_requested(); };
    const vboard::ClosedLoopBreakReport k = vboard::closed_loop_line_breaks(c);
    std::printf("\nClosed loop, run %d (seed %llu, %.0f s)\n%s", n + 1, static_cast<unsigned long long>(c.seed), c.seconds,
                k.summary().c_str());
    sound = sound && k.off_works == 0 && std::fabs(k.end_error_deg) <= 1.0 && !k.lost_control;
  }
  if (run::stop_requested()) std::printf("\ninterrupted\n");
  std::printf("\nwall time %.1f s\n%s\n", wall(), sound ? "within bounds" : "NOT WITHIN BOUNDS");
  return sound ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return line_breaks_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vboard-line-breaks: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vboard-line-breaks: error\n");
  }
  return 1;
}
