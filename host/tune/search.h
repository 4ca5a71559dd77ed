// The gain search: the grid's candidates (or one shard of them) in worker
// processes, then local refinement from the best grid points, and the
// ranked table of what was found.
//
// The outcome depends on the settings and the evaluator only, never on the
// number of workers: grid results are kept in index order, each start is
// refined on its own, and ties keep a fixed order. A sharded grid merged
// (merge_results) and refined with refine_merged ranks exactly as the
// unsharded search does.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "evaluation.h"
#include "gains_grid.h"
#include "refine.h"
#include "result_file.h"

namespace tune {

struct Settings {
  std::string objective;  // what the trials run, for the results file
  GridSpec grid;
  Weights weights;
  Shard shard;  // refinement only for the whole grid
  RefineOptions refine;
  std::size_t jobs = 1;
  bool progress = false;  // the progress line on stderr
};

struct RefinedStart {
  std::size_t from = 0;  // the grid index it started from
  Refined best;
};

struct Outcome {
  std::vector<Result> grid;           // in index order; when stopped, the candidates done
  std::vector<RefinedStart> refined;  // in start order; when stopped, the best so far of each begun
  std::size_t trials = 0;             // candidates evaluated by this run
  double wall_s = 0.0;
  int stopped_by = 0;  // the signal that stopped the run, 0 when it ran to its end
};

// Runs the search. The caller keeps a StopOnSignals in place for Ctrl-C.
Outcome search(const Settings& settings, const Evaluator& evaluate);
// The refinement of a merged grid (its header gives grid and weights).
Outcome refine_merged(const Settings& settings, const ResultFile& merged, const Evaluator& evaluate);

// The results file of the grid part (complete runs only).
ResultFile results_of(const Settings& settings, const Outcome& outcome);

// One row of the ranked table.
struct Row {
  Gains gains;
  Evaluation eval;
  std::size_t grid_index = 0;
  bool refined = false;  // the best of the refinement from grid_index
};
// Every grid candidate and refinement result in rank order (ties: grid
// before refined, then by index); a refined point that is no better than
// its start, or has the same gains as a row before it, is left out.
std::vector<Row> ranked(const Outcome& outcome);
// The first `top` rows as a table, with a line on how many there are and
// how many failed.
std::string ranked_table(const std::vector<Row>& rows, std::size_t top);

// "Kp 0.3162, Ki 0.01, Kd 0.06 (cost 12.3)"
std::string row_summary(const Row& row);

}  // namespace tune
