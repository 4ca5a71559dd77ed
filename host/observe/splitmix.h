// The seeded random numbers of the trials and the soak: splitmix64, small
// and the same on every platform.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vboard {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
  double log_uniform(double lo, double hi) { return lo * std::pow(hi / lo, unit()); }
  bool chance(double p) { return unit() < p; }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

 private:
  std::uint64_t state_;
};

}  // namespace vboard
