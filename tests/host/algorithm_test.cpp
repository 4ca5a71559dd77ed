// The PID step, the sine table and the inverse Park step beyond the shared
// vectors (tests/shared runs those on both builds).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "algorithm.h"
#include "control_work.h"
#include "coordTrans.h"
#include "global_variable.h"
#include "handlers.h"
#include "vboard/board/board.h"
#include "vector_check.h"
#include "vectors/control_vectors.h"

namespace {

using namespace control_vectors;

// The record the firmware starts with gives the documented first step.
TEST(PidController, FirstStepOfThePositionLoopRecord) {
  vboard::board().reset();
  MotorAPosition.Des = 100.0f;
  MotorAPosition.FB = 0.0f;
  CalculatePID(&MotorAPosition);
  EXPECT_EQ(MotorAPosition.E, 100.0f);
  EXPECT_EQ(MotorAPosition.SumE, 100.0f);
  EXPECT_EQ(MotorAPosition.PreE, 100.0f);
  EXPECT_EQ(MotorAPosition.U, 12.0f);  // 26 + 4 + 6 = 36, clamped
  // Unclamped, the same step would be 36 (within rounding): the gains are
  // the ones the vectors assume.
  MotorAPosition.UMax = 1000.0f;
  MotorAPosition.SumE = 0.0f;
  MotorAPosition.PreE = 0.0f;
  CalculatePID(&MotorAPosition);
  EXPECT_NEAR(MotorAPosition.U, 36.0f, 1e-4f);
  vboard::board().reset();
}

// A NaN that enters the integral stays there: every later step is NaN too.
TEST(PidController, NaNStaysInTheIntegral) {
  ST_PID pid{.Des = 10.0f, .FB = std::nanf(""), .Kp = 0.26f, .Ki = 0.04f, .Kd = 0.06f, .E = 0.0f,
             .PreE = 0.0f, .SumE = 0.0f, .U = 0.0f, .PreU = 0.0f, .Limit = 0.0f, .UMax = 12.0f,
             .UMin = -12.0f, .EMin = 0.0f};
  CalculatePID(&pid);
  EXPECT_TRUE(std::isnan(pid.U));
  pid.FB = 10.0f;
  for (int step = 0; step < 3; ++step) {
    CalculatePID(&pid);
    EXPECT_EQ(pid.E, 0.0f);
    EXPECT_TRUE(std::isnan(pid.SumE));
    EXPECT_TRUE(std::isnan(pid.U));
  }
}

TEST(SineTable, EveryEntryIsTheTruncatedDoubleSine) {
  for (int i = 0; i <= 180; ++i) {
    SCOPED_TRACE(i);
    const double exact = std::sin(static_cast<double>(i) * std::numbers::pi / 180.0) * 65536.0;
    EXPECT_EQ(Sin_Table[i], static_cast<std::int32_t>(exact));
  }
}

// Over every whole degree the looked-up pair is the true cosine and sine,
// scaled and truncated toward zero: catches a wrong quadrant or index.
TEST(InversePark, QuadrantsOverAFullTurn) {
  for (std::int32_t theta = 0; theta <= 360; ++theta) {
    SCOPED_TRACE(theta);
    PARK park{};
    park.Theta = theta;
    park.Uq = 1.0f;
    Anti_Park_Calc(&park);
    const double radians = static_cast<double>(theta) * std::numbers::pi / 180.0;
    const double cosine = std::cos(radians) * 65536.0;
    const double sine = std::sin(radians) * 65536.0;
    EXPECT_LT(std::fabs(cosine - Costhe), 1.0 + 1e-6);
    EXPECT_LE(std::abs(Costhe), std::fabs(cosine) + 1e-6);
    EXPECT_LT(std::fabs(sine - Sinthe), 1.0 + 1e-6);
    EXPECT_LE(std::abs(Sinthe), std::fabs(sine) + 1e-6);
    // With Ud 0 and Uq 1 the outputs are the scaled -sine and cosine.
    EXPECT_EQ(park.UAlpha, -static_cast<float>(Sinthe));
    EXPECT_EQ(park.UBeta, static_cast<float>(Costhe));
  }
}

// Angles outside 0..360 are wrapped into one turn instead of indexing past
// the table.
TEST(InversePark, AnglesOutsideOneTurnAreWrapped) {
  for (std::int32_t theta : {361, 400, 719, 1000, 65535, 65536, 2147483647, -1, -89, -359, -360, -65536,
                             -2147483647 - 1}) {
    SCOPED_TRACE(theta);
    std::int32_t wrapped = theta % 360;
    if (wrapped < 0) wrapped += 360;
    PARK reference{};
    reference.Theta = wrapped;
    reference.Ud = 1.5f;
    reference.Uq = -7.0f;
    Anti_Park_Calc(&reference);
    const std::int32_t cos_ref = Costhe;
    const std::int32_t sin_ref = Sinthe;

    PARK park{};
    park.Theta = theta;
    park.Ud = 1.5f;
    park.Uq = -7.0f;
    Anti_Park_Calc(&park);
    EXPECT_EQ(Costhe, cos_ref);
    EXPECT_EQ(Sinthe, sin_ref);
    EXPECT_EQ(park.UAlpha, reference.UAlpha);
    EXPECT_EQ(park.UBeta, reference.UBeta);
  }
}

}  // namespace
