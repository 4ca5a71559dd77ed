#include "refine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlopt.hpp>

namespace tune {

namespace {

struct MethodName {
  Method method;
  const char* name;
  nlopt::algorithm algorithm;
};
constexpr MethodName kMethods[] = {{Method::kSubplex, "sbplx", nlopt::LN_SBPLX},
                                   {Method::kBobyqa, "bobyqa", nlopt::LN_BOBYQA},
                                   {Method::kNelderMead, "neldermead", nlopt::LN_NELDERMEAD},
                                   {Method::kPraxis, "praxis", nlopt::LN_PRAXIS}};

constexpr double Gains::*kGain[3] = {&Gains::kp, &Gains::ki, &Gains::kd};

// Steps below this (in log gain, about 0.01 % of a gain) end a search.
constexpr double kXTolerance = 1e-4;

}  // namespace

Method parse_method(const std::string& text) {
  for (const auto& m : kMethods) {
    if (text == m.name) return m.method;
  }
  throw TuneError("--method: '" + text + "' is not one of sbplx, bobyqa, neldermead, praxis");
}

const char* method_name(Method method) {
  for (const auto& m : kMethods) {
    if (m.method == method) return m.name;
  }
  return "?";
}

void check_refine(const RefineOptions& o) {
  if (o.starts > 1000) throw TuneError("--starts: must be from 0 to 1000");
  if (o.max_trials < 1 || o.max_trials > 100000) throw TuneError("--refine-trials: must be from 1 to 100000");
}

LogSpace::LogSpace(const GridSpec& grid) : grid_(grid) {
  for (int g = 0; g < 3; ++g) {
    const GainRange& r = range(grid, g);
    if (r.lo == r.hi) {
      held_.*kGain[g] = r.lo;
      continue;
    }
    which_.push_back(g);
    const double f = r.lo > 0.0 ? 0.0 : floor_of(grid, g);
    floor_.push_back(f);
    lower_.push_back(f > 0.0 ? 0.0 : std::log(r.lo));
    upper_.push_back(f > 0.0 ? std::log1p(r.hi / f) : std::log(r.hi));
    const double spaces = static_cast<double>(std::max<std::size_t>(points(grid, g), 2) - 1);
    step_.push_back((upper_.back() - lower_.back()) / (2.0 * spaces));
  }
}

std::vector<double> LogSpace::to_x(const Gains& g) const {
  std::vector<double> x(dims());
  for (std::size_t i = 0; i < dims(); ++i) {
    const double v = g.*kGain[which_[i]];
    x[i] = std::clamp(floor_[i] > 0.0 ? std::log1p(v / floor_[i]) : std::log(v), lower_[i], upper_[i]);
  }
  return x;
}

Gains LogSpace::to_gains(const std::vector<double>& x) const {
  Gains g = held_;
  for (std::size_t i = 0; i < dims(); ++i) {
    const GainRange& r = range(grid_, which_[i]);
    const double v = floor_[i] > 0.0 ? floor_[i] * std::expm1(x[i]) : std::exp(x[i]);
    g.*kGain[which_[i]] = std::clamp(v, r.lo, r.hi);
  }
  return g;
}

std::vector<std::size_t> pick_starts(const std::vector<Result>& grid, std::size_t count) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < grid.size(); ++i) {
    if (!grid[i].eval.failed()) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return ranks_before(grid[a].eval, grid[b].eval); });
  if (order.size() > count) order.resize(count);
  return order;
}

Evaluation scored_trial(const Evaluator& evaluate, const Gains& g, const Weights& weights) {
  try {
    return score(evaluate(g), weights);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "trial of Kp %g, Ki %g, Kd %g failed: %s\n", g.kp, g.ki, g.kd, e.what());
  }
  return bad_trial(weights);
}

Refined refine_from(const Gains& start, const Evaluation& start_eval, std::size_t start_number, const GridSpec& grid,
                    const Evaluator& evaluate, const Weights& weights, const RefineOptions& options,
                    const std::function<void(const Gains&, const Evaluation&)>& tried) {
  Refined best{start, start_eval, 0};
  const LogSpace space(grid);
  if (space.dims() == 0 || options.max_trials == 0) return best;

  nlopt::algorithm algorithm = nlopt::LN_SBPLX;
  for (const auto& m : kMethods) {
    if (m.method == options.method) algorithm = m.algorithm;
  }
  // BOBYQA needs two coordinates at least; with one gain to search, the
  // subplex method (on one coordinate a Nelder-Mead line search) stands in.
  if (algorithm == nlopt::LN_BOBYQA && space.dims() < 2) algorithm = nlopt::LN_SBPLX;
  nlopt::srand(options.seed + start_number);
  nlopt::opt opt(algorithm, static_cast<unsigned>(space.dims()));
  opt.set_lower_bounds(space.lower());
  opt.set_upper_bounds(space.upper());
  opt.set_initial_step(space.first_step());
  opt.set_xtol_abs(kXTolerance);
  // The start is known already; NLopt asks for it first, and that trial is
  // not run again (nor counted).
  opt.set_maxeval(static_cast<int>(options.max_trials) + 1);

  std::vector<double> x = space.to_x(start);
  struct Context {
    const LogSpace& space;
    const std::vector<double> x0;
    const Evaluation& start_eval;
    const Evaluator& evaluate;
    const Weights& weights;
    const std::function<void(const Gains&, const Evaluation&)>& tried;
    Refined& best;
  } context{space, x, start_eval, evaluate, weights, tried, best};
  auto objective = [](const std::vector<double>& x, std::vector<double>&, void* data) {
    auto& c = *static_cast<Context*>(data);
    if (x == c.x0) return minimised_value(c.start_eval);
    const Gains g = c.space.to_gains(x);
    const Evaluation e = scored_trial(c.evaluate, g, c.weights);
    ++c.best.trials;
    if (c.tried) c.tried(g, e);
    if (ranks_before(e, c.best.eval)) {
      c.best.gains = g;
      c.best.eval = e;
    }
    return minimised_value(e);
  };
  opt.set_min_objective(objective, &context);

  try {
    double value = 0.0;
    (void)opt.optimize(x, value);
  } catch (const nlopt::roundoff_limited&) {
    // the best point so far is as good as the arithmetic allows
  } catch (const std::exception& e) {
    std::fprintf(stderr, "refinement from Kp %g, Ki %g, Kd %g ended early: %s\n", start.kp, start.ki, start.kd,
                 e.what());
  }
  return best;
}

}  // namespace tune
