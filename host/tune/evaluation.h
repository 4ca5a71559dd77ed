// What one candidate's trial gives, and how it is ranked.
//
// The caller's evaluator runs the trial and measures it; score() then adds
// the failures it can judge from the figures and the total cost from the
// weights, so that the weights live in one place and every evaluator is
// ranked alike.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

#include "gains_grid.h"

namespace tune {

// The cost's parts, each a figure of the whole trial (the worst step where
// the trial has several steps).
struct CostParts {
  double iae_deg_s = 0.0;       // integral of |setpoint - angle| over the run
  double overshoot_pct = 0.0;   // largest excursion beyond a new setpoint, % of the step
  double ring_deg = 0.0;        // error amplitude still left at the end of a step
  double settling_s = 0.0;      // time to stay within the band; a step's length when it never does
  double peak_current_a = 0.0;  // largest phase current magnitude
};

// Constraint failures, as bits: a candidate with any of them ranks after
// every candidate without.
enum Failure : unsigned {
  kLostControl = 1u << 0,  // the rotor ran away from the setpoint
  kOscillating = 1u << 1,  // an oscillation that does not decay
  kClamped = 1u << 2,      // the PID output at its clamp for more than the allowed share of the run
  kBadTrial = 1u << 3,     // the trial failed, threw, crashed, or gave figures that are not numbers
};
inline constexpr unsigned kAllFailures = kLostControl | kOscillating | kClamped | kBadTrial;

// "-" for none, else the names joined by commas: lost-control, oscillating,
// clamped, bad-trial. parse_failures returns false on an unknown name.
std::string failure_text(unsigned failures);
bool parse_failures(const std::string& text, unsigned& failures);

struct Evaluation {
  CostParts parts;
  double clamp_share = 0.0;  // share of control periods with the output at its clamp, 0..1
  unsigned failures = 0;     // the evaluator sets lost-control and oscillating
  double cost = 0.0;         // set by score()
  bool failed() const { return failures != 0; }
};

// The evaluator: one trial of the gains, measured. It runs inside a worker
// process and must give the same figures for the same gains whatever it
// evaluated before in that process.
using Evaluator = std::function<Evaluation(const Gains&)>;

// cost = iae x IAE + overshoot x overshoot% + ring x ring + settling x
// settling time + current x peak current. The defaults make the integral
// of the error the main term for 100 degree steps: 10 % overshoot, a
// settling time of 0.1 s and 2 A of peak current each weigh about 1 degree
// second.
struct Weights {
  double iae = 1.0;        // per degree second
  double overshoot = 0.1;  // per percent
  double ring = 1.0;       // per degree
  double settling = 10.0;  // per second
  double current = 0.5;    // per ampere
  double max_clamp_share = 0.25;  // more than this share of the run at the clamp fails
};

// "iae=1,overshoot=0.1,ring=1,settling=10,current=0.5,max_clamp_share=0.25":
// any subset, on top of `weights`; every weight finite, from 0 to 1e6, the
// share from 0 to 1. Throws TuneError naming `option`.
void parse_weights(const std::string& text, Weights& weights, const std::string& option = "--weights");
// All fields, numbers exact; parse_weights reads it back.
std::string weights_text(const Weights& weights);

// Adds kClamped (clamp share above the limit) and kBadTrial (a figure that
// is negative or not finite, a share outside 0..1) and sets the cost.
// Failures already set stay.
Evaluation score(Evaluation e, const Weights& weights);

// A trial that gave no figures (it threw, or its worker died): bad-trial,
// its figures and cost not numbers.
Evaluation bad_trial(const Weights& weights);

// Rank order: passing before failing, then by cost (a cost that is not a
// number last). Candidates that tie keep their order (stable sorts).
bool ranks_before(const Evaluation& a, const Evaluation& b);
// The value a minimiser sees: the cost of a passing candidate, and for a
// failing one a value above any plausible passing cost.
double minimised_value(const Evaluation& e);

// The worst of several scored evaluations of one candidate (its trials on
// motor variations): the worst one's cost and parts, the failures of all.
Evaluation worst_of(std::span<const Evaluation> scored);
// An evaluator that tries each of `count` variations and scores the worst
// (robust tuning): `trial(gains, v)` runs variation v.
Evaluator worst_case(std::function<Evaluation(const Gains&, std::size_t)> trial, std::size_t count,
                     const Weights& weights);

}  // namespace tune
