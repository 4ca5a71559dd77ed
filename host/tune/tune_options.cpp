#include "tune_options.h"

#include <CLI/CLI.hpp>
#include <thread>

namespace tune {

namespace {

constexpr std::size_t kMaxJobs = 1024;

int bad(std::ostream& err, const std::string& message) {
  err << "error: " << message << "\nRun with --help for more information.\n";
  return 2;
}

// The options the search and the merge command share: how many workers,
// the refinement, the table.
struct Shared {
  std::string method = "sbplx";
};

void add_shared(CLI::App& app, Options& o, Shared& texts) {
  auto& r = o.settings.refine;
  app.add_option("-j,--jobs", o.settings.jobs, "worker processes (default: the number of cores)")
      ->check(CLI::Range(std::size_t{1}, kMaxJobs));
  app.add_option("--starts", r.starts, "refine from this many of the best grid points; 0: no refinement (default 4)")
      ->check(CLI::Range(std::size_t{0}, std::size_t{1000}));
  app.add_option("--refine-trials", r.max_trials, "trials per refinement start, at most (default 60)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{100000}));
  app.add_option("--method", texts.method, "refinement method: sbplx, bobyqa, neldermead or praxis (default sbplx)");
  app.add_option("--seed", r.seed, "seed of the refinement's random numbers (default 1)");
  app.add_option("--top", o.top, "rows of the ranked table (default 10)")->check(CLI::Range(std::size_t{1}, kMaxCandidates));
  app.add_flag("-q,--quiet", o.quiet, "no progress line");
}

}  // namespace

std::size_t cores() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : std::min<std::size_t>(n, kMaxJobs);
}

std::optional<int> parse_tune_options(int argc, const char* const* argv, const std::string& description, Options& o,
                                      std::ostream& out, std::ostream& err,
                                      const std::function<void(CLI::App&, CLI::App&)>& more) {
  o.settings.jobs = cores();
  CLI::App app{description};
  app.get_formatter()->column_width(34);
  std::string kp = "0.02:2", ki = "0:0.4", kd = "0:0.6", points = "6", shard, weights;
  Shared texts;
  app.add_option("--kp", kp, "Kp's bounds LO:HI, or one value to hold it (default 0.02:2)");
  app.add_option("--ki", ki, "Ki's bounds (default 0:0.4)");
  app.add_option("--kd", kd, "Kd's bounds (default 0:0.6)");
  app.add_option("--points", points, "grid points per gain with a range: N or NKP,NKI,NKD (default 6)");
  app.add_option("--decades", o.settings.grid.decades,
                 "an axis from 0 has the point 0, then log-spaced points from this many decades below its upper "
                 "bound (default 2)");
  app.add_option("--weights", weights,
                 "the cost's weights, any of iae=1,overshoot=0.1,ring=1,settling=10,current=0.5,max_clamp_share=0.25");
  app.add_option("--shard", shard, "evaluate shard K of N of the grid (1-based: index % N == K-1), no refinement; "
                                   "needs --results");
  app.add_option("--results", o.results_path, "write one line per grid candidate into FILE");
  add_shared(app, o, texts);

  CLI::App* merge = app.add_subcommand("merge", "merge the results files of a sharded grid into its ranked table");
  merge->add_option("files", o.merge_files, "the shards' results files")->required()->check(CLI::ExistingFile);
  merge->add_option("--results", o.results_path, "write the whole grid's result lines into FILE");
  add_shared(*merge, o, texts);
  if (more) more(app, *merge);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e, out, err);  // --help
    return bad(err, e.what());
  }
  o.merge = merge->parsed();
  try {
    o.settings.refine.method = parse_method(texts.method);
    if (!o.merge) {
      auto& g = o.settings.grid;
      g.kp = parse_range(kp, "--kp");
      g.ki = parse_range(ki, "--ki");
      g.kd = parse_range(kd, "--kd");
      parse_points(points, g);
      if (!weights.empty()) parse_weights(weights, o.settings.weights);
      if (!shard.empty()) o.settings.shard = parse_shard(shard);
      check_grid(g);
      if (!o.settings.shard.whole() && o.results_path.empty()) {
        throw TuneError("--shard: a shard's results go to a file: give --results FILE");
      }
    }
    check_refine(o.settings.refine);
  } catch (const TuneError& e) {
    return bad(err, e.what());
  }
  for (const auto& f : o.merge_files) o.inputs.push_back({"merge", f});
  if (!o.results_path.empty()) o.outputs.push_back({"--results", o.results_path});
  return std::nullopt;
}

}  // namespace tune
