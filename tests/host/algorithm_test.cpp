// The PID step, the sine table and the inverse Park step against the shared
// vectors, and the control work chained behind the capture interrupt.
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
#include "vboard/board.h"
#include "vector_check.h"
#include "vectors/control_vectors.h"

namespace {

using namespace control_vectors;

float as_float(std::uint32_t bits) { return std::bit_cast<float>(bits); }

constexpr float kSentinel = 777.25f;

TEST(PidController, Vectors) {
  for (const PidCase& c : kPidCases) {
    SCOPED_TRACE(c.name);
    ST_PID pid{};
    pid.Des = as_float(c.before.Des);
    pid.FB = as_float(c.before.FB);
    pid.Kp = as_float(c.before.Kp);
    pid.Ki = as_float(c.before.Ki);
    pid.Kd = as_float(c.before.Kd);
    pid.PreE = as_float(c.before.PreE);
    pid.SumE = as_float(c.before.SumE);
    pid.UMax = as_float(c.before.UMax);
    pid.UMin = as_float(c.before.UMin);
    pid.EMin = as_float(c.before.EMin);
    // Fields the step writes without reading, and fields it must not touch.
    pid.E = kSentinel;
    pid.U = kSentinel;
    pid.PreU = kSentinel;
    pid.Limit = kSentinel;

    CalculatePID(&pid);

    EXPECT_BITS(pid.E, c.after.E);
    EXPECT_BITS(pid.SumE, c.after.SumE);
    EXPECT_BITS(pid.U, c.after.U);
    EXPECT_BITS(pid.PreE, c.after.PreE);
    // Inputs, limits and the unused fields stay as they were.
    EXPECT_BITS(pid.Des, c.before.Des);
    EXPECT_BITS(pid.FB, c.before.FB);
    EXPECT_BITS(pid.Kp, c.before.Kp);
    EXPECT_BITS(pid.Ki, c.before.Ki);
    EXPECT_BITS(pid.Kd, c.before.Kd);
    EXPECT_BITS(pid.UMax, c.before.UMax);
    EXPECT_BITS(pid.UMin, c.before.UMin);
    EXPECT_BITS(pid.EMin, c.before.EMin);
    EXPECT_EQ(pid.PreU, kSentinel);
    EXPECT_EQ(pid.Limit, kSentinel);
  }
}

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
    EXPECT_EQ(Sin_Table[i], kSinTable[i]);
  }
}

TEST(InversePark, Vectors) {
  for (const ParkCase& c : kParkCases) {
    SCOPED_TRACE(c.name);
    PARK park{};
    park.Id = 1;
    park.Iq = 2;
    park.IAlpha = 3;
    park.IBeta = 4;
    park.Ud = as_float(c.Ud);
    park.Uq = as_float(c.Uq);
    park.UAlpha = kSentinel;
    park.UBeta = kSentinel;
    park.Theta = c.Theta;
    park.ActId = 5.0f;
    park.ActIq = 6.0f;
    Costhe = 12345;
    Sinthe = 12345;

    Anti_Park_Calc(&park);

    EXPECT_EQ(Costhe, c.Costhe);
    EXPECT_EQ(Sinthe, c.Sinthe);
    EXPECT_BITS(park.UAlpha, c.UAlpha);
    EXPECT_BITS(park.UBeta, c.UBeta);
    EXPECT_EQ(park.Theta, c.Theta);
    EXPECT_BITS(park.Ud, c.Ud);
    EXPECT_BITS(park.Uq, c.Uq);
    EXPECT_EQ(park.Id, 1);
    EXPECT_EQ(park.Iq, 2);
    EXPECT_EQ(park.IAlpha, 3);
    EXPECT_EQ(park.IBeta, 4);
    EXPECT_EQ(park.ActId, 5.0f);
    EXPECT_EQ(park.ActIq, 6.0f);
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

// The control work as the main loop runs it, fed by the capture interrupt on
// the virtual board: decoder, PID, inverse Park and modulation chained, with
// the drive off until the first capture and again after two control works
// without one.
TEST(ControlChain, VectorsThroughTheCaptureInterrupt) {
  auto& board = vboard::board();
  board.reset();
  board.poke(0x40023840u, board.peek(0x40023840u) | (1u << 1) | (1u << 3));  // RCC APB1ENR: TIM3, TIM5 clock gates

  // Before any capture the loop runs with feedback 0 and transform angle 0.
  EXPECT_EQ(AbPitchAngle, 0.0f);
  EXPECT_EQ(MotorAPark.Theta, 0);

  int n = 0;
  for (const ChainStep& s : kChainSteps) {
    SCOPED_TRACE(::testing::Message() << "step " << n++);
    if (s.capture) {
      board.poke(0x40000434u, s.IC1Value);  // TIM3 CCR1: period
      board.poke(0x40000438u, s.IC2Value);  // TIM3 CCR2: high time
      TIM3_IRQHandler();
    }
    MotorAPosition.Des = as_float(s.Des);

    Control_Work();

    EXPECT_BITS(MotorAPosition.FB, s.FB);
    EXPECT_BITS(MotorAPosition.E, s.E);
    EXPECT_BITS(MotorAPosition.SumE, s.SumE);
    EXPECT_BITS(MotorAPosition.U, s.U);
    EXPECT_BITS(MotorAPosition.PreE, s.PreE);
    EXPECT_EQ(MotorAPark.Theta, s.Theta);
    EXPECT_EQ(Costhe, s.Costhe);
    EXPECT_EQ(Sinthe, s.Sinthe);
    EXPECT_BITS(MotorASVPWM.UAlpha, s.UAlpha);
    EXPECT_BITS(MotorASVPWM.UBeta, s.UBeta);
    EXPECT_EQ(MotorASVPWM.Ua, s.Ua);
    EXPECT_EQ(MotorASVPWM.Ub, s.Ub);
    EXPECT_EQ(MotorASVPWM.Uc, s.Uc);
    EXPECT_EQ(MotorASVPWM.Tx, s.Tx);
    EXPECT_EQ(MotorASVPWM.Ty, s.Ty);
    EXPECT_EQ(MotorASVPWM.Tz, s.Tz);
    EXPECT_EQ(MotorASVPWM.taOn, s.taOn);
    EXPECT_EQ(MotorASVPWM.tbOn, s.tbOn);
    EXPECT_EQ(MotorASVPWM.tcOn, s.tcOn);
    // The compare registers hold them, waiting for the next update event.
    EXPECT_EQ(board.peek(TIM5_BASE + 0x34), static_cast<std::uint32_t>(s.taOn));
    EXPECT_EQ(board.peek(TIM5_BASE + 0x38), static_cast<std::uint32_t>(s.tbOn));
    EXPECT_EQ(board.peek(TIM5_BASE + 0x3C), static_cast<std::uint32_t>(s.tcOn));
    // With the PID output within its limits and Ud 0, the outputs stay
    // within 12 * 65536.
    EXPECT_LE(std::fabs(MotorASVPWM.UAlpha), 786432.0f);
    EXPECT_LE(std::fabs(MotorASVPWM.UBeta), 786432.0f);
  }
  board.reset();
}

}  // namespace
