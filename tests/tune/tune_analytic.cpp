// The tuner's command line over a made-up cost of the gains instead of the
// board: the tests run it as a user runs vboard-tune (shards through GNU
// parallel, merge, Ctrl-C, bad input), and --work-ms gives each trial a
// fixed amount of CPU work for the speed figures.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <unistd.h>

#include "output_files.h"
#include "tune_options.h"
#include "workers.h"

namespace {

// A smooth bowl in log gains with its floor near Kp 0.4, Ki 0.03, Kd 0.08,
// and a region for each constraint.
tune::Evaluation bowl(const tune::Gains& g) {
  const double a = std::log(g.kp / 0.4), b = std::log((g.ki + 0.002) / 0.03), c = std::log((g.kd + 0.005) / 0.08);
  tune::Evaluation e;
  e.parts.iae_deg_s = 20.0 + 15.0 * a * a + 4.0 * b * b + 6.0 * c * c + 2.0 * a * c;
  e.parts.overshoot_pct = 8.0 * std::exp(b - c);
  e.parts.ring_deg = 0.2 * std::exp(0.5 * (b - c));
  e.parts.settling_s = 0.1 + 0.05 * (a * a + c * c);
  e.parts.peak_current_a = 1.5 * g.kp / 0.4;
  e.clamp_share = std::min(1.0, 0.1 * g.kp / 0.4);
  if (g.kp > 1.6 && g.kd < 0.05) e.failures |= tune::kLostControl;
  if (g.ki > 0.3 && g.kd < 0.01) e.failures |= tune::kOscillating;
  return e;
}

// CPU time, as a trial on the board takes: on a busy machine a trial takes
// longer, as it would there.
double cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

void spin(double ms) {
  const double end = cpu_ms() + ms;
  while (cpu_ms() < end) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  tune::Options o;
  double work_ms = 0.0;
  const auto code = tune::parse_tune_options(
      argc, argv, "Searches gains against a made-up cost of the gains (the tuner's test program).", o, std::cout,
      std::cerr, [&](CLI::App& main, CLI::App& merge) {
        for (CLI::App* app : {&main, &merge}) {
          app->add_option("--work-ms", work_ms, "CPU time each trial takes, ms")->check(CLI::Range(0.0, 1000.0));
        }
      });
  if (code) return *code;
  if (const auto why = files::check_outputs(o.inputs, o.outputs); !why.empty()) {
    std::cerr << "error: " << why << "\n";
    return 2;
  }
  o.settings.objective = "analytic bowl";
  o.settings.progress = !o.quiet && isatty(STDERR_FILENO) != 0;
  const tune::Evaluator evaluate = [work_ms](const tune::Gains& g) {
    spin(work_ms);
    return bowl(g);
  };

  tune::StopOnSignals stop;
  try {
    tune::Outcome out;
    if (o.merge) {
      std::vector<tune::ResultFile> shards;
      for (const auto& f : o.merge_files) shards.push_back(tune::read_results(f));
      const auto whole = tune::merge_results(shards, o.merge_files);
      if (!o.results_path.empty()) tune::write_results(o.results_path, whole);
      out = tune::refine_merged(o.settings, whole, evaluate);
    } else {
      out = tune::search(o.settings, evaluate);
      if (!out.stopped_by && !o.results_path.empty()) tune::write_results(o.results_path, tune::results_of(o.settings, out));
    }
    const auto rows = tune::ranked(out);
    if (out.stopped_by) {
      std::printf("stopped by signal %d after %zu candidates (no results file written); the best so far:\n",
                  out.stopped_by, out.trials);
    }
    if (o.settings.shard.whole() || out.stopped_by) {
      std::printf("%s", tune::ranked_table(rows, o.top).c_str());
    } else {
      std::printf("shard %zu/%zu: %zu candidates written to %s\n", o.settings.shard.k, o.settings.shard.n,
                  out.grid.size(), o.results_path.c_str());
    }
    std::fprintf(stderr, "%zu candidates in %.3f s: %.1f per second with %zu jobs\n", out.trials, out.wall_s,
                 out.wall_s > 0.0 ? static_cast<double>(out.trials) / out.wall_s : 0.0, o.settings.jobs);
    return out.stopped_by ? 128 + out.stopped_by : 0;
  } catch (const tune::TuneError& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
}
