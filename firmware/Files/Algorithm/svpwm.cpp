#include "svpwm.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// UAlpha and UBeta carry the sine table's scale.
constexpr float kScale = 65536.0f;
// Largest undistorted vector, supply / sqrt(3), in the input's scale, and
// its square for the length test.
constexpr float kLimit = kSupplyVoltage * kScale * 0.577350269f;
constexpr float kLimitSquared = kLimit * kLimit;
constexpr float kHalfSqrt3 = 0.866025404f;
constexpr float kTiny = 0x1p-64f;
// Compare counts per input unit: the supply spans the whole period.
constexpr float kCountsPerUnit = static_cast<float>(kPwmPeriod) / (kSupplyVoltage * kScale);
constexpr float kHalfCountsPerUnit = 0.5f * kCountsPerUnit;
// Half the period, where a phase with no voltage of its own sits, plus one
// half so that the truncating conversion rounds to the nearest count.
constexpr float kCentreRounded = static_cast<float>(kPwmPeriod) / 2.0f + 0.5f;

}  // namespace

void SVPWM_Zero(SVPWM* v) {
  v->Ua = 0;
  v->Ub = 0;
  v->Uc = 0;
  v->Tx = 0;
  v->Ty = 0;
  v->Tz = kPwmPeriod;
  v->taOn = kPwmPeriod / 2;
  v->tbOn = kPwmPeriod / 2;
  v->tcOn = kPwmPeriod / 2;
}

void SVPWM_Calc(SVPWM* v) {
  float alpha = v->UAlpha;
  float beta = v->UBeta;

  // A vector outside the limit circle is brought back onto it, direction
  // kept; NaN fails the test too and is caught here with infinity.
  const float length_squared = alpha * alpha + beta * beta;
  if (!(length_squared <= kLimitSquared)) {
    if (!std::isfinite(alpha) || !std::isfinite(beta)) {
      SVPWM_Zero(v);
      return;
    }
    float shrink_squared = length_squared;
    if (!(shrink_squared <= std::numeric_limits<float>::max())) {
      // Finite, but the squares overflowed: the same direction at 2^-64 of
      // the length (an exact scaling) has a finite square.
      alpha = alpha * kTiny;
      beta = beta * kTiny;
      shrink_squared = alpha * alpha + beta * beta;
    }
    const float shrink = kLimit / std::sqrt(shrink_squared);
    alpha = alpha * shrink;
    beta = beta * shrink;
  }

  // Phase references: the vector projected onto the axes of phases A, B
  // and C (0, 120 and 240 degrees).
  const float half = -0.5f * alpha;
  const float cross = kHalfSqrt3 * beta;
  const float va = alpha;
  const float vb = half + cross;
  const float vc = half - cross;
  v->Ua = static_cast<std::int32_t>(va);
  v->Ub = static_cast<std::int32_t>(vb);
  v->Uc = static_cast<std::int32_t>(vc);

  // Min-max injection: the common offset that centres the highest and the
  // lowest phase in the period gives the centred space-vector pattern.
  const float top_ab = va > vb ? va : vb;
  const float bottom_ab = va > vb ? vb : va;
  const float top = top_ab > vc ? top_ab : vc;
  const float bottom = bottom_ab < vc ? bottom_ab : vc;
  const float offset = kCentreRounded - (top + bottom) * kHalfCountsPerUnit;

  // Within the limit the highest and the lowest phase are at most the
  // supply apart, so each value lies in [0.5, 50.5] give or take a rounding
  // and converts to 0..50.
  const auto on_time = [offset](float phase) {
    return static_cast<std::int32_t>(phase * kCountsPerUnit + offset);
  };
  const std::int32_t ta = on_time(va);
  const std::int32_t tb = on_time(vb);
  const std::int32_t tc = on_time(vc);
  v->taOn = ta;
  v->tbOn = tb;
  v->tcOn = tc;

  // The active vectors' times follow from the sorted compare values: the
  // highest phase alone is high for (high - middle), the two upper phases
  // together for (middle - low), and the rest of the half period is the
  // zero vectors (all low at the top of the count, all high at the bottom).
  const std::int32_t high = on_time(top);
  const std::int32_t low = on_time(bottom);
  const std::int32_t middle = ta + tb + tc - high - low;
  v->Tx = high - middle;
  v->Ty = middle - low;
  v->Tz = kPwmPeriod - (high - low);
}
