// Searches the position loop's gains (Kp, Ki, Kd) against the unchanged
// firmware on the virtual board: every candidate runs a scenario from reset
// (on the scenario's motor, or with --robust on it and its variations, ranked
// by the worst), on every core, a coarse log-spaced grid first and then NLopt's
// local refinement from the best grid points. It prints the ranked table,
// compares the best gains with the image's own (costs, step tables, an
// overlay plot), writes a scenario that carries them, and says how to use
// them. The image is never changed: tuning is advice.
//
// The search is host/tune's engine; what a trial runs and how it is measured
// is host/run/tune_objective.h. --shard and `merge` spread a grid over
// machines.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "global_variable.h"
#include "output_files.h"
#include "scenario_out.h"
#include "tune_objective.h"
#include "tune_options.h"
#include "workers.h"

namespace {

constexpr const char* kDescription =
    "Searches the position loop's gains against the unchanged firmware on the virtual board: every candidate runs "
    "a scenario from reset (default: the default run's three key steps and a load step), a coarse log-spaced grid "
    "first, then local refinement with NLopt. Prints the ranked table and compares the best gains with the image's.";

struct ObjectiveArgs {
  std::string scenario;      // empty: the built-in default
  std::string scenario_out;  // the scenario with the best gains
  std::string plot;          // the overlay of the best and the image's gains
  bool robust = false;
};

void add_objective(CLI::App& app, ObjectiveArgs& a) {
  app.add_option("--scenario", a.scenario,
                 "the scenario every candidate runs (default: the built-in scenarios/tune-default.toml)");
  app.add_flag("--robust", a.robust,
               "rank by the worst run over the motor and its variations: the scenario's [[variation]] tables, or "
               "inertia x0.5 and x3 with friction x0.5 at 13 V and x2 at 10 V");
  app.add_option("--scenario-out", a.scenario_out, "write the scenario with the best gains in its [gains] table");
  app.add_option("--plot", a.plot, "draw the best and the image's gains' runs together (.png or .svg)");
}

// The gains the image starts with, read before any run.
tune::Gains image_gains() {
  return {static_cast<double>(MotorAPosition.Kp), static_cast<double>(MotorAPosition.Ki),
          static_cast<double>(MotorAPosition.Kd)};
}

std::string gains_label(const char* what, const tune::Gains& g) {
  char text[128];
  std::snprintf(text, sizeof text, "%s Kp %.4g, Ki %.4g, Kd %.4g", what, g.kp, g.ki, g.kd);
  return text;
}

std::string cost_line(const tune::Evaluation& e) {
  const auto& p = e.parts;
  char text[256];
  std::snprintf(text, sizeof text,
                "cost %.4g (IAE %.4g deg s, overshoot %.3g %%, ring %.3g deg, settling %.3g s, peak |i| %.3g A; "
                "clamped %.1f %% of the run) %s",
                e.cost, p.iae_deg_s, p.overshoot_pct, p.ring_deg, p.settling_s, p.peak_current_a, e.clamp_share * 100.0,
                e.failed() ? tune::failure_text(e.failures).c_str() : "pass");
  return text;
}

// One candidate on every motor of the objective, in this process.
struct Compared {
  std::vector<run::TrialRun> runs;  // by motor
  tune::Evaluation eval;            // as the search ranks it
};

Compared run_all(const run::TuneObjective& objective, const tune::Gains& g, const tune::Weights& w) {
  Compared c;
  std::vector<tune::Evaluation> scored;
  for (std::size_t m = 0; m < objective.motors.size(); ++m) {
    c.runs.push_back(run::run_trial(objective, g, m));
    scored.push_back(tune::score(c.runs.back().eval, w));
  }
  c.eval = tune::worst_of(scored);
  return c;
}

void print_steps(const char* heading, const run::RunFigures& f) {
  std::printf("\n%s\n%s", heading, run::step_table(f.steps).c_str());
  if (!f.loads.empty()) std::printf("%s", run::load_table(f.loads).c_str());
}

// A best gain on the edge of its range may be better still beyond it.
void note_bounds(const tune::GridSpec& grid, const tune::Gains& best) {
  for (int which = 0; which < 3; ++which) {
    const tune::GainRange& r = tune::range(grid, which);
    const double g = which == 0 ? best.kp : which == 1 ? best.ki : best.kd;
    const char* name = which == 0 ? "kp" : which == 1 ? "ki" : "kd";
    if (r.lo < r.hi && (g == r.hi || (g == r.lo && r.lo > 0.0))) {
      std::printf("note: the best %s, %g, is on the %s bound of --%s %s:%s; a wider range may do better\n", name, g,
                  g == r.hi ? "upper" : "lower", name, tune::number_text(r.lo).c_str(), tune::number_text(r.hi).c_str());
    }
  }
}

// The best against the image's gains, the files asked for and how to use
// the gains; the exit status.
// `grid` and `w` are those the candidates ran with (a merge's from its shards).
int report(const tune::Options& o, const ObjectiveArgs& a, const run::TuneObjective& objective,
           const tune::GridSpec& grid, const tune::Weights& w, const std::vector<tune::Row>& rows,
           const tune::Gains& specified, const std::optional<tune::Row>& nominal_best) {
  const tune::Row& best = rows.front();
  if (best.eval.failed()) {
    std::printf("\nno candidate passed every constraint: widen the bounds (--kp, --ki, --kd) or allow more time at "
                "the clamp (--weights max_clamp_share=...); nothing written\n");
    return 1;
  }
  const Compared tuned = run_all(objective, best.gains, w);
  const Compared image = run_all(objective, specified, w);
  const char* on = objective.robust ? " (worst over the motors)" : "";
  std::printf("\n%s%s:\n  %s\n", gains_label("best found:     ", best.gains).c_str(), on, cost_line(best.eval).c_str());
  std::printf("%s%s:\n  %s\n", gains_label("the image's own:", specified).c_str(), on, cost_line(image.eval).c_str());
  // A trial depends on the gains only: the search's figure comes back here.
  if (tuned.eval.cost != best.eval.cost || tuned.eval.failures != best.eval.failures) {
    std::printf("warning: the best gains ran again give cost %.17g, the search found %.17g: the trials are not "
                "repeatable\n", tuned.eval.cost, best.eval.cost);
  }
  note_bounds(grid, best.gains);
  if (objective.robust) {
    std::printf("\n%-38s %10s %-12s %11s\n", "cost on each motor", "best found", "", "image's own");
    for (std::size_t m = 0; m < objective.motors.size(); ++m) {
      const auto t = tune::score(tuned.runs[m].eval, w), s = tune::score(image.runs[m].eval, w);
      std::printf("  %-36s %10.4g %-12s %11.4g %s\n", objective.motor_names[m].c_str(), t.cost,
                  t.failed() ? tune::failure_text(t.failures).c_str() : "pass", s.cost,
                  s.failed() ? tune::failure_text(s.failures).c_str() : "pass");
    }
  }
  if (nominal_best) {
    const double there = tune::score(tuned.runs[0].eval, w).cost;
    std::printf("\nwhat robustness costs on the nominal motor: the robust best costs %.4g there; the same search on "
                "the nominal motor alone finds%s", there, gains_label("", nominal_best->gains).c_str());
    if (nominal_best->eval.failed()) {
      std::printf(", which fails (%s)\n", tune::failure_text(nominal_best->eval.failures).c_str());
    } else {
      std::printf(", cost %.4g: %+.1f %%\n", nominal_best->eval.cost,
                  (there / nominal_best->eval.cost - 1.0) * 100.0);
    }
  }
  print_steps("step response with the best gains, nominal motor (telemetry angle):", tuned.runs[0].figures);
  print_steps("step response with the image's own gains, nominal motor (telemetry angle):", image.runs[0].figures);

  bool ok = true;
  std::printf("\n");
  if (!a.plot.empty()) {
    try {
      run::write_overlay(a.plot, {&image.runs[0].series, gains_label("image's own", specified)},
                         {&tuned.runs[0].series, gains_label("best found", best.gains)},
                         "vboard-tune: " + objective.name + ", nominal motor");
      std::printf("wrote %s\n", a.plot.c_str());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "error: --plot %s\n", e.what());
      ok = false;
    }
  }
  if (!a.scenario_out.empty()) {
    try {
      char costs[160];
      std::snprintf(costs, sizeof costs, "cost %.6g against %.6g for the image's own gains", best.eval.cost,
                    image.eval.cost);
      const std::string comment = "The best gains vboard-tune found: " + std::string(costs) + ".\nObjective: " +
                                  o.settings.objective + "\nWeights: " + tune::weights_text(w);
      tune::write_scenario(a.scenario_out, tune::with_gains(objective.text, best.gains, comment, a.scenario_out));
      std::printf("wrote %s\n", a.scenario_out.c_str());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "error: --scenario-out %s\n", e.what());
      ok = false;
    }
  }
  std::printf("%s", tune::how_to_use(best.gains, ok ? a.scenario_out : "").c_str());
  return ok ? 0 : 1;
}

// The files asked for, checked before anything runs: why one is refused,
// or nothing.
std::string refused_files(tune::Options& o, const ObjectiveArgs& a, bool sharded) {
  if (sharded && !a.plot.empty()) return "--plot: a shard ranks nothing; draw after `vboard-tune merge`";
  if (sharded && !a.scenario_out.empty()) return "--scenario-out: a shard ranks nothing; write it with `vboard-tune merge`";
  if (!a.scenario.empty()) o.inputs.push_back({"--scenario", a.scenario});
  if (!a.scenario_out.empty()) o.outputs.push_back({"--scenario-out", a.scenario_out});
  if (!a.plot.empty()) {
    const auto dot = a.plot.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : a.plot.substr(dot);
    if (ext != ".png" && ext != ".svg") return "--plot: " + a.plot + ": the plot must end in .png or .svg";
    o.outputs.push_back({"--plot", a.plot});
  }
  return files::check_outputs(o.inputs, o.outputs);
}

// The same search on the nominal motor alone, to show what robustness costs
// there.
tune::Outcome nominal_search(const tune::Options& o, const run::TuneObjective& objective, const tune::Weights& weights) {
  run::TuneObjective nominal = objective;
  nominal.robust = false;
  nominal.motors.resize(1);
  nominal.motor_names.resize(1);
  tune::Settings settings = o.settings;
  settings.objective = run::objective_text(nominal);
  if (!o.quiet) std::fprintf(stderr, "the same search on the nominal motor alone, for comparison\n");
  return tune::search(settings, run::tune_evaluator(nominal, weights));
}

int tune_main(int argc, char** argv) {
  const tune::Gains specified = image_gains();
  const double clamp_v = static_cast<double>(MotorAPosition.UMax);
  tune::Options o;
  ObjectiveArgs a;
  if (const auto code = tune::parse_tune_options(argc, argv, kDescription, o, std::cout, std::cerr,
                                                 [&](CLI::App& main, CLI::App& merge) {
                                                   add_objective(main, a);
                                                   add_objective(merge, a);
                                                 })) {
    return *code;
  }
  auto bad = [](const std::string& message) {
    std::cerr << "error: " << message << "\n";
    return 2;
  };
  const bool sharded = !o.merge && !o.settings.shard.whole();
  if (const auto why = refused_files(o, a, sharded); !why.empty()) return bad(why);

  tune::StopOnSignals stop;
  try {
    const run::TuneObjective objective = run::load_objective(a.scenario, a.robust, clamp_v);
    for (const auto& w : objective.warnings) std::cerr << "warning: " << w << "\n";
    o.settings.objective = run::objective_text(objective);
    o.settings.progress = !o.quiet && isatty(STDERR_FILENO) != 0;

    tune::Outcome out;
    tune::Weights weights = o.settings.weights;
    tune::GridSpec grid = o.settings.grid;
    if (o.merge) {
      std::vector<tune::ResultFile> shards;
      for (const auto& f : o.merge_files) shards.push_back(tune::read_results(f));
      const auto whole = tune::merge_results(shards, o.merge_files);
      // The shards' weights rank the merged grid and its refinement alike.
      weights = whole.header.weights;
      grid = whole.header.grid;
      if (!o.results_path.empty()) tune::write_results(o.results_path, whole);
      out = tune::refine_merged(o.settings, whole, run::tune_evaluator(objective, weights));
    } else {
      out = tune::search(o.settings, run::tune_evaluator(objective, weights));
      if (!out.stopped_by && !o.results_path.empty()) {
        tune::write_results(o.results_path, tune::results_of(o.settings, out));
      }
    }
    std::fprintf(stderr, "%zu candidates in %.3f s: %.1f per second with %zu job%s\n", out.trials, out.wall_s,
                 out.wall_s > 0.0 ? static_cast<double>(out.trials) / out.wall_s : 0.0, o.settings.jobs,
                 o.settings.jobs == 1 ? "" : "s");
    const auto rows = tune::ranked(out);
    if (out.stopped_by) {
      std::printf("stopped by signal %d after %zu candidates (no file written); the best so far:\n%s", out.stopped_by,
                  out.trials, tune::ranked_table(rows, o.top).c_str());
      return 128 + out.stopped_by;
    }
    if (sharded) {
      std::printf("shard %zu/%zu: %zu candidates written to %s\n", o.settings.shard.k, o.settings.shard.n,
                  out.grid.size(), o.results_path.c_str());
      return 0;
    }
    std::printf("objective: %s\n%s", o.settings.objective.c_str(), tune::ranked_table(rows, o.top).c_str());
    // What robustness costs: the same search on the nominal motor alone (a
    // fifth of the robust one's trials with the default variations). A merge
    // leaves it out: it would run the whole grid here.
    std::optional<tune::Row> nominal_best;
    if (objective.robust && !o.merge) {
      const auto nominal_out = nominal_search(o, objective, weights);
      if (nominal_out.stopped_by) {
        std::printf("stopped by signal %d in the nominal search that the robust best is compared with (no file "
                    "written)\n", nominal_out.stopped_by);
        return 128 + nominal_out.stopped_by;
      }
      nominal_best = tune::ranked(nominal_out).front();
    }
    return report(o, a, objective, grid, weights, rows, specified, nominal_best);
  } catch (const tune::TuneError& e) {
    return bad(e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return tune_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vboard-tune: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vboard-tune: error: an unknown exception\n");
  }
  return 1;
}
