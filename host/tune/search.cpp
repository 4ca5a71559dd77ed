#include "search.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "workers.h"

namespace tune {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The trials of a run and its best so far, and the progress line on a
// terminal: redrawn at most five times a second, from the first second on.
class Tracker {
 public:
  Tracker(bool enabled, Clock::time_point start) : enabled_(enabled), start_(start) {}
  ~Tracker() { clear(); }
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  void tried(const Gains& g, const Evaluation& e) {
    ++trials_;
    if (!best_ || ranks_before(e, best_->eval)) best_ = Row{g, e, 0, false};
  }

  void draw(const std::string& what) {
    if (!enabled_) return;
    const auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    const double wall = seconds_since(start_);
    std::fprintf(stderr, "\r%s, %.1f candidates/s, best %s\033[K", what.c_str(),
                 wall > 0.0 ? static_cast<double>(trials_) / wall : 0.0,
                 best_ ? row_summary(*best_).c_str() : "none yet");
    std::fflush(stderr);
    drawn_ = true;
  }

  void clear() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  bool enabled_;
  Clock::time_point start_, last_{};
  bool drawn_ = false;
  std::size_t trials_ = 0;
  std::optional<Row> best_;
};

Result parsed(const std::string& line) {
  try {
    return parse_result_line(line);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(std::string("a worker's result: ") + e.what());
  }
}

// The local searches from the best grid points, one start per task.
void refine_into(Outcome& out, const Settings& s, const Evaluator& evaluate, Tracker& tracker) {
  const auto starts = pick_starts(out.grid, s.refine.starts);
  if (starts.empty()) return;
  for (std::size_t i : starts) out.refined.push_back({out.grid[i].index, {out.grid[i].gains, out.grid[i].eval, 0}});
  std::size_t done = 0;
  WorkerTasks t;
  t.count = starts.size();
  t.jobs = s.jobs;
  t.work = [&](std::size_t task, const Send& send) {
    const Result& from = out.grid[starts[task]];
    std::size_t n = 0;
    (void)refine_from(from.gains, from.eval, task, s.grid, evaluate, s.weights, s.refine,
                      [&](const Gains& g, const Evaluation& e) { send(result_line({n++, g, e})); });
  };
  t.on_line = [&](std::size_t task, const std::string& line) {
    const Result r = parsed(line);
    ++out.trials;
    tracker.tried(r.gains, r.eval);
    Refined& best = out.refined[task].best;
    ++best.trials;
    if (ranks_before(r.eval, best.eval)) {
      best.gains = r.gains;
      best.eval = r.eval;
    }
  };
  t.on_done = [&](std::size_t) { ++done; };
  t.on_lost = [&](std::size_t task, const std::string& why) {
    ++done;
    std::fprintf(stderr, "refinement from candidate %zu ended early: %s\n", out.refined[task].from, why.c_str());
  };
  t.on_wait = [&] {
    tracker.draw("refining, " + std::to_string(done) + " of " + std::to_string(starts.size()) + " starts done");
  };
  if (!run_in_workers(t)) out.stopped_by = stop_signal();
}

}  // namespace

Outcome search(const Settings& s, const Evaluator& evaluate) {
  const auto start = Clock::now();
  check_refine(s.refine);
  const auto all = grid(s.grid);
  const auto indices = shard_indices(all.size(), s.shard);
  if (indices.empty()) {
    throw TuneError("--shard: the grid has " + std::to_string(all.size()) + " candidates, shard " +
                    std::to_string(s.shard.k) + " of " + std::to_string(s.shard.n) + " would be empty");
  }
  Outcome out;
  Tracker tracker(s.progress, start);
  std::vector<std::optional<Result>> got(indices.size());
  std::size_t done = 0;
  WorkerTasks t;
  t.count = indices.size();
  t.jobs = s.jobs;
  t.work = [&](std::size_t task, const Send& send) {
    const std::size_t i = indices[task];
    send(result_line({i, all[i], scored_trial(evaluate, all[i], s.weights)}));
  };
  t.on_line = [&](std::size_t task, const std::string& line) {
    const Result r = parsed(line);
    if (r.index != indices[task] || !(r.gains == all[r.index])) throw std::runtime_error("a worker answered another candidate");
    got[task] = r;
    ++done;
    tracker.tried(r.gains, r.eval);
  };
  t.on_lost = [&](std::size_t task, const std::string& why) {
    const std::size_t i = indices[task];
    std::fprintf(stderr, "candidate %zu (Kp %g, Ki %g, Kd %g): %s; counted as a bad trial\n", i, all[i].kp, all[i].ki,
                 all[i].kd, why.c_str());
    got[task] = Result{i, all[i], bad_trial(s.weights)};
    ++done;
    tracker.tried(all[i], got[task]->eval);
  };
  t.on_wait = [&] { tracker.draw("grid " + std::to_string(done) + "/" + std::to_string(indices.size())); };
  const bool complete = run_in_workers(t);
  for (const auto& r : got) {
    if (r) out.grid.push_back(*r);
  }
  out.trials = out.grid.size();
  if (!complete) {
    out.stopped_by = stop_signal();
  } else if (s.shard.whole()) {
    refine_into(out, s, evaluate, tracker);
  }
  out.wall_s = seconds_since(start);
  return out;
}

Outcome refine_merged(const Settings& settings, const ResultFile& merged, const Evaluator& evaluate) {
  const auto start = Clock::now();
  check_refine(settings.refine);
  if (!merged.header.shard.whole()) throw TuneError("merge: refinement needs the whole grid");
  // Refining another objective than the grid's would rank unlike trials together.
  if (!settings.objective.empty() && one_line(settings.objective) != merged.header.objective) {
    throw TuneError("merge: the shards ran the objective '" + merged.header.objective + "', this run's is '" +
                    one_line(settings.objective) + "'");
  }
  Settings s = settings;
  s.grid = merged.header.grid;
  s.weights = merged.header.weights;
  Outcome out;
  out.grid = merged.results;
  Tracker tracker(s.progress, start);
  refine_into(out, s, evaluate, tracker);
  out.wall_s = seconds_since(start);
  return out;
}

ResultFile results_of(const Settings& s, const Outcome& outcome) {
  return ResultFile{{s.objective, s.grid, s.weights, s.shard}, outcome.grid};
}

std::vector<Row> ranked(const Outcome& outcome) {
  // Grid gains are all different; a refined point is kept only when it is
  // none of them and no other start found it too.
  using Key = std::tuple<double, double, double>;
  std::vector<Key> seen;
  seen.reserve(outcome.grid.size() + outcome.refined.size());
  std::vector<Row> rows;
  rows.reserve(outcome.grid.size() + outcome.refined.size());
  for (const auto& r : outcome.grid) {
    rows.push_back({r.gains, r.eval, r.index, false});
    seen.emplace_back(r.gains.kp, r.gains.ki, r.gains.kd);
  }
  std::sort(seen.begin(), seen.end());
  for (const auto& r : outcome.refined) {
    const Key k{r.best.gains.kp, r.best.gains.ki, r.best.gains.kd};
    const auto at = std::lower_bound(seen.begin(), seen.end(), k);
    if (at != seen.end() && *at == k) continue;
    seen.insert(at, k);
    rows.push_back({r.best.gains, r.best.eval, r.from, true});
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return ranks_before(a.eval, b.eval); });
  return rows;
}

std::string row_summary(const Row& r) {
  char text[160];
  std::snprintf(text, sizeof text, "Kp %.4g, Ki %.4g, Kd %.4g (cost %.4g%s%s)", r.gains.kp, r.gains.ki, r.gains.kd,
                r.eval.cost, r.eval.failed() ? ", " : "", r.eval.failed() ? failure_text(r.eval.failures).c_str() : "");
  return text;
}

std::string ranked_table(const std::vector<Row>& rows, std::size_t top) {
  std::string out;
  char line[320];
  std::snprintf(line, sizeof line, "%4s  %10s %10s %10s  %10s  %10s %11s %9s %10s %10s %8s  %-14s %s\n", "rank", "kp",
                "ki", "kd", "cost", "IAE deg s", "overshoot", "ring deg", "settle s", "peak |i| A", "clamp", "result",
                "from");
  out += line;
  std::size_t failed = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    if (r.eval.failed()) ++failed;
    if (i >= top) continue;
    const auto& p = r.eval.parts;
    const std::string from = (r.refined ? "refined from grid " : "grid ") + std::to_string(r.grid_index);
    std::snprintf(line, sizeof line, "%4zu  %10.4g %10.4g %10.4g  %10.4g  %10.4g %10.3g%% %9.3g %10.3g %10.3g %7.1f%%  %-14s %s\n",
                  i + 1, r.gains.kp, r.gains.ki, r.gains.kd, r.eval.cost, p.iae_deg_s, p.overshoot_pct, p.ring_deg,
                  p.settling_s, p.peak_current_a, r.eval.clamp_share * 100.0,
                  r.eval.failed() ? failure_text(r.eval.failures).c_str() : "pass", from.c_str());
    out += line;
  }
  std::snprintf(line, sizeof line, "%zu of %zu rows shown; %zu failed a constraint\n", std::min(top, rows.size()),
                rows.size(), failed);
  out += line;
  return out;
}

}  // namespace tune
