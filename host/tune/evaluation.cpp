#include "evaluation.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

namespace tune {

namespace {

struct FailureName {
  unsigned bit;
  const char* name;
};
constexpr FailureName kFailureNames[] = {
    {kLostControl, "lost-control"}, {kOscillating, "oscillating"}, {kClamped, "clamped"}, {kBadTrial, "bad-trial"}};

struct WeightField {
  const char* name;
  double Weights::*field;
};
constexpr WeightField kWeightFields[] = {{"iae", &Weights::iae},
                                         {"overshoot", &Weights::overshoot},
                                         {"ring", &Weights::ring},
                                         {"settling", &Weights::settling},
                                         {"current", &Weights::current},
                                         {"max_clamp_share", &Weights::max_clamp_share}};

[[noreturn]] void bad_weight(const std::string& option, const std::string& item, const char* why) {
  throw TuneError(option + ": '" + item + "' " + why);
}

bool sound(double v) { return std::isfinite(v) && v >= 0.0; }

// A cost above any plausible passing one: a failing candidate stays behind
// every passing one for a minimiser too, and among failing ones the cheaper
// is still preferred.
constexpr double kFailedBase = 1e12;

}  // namespace

std::string failure_text(unsigned failures) {
  std::string text;
  for (const auto& f : kFailureNames) {
    if ((failures & f.bit) == 0) continue;
    if (!text.empty()) text += ',';
    text += f.name;
  }
  return text.empty() ? "-" : text;
}

bool parse_failures(const std::string& text, unsigned& failures) {
  failures = 0;
  if (text == "-") return true;
  std::istringstream in(text);
  std::string name;
  while (std::getline(in, name, ',')) {
    bool known = false;
    for (const auto& f : kFailureNames) {
      if (name == f.name) {
        failures |= f.bit;
        known = true;
      }
    }
    if (!known) return false;
  }
  return failures != 0;
}

void parse_weights(const std::string& text, Weights& w, const std::string& option) {
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const auto eq = item.find('=');
    const std::string name = item.substr(0, eq);
    const WeightField* field = nullptr;
    for (const auto& f : kWeightFields) {
      if (name == f.name) field = &f;
    }
    if (eq == std::string::npos || field == nullptr) {
      bad_weight(option, item, "is not NAME=VALUE with NAME one of iae, overshoot, ring, settling, current, "
                               "max_clamp_share");
    }
    double v = 0.0;
    const bool share = field->field == &Weights::max_clamp_share;
    if (!read_number(item.substr(eq + 1), v) || !std::isfinite(v) || v < 0.0 || v > (share ? 1.0 : 1e6)) {
      bad_weight(option, item, share ? "must be a number from 0 to 1" : "must be a number from 0 to 1e6");
    }
    w.*(field->field) = v;
  }
}

std::string weights_text(const Weights& w) {
  std::string text;
  for (const auto& f : kWeightFields) {
    if (!text.empty()) text += ',';
    text += std::string(f.name) + "=" + number_text(w.*(f.field));
  }
  return text;
}

Evaluation score(Evaluation e, const Weights& w) {
  const CostParts& p = e.parts;
  if (!(sound(p.iae_deg_s) && sound(p.overshoot_pct) && sound(p.ring_deg) && sound(p.settling_s) &&
        sound(p.peak_current_a) && sound(e.clamp_share) && e.clamp_share <= 1.0)) {
    e.failures |= kBadTrial;
  }
  if (e.clamp_share > w.max_clamp_share) e.failures |= kClamped;
  e.failures &= kAllFailures;
  e.cost = w.iae * p.iae_deg_s + w.overshoot * p.overshoot_pct + w.ring * p.ring_deg + w.settling * p.settling_s +
           w.current * p.peak_current_a;
  return e;
}

Evaluation bad_trial(const Weights& weights) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Evaluation e;
  e.parts = {nan, nan, nan, nan, nan};
  e.clamp_share = nan;
  e.failures = kBadTrial;
  return score(e, weights);
}

double minimised_value(const Evaluation& e) {
  const double c = std::isfinite(e.cost) ? std::min(e.cost, kFailedBase) : kFailedBase;
  return e.failed() ? kFailedBase + c : c;
}

bool ranks_before(const Evaluation& a, const Evaluation& b) {
  if (a.failed() != b.failed()) return !a.failed();
  const bool an = std::isnan(a.cost), bn = std::isnan(b.cost);
  if (an || bn) return !an && bn;
  return a.cost < b.cost;
}

Evaluation worst_of(std::span<const Evaluation> scored) {
  if (scored.empty()) return {};
  const Evaluation* worst = &scored[0];
  unsigned failures = 0;
  for (const auto& e : scored) {
    failures |= e.failures;
    if (ranks_before(*worst, e)) worst = &e;
  }
  Evaluation w = *worst;
  w.failures = failures;
  return w;
}

Evaluator worst_case(std::function<Evaluation(const Gains&, std::size_t)> trial, std::size_t count,
                     const Weights& weights) {
  return [trial = std::move(trial), count, weights](const Gains& g) {
    std::vector<Evaluation> each;
    each.reserve(count);
    for (std::size_t v = 0; v < count; ++v) each.push_back(score(trial(g, v), weights));
    return worst_of(each);
  };
}

}  // namespace tune
