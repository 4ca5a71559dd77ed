// The sensor PWM angle decoder beyond the shared vectors (tests/shared runs
// those, directly and through the capture interrupt, on both builds).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "angle_decoder.h"
#include "coordTrans.h"
#include "drv_rcc.h"
#include "global_variable.h"
#include "handlers.h"
#include "vboard/board/board.h"
#include "vector_check.h"
#include "vectors/control_vectors.h"

namespace {

using namespace control_vectors;

constexpr std::uintptr_t kRccApb1enr = RCC_BASE + offsetof(RCC_TypeDef, APB1ENR);
constexpr std::uintptr_t kTim3Dier = TIM3_BASE + offsetof(TIM_TypeDef, DIER);
constexpr std::uintptr_t kTim3Sr = TIM3_BASE + offsetof(TIM_TypeDef, SR);
constexpr std::uintptr_t kTim3Ccr1 = TIM3_BASE + offsetof(TIM_TypeDef, CCR1);
constexpr std::uintptr_t kTim3Ccr2 = TIM3_BASE + offsetof(TIM_TypeDef, CCR2);

void open_tim3_gate() {
  auto& board = vboard::board();
  board.poke(kRccApb1enr, board.peek(kRccApb1enr) | RCC_APB1Periph_TIM3);
}

// The handler clears the capture-1 flag, and its overcapture flag when set,
// with one write of their complement and then reads the two captures; the
// other status bits survive.
TEST(AngleDecoder, InterruptAcknowledgesCapture1Only) {
  auto& board = vboard::board();
  board.reset();
  open_tim3_gate();
  // UIF, CC1IF, CC3IF, CC4IF, TIF and the four overcapture flags. CC2IF is
  // left out: reading the capture-2 register may clear it.
  constexpr std::uint32_t kRaised = 0x1E5Bu;
  static_assert((kRaised & (TIM_SR_UIF | TIM_SR_CC1IF | TIM_SR_TIF | TIM_SR_CC1OF | TIM_SR_CC2OF)) ==
                (TIM_SR_UIF | TIM_SR_CC1IF | TIM_SR_TIF | TIM_SR_CC1OF | TIM_SR_CC2OF));
  static_assert((kRaised & TIM_SR_CC2IF) == 0);
  board.poke(kTim3Sr, kRaised);
  board.poke(kTim3Ccr1, 10500);
  board.poke(kTim3Ccr2, 5250);
  const std::uint64_t accesses = board.register_accesses();

  TIM3_IRQHandler();

  EXPECT_EQ(board.peek(kTim3Sr) & 0xFFFFu, kRaised & ~std::uint32_t{TIM_SR_CC1IF | TIM_SR_CC1OF});
  // The status read once on entry (an overflow alone is not a capture),
  // the acknowledge, the two counts that time the capture (TIM2's and
  // TIM3's), two captures, and the overflow test after them (status and
  // enable); the update interrupt is off here, so UIF is not taken.
  EXPECT_EQ(board.register_accesses() - accesses, 8u);
  EXPECT_EQ(IC1Value, 10500u);
  EXPECT_EQ(IC2Value, 5250u);
  EXPECT_EQ(Frequency, 1000.0f);
  EXPECT_NEAR(DutyCycle, 50.2679f, 1e-4f);
  EXPECT_NEAR(PitchAngle, 140.964f, 1e-3f);
  board.reset();
}

// A counter overflow (UIF; with URS set only an overflow raises it) marks
// the running period: the capture that ends it is skipped like a period of
// 0, the one after it decoded. An overflow found together with a capture
// may have come before or after it: that capture and the next are skipped.
TEST(AngleDecoder, CapturesThatMaySpanACounterOverflowAreSkipped) {
  auto& board = vboard::board();
  board.reset();
  open_tim3_gate();
  board.poke(kTim3Dier, std::uint32_t{TIM_DIER_CC1IE} | TIM_DIER_UIE);
  board.poke(kTim3Ccr1, 10500);    // inside the sensor's range
  board.poke(kTim3Ccr2, 5250);
  auto entry = [&](std::uint32_t sr) {
    board.poke(kTim3Sr, sr);
    const std::uint32_t decoded = DecodedCaptures;
    DutyCycle = -1.0f;
    TIM3_IRQHandler();
    EXPECT_EQ(board.peek(kTim3Sr) & 0x0003u, 0u) << "both flags acknowledged";
    return DecodedCaptures != decoded;
  };
  EXPECT_FALSE(entry(0x0001u));
  EXPECT_EQ(DutyCycle, -1.0f) << "an overflow alone is no capture";
  EXPECT_FALSE(entry(0x0002u)) << "the period spans the overflow";
  EXPECT_EQ(DutyCycle, 0.0f);
  EXPECT_EQ(Frequency, 0.0f);
  EXPECT_TRUE(entry(0x0002u)) << "a whole period again";
  EXPECT_FALSE(entry(0x0003u)) << "overflow and capture together";
  EXPECT_FALSE(entry(0x0002u)) << "the overflow may have come after the last capture";
  EXPECT_TRUE(entry(0x0002u));
  EXPECT_TRUE(entry(0x0000u)) << "no flag at all: taken as a capture, as before";
  board.reset();
}

// Captures no frame of the sensor's can carry are skipped like a period of
// 0: a high time shorter than the start and error bits (16 of the frame's
// 4119 clocks), or longer than the period less the end bits (8 clocks).
// Each is judged as the first after reset, with nothing to follow.
TEST(AngleDecoder, HighTimesOutsideTheFrameAreSkipped) {
  auto& board = vboard::board();
  board.reset();
  open_tim3_gate();
  struct Case {
    std::uint16_t period, high;
    bool decoded;
  } cases[] = {{10500, 0, false},    {10500, 37, false},   {10500, 38, true},       {10500, 10482, true},
               {10500, 10483, false}, {10500, 10500, false}, {9450, 9434, true},     {9450, 9435, false},
               {11783, 43, true},     {11783, 42, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.high);
    board.poke(kTim3Ccr1, c.period);
    board.poke(kTim3Ccr2, c.high);
    board.poke(kTim3Sr, TIM_SR_CC1IF);
    Capture_Check_Reset();
    const std::uint32_t decoded = DecodedCaptures;
    TIM3_IRQHandler();
    EXPECT_EQ(DecodedCaptures != decoded, c.decoded);
    if (!c.decoded) {
      EXPECT_EQ(Frequency, 0.0f);
    }
  }
  board.reset();
}

// Angular distance between two angles in degrees.
float separation(float a, float b) {
  const float d = std::fabs(std::fmod(a - b, 360.0f));
  return d > 180.0f ? 360.0f - d : d;
}

// A rotor turning slowly through the whole duty range, one count of high
// time per capture: the absolute angle follows every step, the electrical
// angle is seven times the mechanical one, and the transform angle always
// indexes inside the sine table.
TEST(AngleDecoder, SlowSweepOverTheWholeDutyRange) {
  vboard::board().reset();
  constexpr std::uint16_t kPeriod = 10500;
  float previous_absolute = 0.0f;
  for (std::uint32_t high = 0; high <= kPeriod; ++high) {
    SCOPED_TRACE(high);
    IC1Value = kPeriod;
    IC2Value = static_cast<std::uint16_t>(high);
    Angle_Decode();

    ASSERT_GE(PitchAngle, 0.0f);
    ASSERT_LT(PitchAngle, 360.0f);
    ASSERT_LT(separation(AbPitchAngle, PitchAngle), 1e-3f);
    if (high > 0) {
      const float step = AbPitchAngle - previous_absolute;
      ASSERT_GT(step, 0.0f);
      ASSERT_LT(step, 0.05f);
    }
    previous_absolute = AbPitchAngle;

    ASSERT_GT(ElePitchAngle, 0.0f);
    ASSERT_LE(ElePitchAngle, 360.0f);
    ASSERT_LT(separation(ElePitchAngle, PitchAngle * 7.0f), 2e-3f);
    ASSERT_GE(MotorAPark.Theta, 0);
    ASSERT_LE(MotorAPark.Theta, 359);
    ASSERT_EQ(MotorAPark.Theta, static_cast<std::int32_t>(360.0 - static_cast<double>(ElePitchAngle)));
    ASSERT_GE(UqAngle, 0);
    ASSERT_LE(UqAngle, 360);
    Anti_Park_Calc(&MotorAPark);
  }
  // The first capture (duty 0: 320 degrees) counted as a pass through 0 from
  // the initial 0; the sweep then covers the range once, past 360.
  EXPECT_NEAR(AbPitchAngle - (-40.0f), 361.93f, 0.01f);
  vboard::board().reset();
}

}  // namespace
