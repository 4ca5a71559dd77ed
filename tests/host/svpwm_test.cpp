// The modulation stage: stator-frame voltages (volts x 65536) to the three
// compare values of TIM5, centred space-vector form, limited to the circle
// the bridge can make, zero vector for bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#include "coordTrans.h"
#include "svpwm.h"
#include "vector_check.h"
#include "vectors/control_vectors.h"

namespace {

using namespace control_vectors;

constexpr double kVolt = 65536.0;  // input scale
// supply / sqrt(3) in the input scale
const double kLimit = 12.0 / std::numbers::sqrt3 * kVolt;

SVPWM modulate(double alpha, double beta) {
  SVPWM v{};
  v.UAlpha = static_cast<float>(alpha);
  v.UBeta = static_cast<float>(beta);
  v.Ua = v.Ub = v.Uc = v.Tx = v.Ty = v.Tz = v.taOn = v.tbOn = v.tcOn = -7;  // all must be written
  SVPWM_Calc(&v);
  return v;
}

SVPWM polar(double volts, double degrees) {
  const double t = degrees * std::numbers::pi / 180.0;
  return modulate(volts * kVolt * std::cos(t), volts * kVolt * std::sin(t));
}

void expect_zero_vector(const SVPWM& v) {
  EXPECT_EQ(v.taOn, 25);
  EXPECT_EQ(v.tbOn, 25);
  EXPECT_EQ(v.tcOn, 25);
  EXPECT_EQ(v.Tx, 0);
  EXPECT_EQ(v.Ty, 0);
  EXPECT_EQ(v.Tz, 50);
  EXPECT_EQ(v.Ua, 0);
  EXPECT_EQ(v.Ub, 0);
  EXPECT_EQ(v.Uc, 0);
}

// What every output must satisfy, whatever came in.
void expect_well_formed(const SVPWM& v) {
  for (std::int32_t t : {v.taOn, v.tbOn, v.tcOn, v.Tx, v.Ty, v.Tz}) {
    EXPECT_GE(t, 0);
    EXPECT_LE(t, 50);
  }
  EXPECT_EQ(v.Tx + v.Ty + v.Tz, 50);
}

TEST(Modulation, ZeroVectorGivesThreeHalfDuties) {
  expect_zero_vector(modulate(0.0, 0.0));
  expect_zero_vector(modulate(-0.0, -0.0));
  SVPWM v = modulate(100000.0, 200000.0);
  v.UAlpha = 1.0f;
  SVPWM_Zero(&v);
  expect_zero_vector(v);
  EXPECT_EQ(v.UAlpha, 1.0f) << "the input is left alone";
}

// 4.8 V is 20 counts of the 50-count half period (12 V spans it). Worked by
// hand: the phase voltages are 20 cos(angle - 0, 120, 240 degrees) counts;
// the offset that centres the highest and the lowest phase is subtracted;
// each phase sits at 25 plus what is left, rounded to the nearest count.
// Tx is the time of the vector with one phase high (highest - middle), Ty
// the one with two phases high (middle - lowest), Tz the zero vectors.
TEST(Modulation, SectorsAndTheirBoundariesWorkedByHand) {
  struct Case {
    double degrees;
    std::int32_t ta, tb, tc, tx, ty, tz;
  };
  const Case cases[] = {
      // On the boundaries only one active vector is used: phases 20, -10,
      // -10 with offset 5 give 40, 10, 10 at 0 degrees (vector 100), and
      // the pattern turns on by one phase every 60 degrees.
      {0, 40, 10, 10, 30, 0, 20},
      {60, 40, 40, 10, 0, 30, 20},
      {120, 10, 40, 10, 30, 0, 20},
      {180, 10, 40, 40, 0, 30, 20},
      {240, 10, 10, 40, 30, 0, 20},
      {300, 40, 10, 40, 0, 30, 20},
      // 15 degrees into each sector. Sector 1 at 15: phases 19.32, -5.18,
      // -14.14, offset 2.59: 41.73, 17.24, 8.27 -> 42, 17, 8; 100 for 25
      // counts, 110 for 9 (sqrt(3) x 20 x sin 45 and sin 15 are 24.5 and
      // 8.97). In sector 2 the same times fall to 110 and 010 the other way.
      {15, 42, 17, 8, 25, 9, 16},
      {75, 33, 42, 8, 9, 25, 16},
      {135, 8, 42, 17, 25, 9, 16},
      {195, 8, 33, 42, 9, 25, 16},
      {255, 17, 8, 42, 25, 9, 16},
      {315, 42, 8, 33, 9, 25, 16},
      // The middle of sector 1: phases 17.32, 0, -17.32, no offset.
      {30, 42, 25, 8, 17, 17, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.degrees);
    const SVPWM v = polar(4.8, c.degrees);
    EXPECT_EQ(v.taOn, c.ta);
    EXPECT_EQ(v.tbOn, c.tb);
    EXPECT_EQ(v.tcOn, c.tc);
    EXPECT_EQ(v.Tx, c.tx);
    EXPECT_EQ(v.Ty, c.ty);
    EXPECT_EQ(v.Tz, c.tz);
    // Phase references in the input's scale: 4.8 V projected on each axis.
    const double t = c.degrees * std::numbers::pi / 180.0;
    EXPECT_NEAR(v.Ua, 4.8 * kVolt * std::cos(t), 2.0);
    EXPECT_NEAR(v.Ub, 4.8 * kVolt * std::cos(t - 2.0 * std::numbers::pi / 3.0), 2.0);
    EXPECT_NEAR(v.Uc, 4.8 * kVolt * std::cos(t + 2.0 * std::numbers::pi / 3.0), 2.0);
  }
}

// The phase references describe the vector actually applied: alpha is Ua,
// beta is (Ub - Uc) / sqrt(3).
double applied_length(const SVPWM& v) {
  const double a = v.Ua;
  const double b = (static_cast<double>(v.Ub) - v.Uc) / std::numbers::sqrt3;
  return std::hypot(a, b);
}
double applied_angle(const SVPWM& v) {
  return std::atan2((static_cast<double>(v.Ub) - v.Uc) / std::numbers::sqrt3, static_cast<double>(v.Ua));
}

TEST(Modulation, LongVectorsAreShortenedToTheLimitDirectionKept) {
  // Exactly supply / sqrt(3) in the middle of sector 1: the highest phase is
  // on for the whole period, the lowest not at all.
  const SVPWM at_limit = polar(12.0 / std::numbers::sqrt3, 30.0);
  EXPECT_EQ(at_limit.taOn, 50);
  EXPECT_EQ(at_limit.tbOn, 25);
  EXPECT_EQ(at_limit.tcOn, 0);
  EXPECT_EQ(at_limit.Tz, 0);
  // Along phase A the same length is not shortened: 1.5 x 28.87 counts
  // between the phases.
  const SVPWM along_a = modulate(kLimit, 0.0);
  EXPECT_EQ(along_a.taOn, 47);
  EXPECT_EQ(along_a.tbOn, 3);
  EXPECT_EQ(along_a.tcOn, 3);
  // A little longer changes nothing but the length.
  const SVPWM longer = modulate(kLimit * 1.001, 0.0);
  EXPECT_EQ(longer.taOn, 47);
  EXPECT_NEAR(applied_length(longer), kLimit, 2.0);

  // The PID's full 12 V at every angle of the table, both signs: shortened
  // to the limit with its direction, duties in range, and in the middle of
  // each sector one phase fully on and one fully off.
  for (float uq : {12.0f, -12.0f}) {
    for (int theta = 0; theta < 360; ++theta) {
      SCOPED_TRACE(::testing::Message() << "Uq " << uq << " Theta " << theta);
      PARK park{};
      park.Theta = theta;
      park.Uq = uq;
      Anti_Park_Calc(&park);
      SVPWM v{};
      v.UAlpha = park.UAlpha;
      v.UBeta = park.UBeta;
      SVPWM_Calc(&v);
      expect_well_formed(v);
      EXPECT_NEAR(applied_length(v), kLimit, 3.0);
      double turn = applied_angle(v) - std::atan2(static_cast<double>(park.UBeta), static_cast<double>(park.UAlpha));
      turn = std::remainder(turn, 2.0 * std::numbers::pi);
      EXPECT_NEAR(turn, 0.0, 1e-5);
      // The vector's own angle, 0..360; sector middles at 30 + 60k.
      const double angle = std::fmod(applied_angle(v) * 180.0 / std::numbers::pi + 360.0, 360.0);
      if (std::fabs(std::remainder(angle - 30.0, 60.0)) < 0.5) {
        EXPECT_EQ(std::max({v.taOn, v.tbOn, v.tcOn}), 50);
        EXPECT_EQ(std::min({v.taOn, v.tbOn, v.tcOn}), 0);
      }
    }
  }

  // Finite but so long that its square overflows: still shortened, not
  // taken for infinity.
  const SVPWM huge = modulate(1e30, -1e30);
  expect_well_formed(huge);
  EXPECT_NEAR(applied_length(huge), kLimit, 3.0);
  EXPECT_NEAR(applied_angle(huge), -std::numbers::pi / 4.0, 1e-5);
  const SVPWM largest = modulate(std::numeric_limits<float>::max(), 0.0);
  EXPECT_EQ(largest.taOn, 47);
  EXPECT_EQ(largest.tbOn, 3);
}

TEST(Modulation, NaNAndInfinityGiveTheZeroVector) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double bad[][2] = {{nan, 0.0}, {0.0, nan}, {nan, nan}, {inf, 0.0}, {0.0, -inf}, {-inf, inf}, {nan, inf},
                           {786432.0, nan}, {inf, 786432.0}};
  for (const auto& b : bad) {
    SCOPED_TRACE(::testing::Message() << b[0] << ", " << b[1]);
    expect_zero_vector(modulate(b[0], b[1]));
  }
}

}  // namespace
