// The remainder of a turn without the library call is the library's, bit for
// bit: at the turn boundaries and their neighbours, on both sides of zero,
// and over a spread of angles within and beyond two turns.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "vboard/plant/degrees.h"

namespace {

std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

void expect_as_fmod(double x) {
  const double want = std::fmod(x, 360.0);
  const double got = vboard::fmod_360(x);
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << x;
  } else {
    EXPECT_EQ(bits_of(got), bits_of(want)) << "x = " << x << ": " << got << " against fmod's " << want;
  }
}

TEST(FmodThreeSixty, BoundariesAndTheirNeighbours) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::vector<double> xs{0.0, -0.0, kInf, -kInf, std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min()};
  for (double edge : {180.0, 360.0, 540.0, 720.0, 1080.0, 1440.0}) {
    for (double sign : {1.0, -1.0}) {
      double below = sign * edge, above = sign * edge;
      for (int k = 0; k < 4; ++k) {
        xs.push_back(below);
        xs.push_back(above);
        below = std::nextafter(below, 0.0);
        above = std::nextafter(above, sign * kInf);
      }
    }
  }
  for (double x : xs) expect_as_fmod(x);
}

TEST(FmodThreeSixty, SpreadOfAngles) {
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> near(-800.0, 800.0);
  std::uniform_real_distribution<double> far(-1e7, 1e7);
  for (int n = 0; n < 100000; ++n) {
    expect_as_fmod(near(rng));
    expect_as_fmod(far(rng));
  }
  // What the sensor's paths wrap: a remainder moved up by a turn.
  for (int n = 0; n < 100000; ++n) expect_as_fmod(std::fmod(near(rng), 360.0) + 360.0);
}

}  // namespace
