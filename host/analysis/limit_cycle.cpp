#include "limit_cycle.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace analysis {

namespace {

AmplitudeCrossover crossover_at(double amplitude, std::span<const FrequencyPoint> loop) {
  AmplitudeCrossover c{amplitude, std::nullopt, 0.0};
  // The points lie near the phase crossover: the first is put within 180
  // degrees of -180, and the first passage of -180 is taken.
  const std::vector<double> phase = unwrapped_phase_deg(loop, -180.0);
  for (const FrequencyPoint& p : loop) {
    if (!(std::abs(p.h) > 0.0)) throw std::invalid_argument("the loop gain is zero at " + std::to_string(p.hz) + " Hz");
  }
  for (std::size_t i = 0; i + 1 < loop.size(); ++i) {
    if ((phase[i] >= -180.0) == (phase[i + 1] >= -180.0)) continue;
    const double t = (-180.0 - phase[i]) / (phase[i + 1] - phase[i]);
    const double g0 = 20.0 * std::log10(std::abs(loop[i].h));
    const double g1 = 20.0 * std::log10(std::abs(loop[i + 1].h));
    c.hz = loop[i].hz * std::pow(loop[i + 1].hz / loop[i].hz, t);
    c.gain_db = g0 + t * (g1 - g0);
    break;
  }
  return c;
}

}  // namespace

LimitCycle predict_limit_cycle(std::span<const DescribingPoint> table, const PidGains& gains, double period_s) {
  std::vector<DescribingPoint> rows(table.begin(), table.end());
  for (const DescribingPoint& r : rows) {
    if (!(std::isfinite(r.amplitude) && r.amplitude > 0.0 && std::isfinite(r.hz) && r.hz > 0.0 &&
          std::isfinite(r.p.real()) && std::isfinite(r.p.imag()))) {
      throw std::invalid_argument("a describing-function point needs a finite amplitude and frequency above 0 "
                                  "and a finite response");
    }
  }
  std::sort(rows.begin(), rows.end(), [](const DescribingPoint& a, const DescribingPoint& b) {
    return a.amplitude != b.amplitude ? a.amplitude < b.amplitude : a.hz < b.hz;
  });

  LimitCycle out;
  for (std::size_t begin = 0; begin < rows.size();) {
    std::size_t end = begin;
    Response plant;
    for (; end < rows.size() && rows[end].amplitude == rows[begin].amplitude; ++end) {
      if (!plant.empty() && rows[end].hz == plant.back().hz) {
        throw std::invalid_argument("a describing-function table repeats a frequency at one amplitude");
      }
      plant.push_back({rows[end].hz, rows[end].p});
    }
    out.crossovers.push_back(crossover_at(rows[begin].amplitude, loop_gain(gains, plant, period_s)));
    begin = end;
  }

  const AmplitudeCrossover* previous = nullptr;
  for (const AmplitudeCrossover& c : out.crossovers) {
    if (!c.hz) continue;
    if (previous != nullptr && (previous->gain_db >= 0.0) != (c.gain_db >= 0.0)) {
      const double t = -previous->gain_db / (c.gain_db - previous->gain_db);
      out.predicted.push_back({previous->amplitude * std::pow(c.amplitude / previous->amplitude, t),
                               *previous->hz * std::pow(*c.hz / *previous->hz, t), c.gain_db < previous->gain_db});
    }
    previous = &c;
  }
  return out;
}

}  // namespace analysis
