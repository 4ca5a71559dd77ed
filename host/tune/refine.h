// Local refinement of the best grid points with NLopt's derivative-free
// methods, within the grid's bounds.
//
// The search runs in log-gain coordinates, where the grid is evenly spaced
// and a step means the same ratio at any gain: x = ln(g) for a gain whose
// lower bound is above 0, and x = ln(1 + g / floor) for one from 0 (the
// grid's floor, see gains_grid.h), which is 0 at g = 0, log-like above the
// floor and smooth through both. Held gains are left out.
//
// Each start is a whole local search on its own, so starts run in parallel,
// one per worker, and a start's result does not depend on which worker ran
// it or on the other starts: the outcome is the same for any number of jobs.
// Before each start NLopt's generator is seeded with seed + start number;
// only PRAXIS draws from it, the other methods are deterministic.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "evaluation.h"
#include "gains_grid.h"
#include "result_file.h"

namespace tune {

enum class Method { kSubplex, kBobyqa, kNelderMead, kPraxis };
// "sbplx", "bobyqa", "neldermead", "praxis"; throws TuneError naming --method.
Method parse_method(const std::string& text);
const char* method_name(Method m);

struct RefineOptions {
  std::size_t starts = 4;      // the best passing grid points refined; 0: no refinement
  std::size_t max_trials = 60;  // per start
  unsigned long seed = 1;
  Method method = Method::kSubplex;
};
// Throws TuneError naming --starts or --refine-trials when out of range.
void check_refine(const RefineOptions& options);

// The mapping between gains and the search's coordinates.
class LogSpace {
 public:
  explicit LogSpace(const GridSpec& grid);
  std::size_t dims() const { return which_.size(); }
  std::vector<double> to_x(const Gains& g) const;
  Gains to_gains(const std::vector<double>& x) const;  // within the bounds
  const std::vector<double>& lower() const { return lower_; }
  const std::vector<double>& upper() const { return upper_; }
  // Half the mean grid spacing per coordinate: the first steps stay near
  // the start point.
  const std::vector<double>& first_step() const { return step_; }

 private:
  Gains held_;
  std::vector<int> which_;       // the gain of each coordinate
  std::vector<double> floor_;    // per coordinate: 0 for a log axis, else the floor
  std::vector<double> lower_, upper_, step_;
  GridSpec grid_;
};

// The grid results to refine: the best `count` passing ones, in rank order.
std::vector<std::size_t> pick_starts(const std::vector<Result>& grid, std::size_t count);

// One local search from a scored grid point, in this process. Every trial
// goes to `tried` (scored); the start itself is not tried again. Returns
// the best point found (the start when none was better).
struct Refined {
  Gains gains;
  Evaluation eval;
  std::size_t trials = 0;
};
Refined refine_from(const Gains& start, const Evaluation& start_eval, std::size_t start_number, const GridSpec& grid,
                    const Evaluator& evaluate, const Weights& weights, const RefineOptions& options,
                    const std::function<void(const Gains&, const Evaluation&)>& tried);

// One trial, scored; an exception from the evaluator makes a bad trial.
Evaluation scored_trial(const Evaluator& evaluate, const Gains& g, const Weights& weights);

}  // namespace tune
