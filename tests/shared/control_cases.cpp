// The PID step, the sine table, the inverse Park step, the modulation stage,
// the angle decoder and the control chain against the shared vectors: one
// text run by both builds, on the host's arithmetic and on the Cortex-M4's
// (single precision on the FPU, the decoder's double-precision steps in the
// compiler's software routines).
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "algorithm.h"
#include "angle_decoder.h"
#include "control_work.h"
#include "coordTrans.h"
#include "global_variable.h"
#include "handlers.h"
#include "shared/board_access.h"
#include "svpwm.h"
#include "test_case.h"
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

TEST(SineTable, MatchesTheVectors) {
  for (int i = 0; i <= 180; ++i) {
    SCOPED_TRACE(i);
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

TEST(Modulation, Vectors) {
  for (const SvpwmCase& c : kSvpwmCases) {
    SCOPED_TRACE(c.name);
    SVPWM v{};
    v.UAlpha = as_float(c.UAlpha);
    v.UBeta = as_float(c.UBeta);
    v.Ua = v.Ub = v.Uc = v.Tx = v.Ty = v.Tz = v.taOn = v.tbOn = v.tcOn = -7;  // all must be written
    SVPWM_Calc(&v);
    EXPECT_BITS(v.UAlpha, c.UAlpha);
    EXPECT_BITS(v.UBeta, c.UBeta);
    EXPECT_EQ(v.Ua, c.Ua);
    EXPECT_EQ(v.Ub, c.Ub);
    EXPECT_EQ(v.Uc, c.Uc);
    EXPECT_EQ(v.Tx, c.Tx);
    EXPECT_EQ(v.Ty, c.Ty);
    EXPECT_EQ(v.Tz, c.Tz);
    EXPECT_EQ(v.taOn, c.taOn);
    EXPECT_EQ(v.tbOn, c.tbOn);
    EXPECT_EQ(v.tcOn, c.tcOn);
  }
}

void expect_decoder_step(const DecoderStep& s) {
  EXPECT_EQ(IC1Value, s.IC1Value);
  EXPECT_EQ(IC2Value, s.IC2Value);
  EXPECT_BITS(DutyCycle, s.DutyCycle);
  EXPECT_BITS(DutyCycle_Corre, s.DutyCycle_Corre);
  EXPECT_BITS(PitchAngle, s.PitchAngle);
  EXPECT_BITS(LastPitchAngle, s.LastPitchAngle);
  EXPECT_BITS(NowPithchAngle, s.NowPithchAngle);
  EXPECT_BITS(DiffPithchAngle, s.DiffPithchAngle);
  EXPECT_BITS(AbPitchAngle, s.AbPitchAngle);
  EXPECT_BITS(ElePitchAngle, s.ElePitchAngle);
  EXPECT_EQ(MotorAPark.Theta, s.Theta);
  EXPECT_EQ(UqAngle, s.UqAngle);
  EXPECT_BITS(Frequency, s.Frequency);
}

// Only Theta of the transform record belongs to the decoder.
void expect_park_untouched_but_theta(const PARK& before) {
  EXPECT_EQ(MotorAPark.Ud, before.Ud);
  EXPECT_EQ(MotorAPark.Uq, before.Uq);
  EXPECT_EQ(MotorAPark.UAlpha, before.UAlpha);
  EXPECT_EQ(MotorAPark.UBeta, before.UBeta);
  EXPECT_EQ(MotorAPark.Id, before.Id);
  EXPECT_EQ(MotorAPark.ActIq, before.ActIq);
}

// Each sequence from the power-on state.
TEST(AngleDecoder, Vectors) {
  for (const DecoderSequence& seq : kDecoderSequences) {
    SCOPED_TRACE(seq.name);
    board_access::power_on();
    MotorAPark.Uq = 3.5f;
    MotorAPark.UAlpha = -1.0f;
    for (std::size_t n = 0; n < seq.count; ++n) {
      SCOPED_TRACE(n);
      const DecoderStep& s = seq.steps[n];
      const PARK before = MotorAPark;
      AngleComp = as_float(s.AngleComp);
      IC1Value = s.IC1Value;
      IC2Value = s.IC2Value;
      Angle_Decode();
      expect_decoder_step(s);
      expect_park_untouched_but_theta(before);
    }
  }
  board_access::power_on();
}

// A high time the sensor's frame can carry (16 of 4119 clocks high at
// least, 8 low), or a period the decoder skips whatever the high time.
bool sensor_could_send(const DecoderStep& s) {
  const std::uint32_t p = s.IC1Value, h = s.IC2Value;
  return p < 9450 || p > 11783 || (4119 * (h + 3) >= 16 * p && 4119 * h <= 4111 * p + 4119 * 3);
}

// The same vectors with the captures taken from TIM3's capture registers by
// the interrupt handler: those sequences whose captures a sensor could send.
// The capture check forgets each capture before the next, so that the
// jumps the vectors make reach the decoder as the first capture after reset
// does.
TEST(AngleDecoder, VectorsThroughTheCaptureInterrupt) {
  int sequences = 0;
  for (const DecoderSequence& seq : kDecoderSequences) {
    bool possible = true;
    for (std::size_t n = 0; n < seq.count; ++n) possible = possible && sensor_could_send(seq.steps[n]);
    if (!possible) continue;
    ++sequences;
    SCOPED_TRACE(seq.name);
    board_access::power_on();
    board_access::open_timer_gates();
    for (std::size_t n = 0; n < seq.count; ++n) {
      SCOPED_TRACE(n);
      const DecoderStep& s = seq.steps[n];
      AngleComp = as_float(s.AngleComp);
      board_access::place_capture(s.IC1Value, s.IC2Value);
      Capture_Check_Reset();
      TIM3_IRQHandler();
      expect_decoder_step(s);
    }
  }
  EXPECT_EQ(sequences, 5);
  board_access::power_on();
}

// The control work as the main loop runs it, fed by the decoder: decoder,
// PID, inverse Park and modulation chained, with the drive off until the
// first capture and again after two control works without one. (Some of
// the captures, a high time of 0, are none the capture interrupt takes.)
TEST(ControlChain, VectorsThroughTheDecoder) {
  board_access::power_on();
  board_access::open_timer_gates();

  // Before any capture the loop runs with feedback 0 and transform angle 0.
  EXPECT_EQ(AbPitchAngle, 0.0f);
  EXPECT_EQ(MotorAPark.Theta, 0);

  int n = 0;
  for (const ChainStep& s : kChainSteps) {
    SCOPED_TRACE(n++);
    if (s.capture) {
      IC1Value = s.IC1Value;
      IC2Value = s.IC2Value;
      Angle_Decode();
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
    EXPECT_EQ(board_access::phase_compare(1), static_cast<std::uint32_t>(s.taOn));
    EXPECT_EQ(board_access::phase_compare(2), static_cast<std::uint32_t>(s.tbOn));
    EXPECT_EQ(board_access::phase_compare(3), static_cast<std::uint32_t>(s.tcOn));
    // With the PID output within its limits and Ud 0, the outputs stay
    // within 12 * 65536.
    EXPECT_LE(std::fabs(MotorASVPWM.UAlpha), 786432.0f);
    EXPECT_LE(std::fabs(MotorASVPWM.UBeta), 786432.0f);
  }
  board_access::power_on();
}

}  // namespace
