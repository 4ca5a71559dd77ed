// PID step, sine table, inverse Park step, angle decoder, space-vector
// modulation and the control chain against the shared vectors, on the Cortex-M4: single precision on
// the FPU, the decoder's double-precision steps in the compiler's software
// routines.
#include <cstddef>
#include <cstdint>

#include "algorithm.h"
#include "angle_decoder.h"
#include "checks.h"
#include "control_work.h"
#include "coordTrans.h"
#include "device.h"
#include "float_bits.h"
#include "global_variable.h"
#include "handlers.h"
#include "report.h"
#include "svpwm.h"
#include "vectors/control_vectors.h"

namespace armtest {
namespace {

using namespace control_vectors;

static_assert(kNaN == kAnyNaN);

constexpr float kSentinel = 777.25f;

void check_pid() {
  Group group("control.pid");
  int index = 0;
  for (const PidCase& c : kPidCases) {
    group.at(index++, c.name);
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
    pid.E = kSentinel;
    pid.U = kSentinel;
    pid.PreU = kSentinel;
    pid.Limit = kSentinel;
    CalculatePID(&pid);
    float_bits(group, "E", pid.E, c.after.E);
    float_bits(group, "SumE", pid.SumE, c.after.SumE);
    float_bits(group, "U", pid.U, c.after.U);
    float_bits(group, "PreE", pid.PreE, c.after.PreE);
    float_bits(group, "PreU untouched", pid.PreU, std::bit_cast<std::uint32_t>(kSentinel));
  }
}

void check_sine_table() {
  Group group("control.sine_table");
  for (int i = 0; i <= 180; ++i) {
    group.at(i);
    group.equal("Sin_Table", Sin_Table[i], kSinTable[i]);
  }
}

void check_park() {
  Group group("control.inverse_park");
  int index = 0;
  for (const ParkCase& c : kParkCases) {
    group.at(index++, c.name);
    PARK park{};
    park.Ud = as_float(c.Ud);
    park.Uq = as_float(c.Uq);
    park.UAlpha = kSentinel;
    park.UBeta = kSentinel;
    park.Theta = c.Theta;
    Costhe = 12345;
    Sinthe = 12345;
    Anti_Park_Calc(&park);
    group.equal("Costhe", Costhe, c.Costhe);
    group.equal("Sinthe", Sinthe, c.Sinthe);
    float_bits(group, "UAlpha", park.UAlpha, c.UAlpha);
    float_bits(group, "UBeta", park.UBeta, c.UBeta);
    group.equal("Theta", park.Theta, c.Theta);
  }
}

// The record's outputs after the modulation stage.
template <typename Expected>
void expect_modulation(Group& group, const SVPWM& v, const Expected& e) {
  group.equal("Ua", v.Ua, e.Ua);
  group.equal("Ub", v.Ub, e.Ub);
  group.equal("Uc", v.Uc, e.Uc);
  group.equal("Tx", v.Tx, e.Tx);
  group.equal("Ty", v.Ty, e.Ty);
  group.equal("Tz", v.Tz, e.Tz);
  group.equal("taOn", v.taOn, e.taOn);
  group.equal("tbOn", v.tbOn, e.tbOn);
  group.equal("tcOn", v.tcOn, e.tcOn);
}

void check_svpwm() {
  Group group("control.svpwm");
  int index = 0;
  for (const SvpwmCase& c : kSvpwmCases) {
    group.at(index++, c.name);
    SVPWM v{};
    v.UAlpha = as_float(c.UAlpha);
    v.UBeta = as_float(c.UBeta);
    v.Ua = v.Ub = v.Uc = v.Tx = v.Ty = v.Tz = v.taOn = v.tbOn = v.tcOn = -7;
    SVPWM_Calc(&v);
    expect_modulation(group, v, c);
    float_bits(group, "UAlpha untouched", v.UAlpha, c.UAlpha);
    float_bits(group, "UBeta untouched", v.UBeta, c.UBeta);
  }
}

void expect_decoder_state(Group& group, const DecoderStep& s) {
  group.equal("IC1Value", static_cast<std::uint16_t>(IC1Value), s.IC1Value);
  group.equal("IC2Value", static_cast<std::uint16_t>(IC2Value), s.IC2Value);
  float_bits(group, "DutyCycle", DutyCycle, s.DutyCycle);
  float_bits(group, "DutyCycle_Corre", DutyCycle_Corre, s.DutyCycle_Corre);
  float_bits(group, "PitchAngle", PitchAngle, s.PitchAngle);
  float_bits(group, "LastPitchAngle", LastPitchAngle, s.LastPitchAngle);
  float_bits(group, "NowPithchAngle", NowPithchAngle, s.NowPithchAngle);
  float_bits(group, "DiffPithchAngle", DiffPithchAngle, s.DiffPithchAngle);
  float_bits(group, "AbPitchAngle", AbPitchAngle, s.AbPitchAngle);
  float_bits(group, "ElePitchAngle", ElePitchAngle, s.ElePitchAngle);
  group.equal("Theta", MotorAPark.Theta, s.Theta);
  group.equal("UqAngle", UqAngle, s.UqAngle);
  float_bits(group, "Frequency", Frequency, s.Frequency);
}

// Each sequence from the power-on state; `deliver` hands a capture pair to
// the decoder.
template <typename Deliver>
void run_decoder_sequences(const char* name, Deliver deliver) {
  Group group(name);
  int index = 0;
  for (const DecoderSequence& seq : kDecoderSequences) {
    power_on_state();
    for (std::size_t n = 0; n < seq.count; ++n) {
      group.at(index * 100 + static_cast<int>(n), seq.name);
      const DecoderStep& s = seq.steps[n];
      AngleComp = as_float(s.AngleComp);
      deliver(s);
      expect_decoder_state(group, s);
    }
    ++index;
  }
}

// The captures handed to the decoder directly.
void check_decoder() {
  run_decoder_sequences("control.decoder", [](const DecoderStep& s) {
    IC1Value = s.IC1Value;
    IC2Value = s.IC2Value;
    Angle_Decode();
  });
}

// The same sequences through the capture interrupt's handler, which reads
// the pair from TIM3's capture registers (the emulator keeps what is
// written there).
void check_decoder_interrupt() {
  run_decoder_sequences("control.decoder_irq", [](const DecoderStep& s) {
    TIM3->CCR1 = s.IC1Value;
    TIM3->CCR2 = s.IC2Value;
    TIM3_IRQHandler();
  });
}

// The control work as the main loop runs it, behind the decoder.
void check_chain() {
  Group group("control.chain");
  power_on_state();
  int index = 0;
  for (const ChainStep& s : kChainSteps) {
    group.at(index++);
    if (s.capture) {
      IC1Value = s.IC1Value;
      IC2Value = s.IC2Value;
      Angle_Decode();
    }
    MotorAPosition.Des = as_float(s.Des);
    Control_Work();
    float_bits(group, "FB", MotorAPosition.FB, s.FB);
    float_bits(group, "E", MotorAPosition.E, s.E);
    float_bits(group, "SumE", MotorAPosition.SumE, s.SumE);
    float_bits(group, "U", MotorAPosition.U, s.U);
    float_bits(group, "PreE", MotorAPosition.PreE, s.PreE);
    group.equal("Theta", MotorAPark.Theta, s.Theta);
    group.equal("Costhe", Costhe, s.Costhe);
    group.equal("Sinthe", Sinthe, s.Sinthe);
    float_bits(group, "UAlpha", MotorASVPWM.UAlpha, s.UAlpha);
    float_bits(group, "UBeta", MotorASVPWM.UBeta, s.UBeta);
    expect_modulation(group, MotorASVPWM, s);
    // The emulated TIM5 keeps what is written to its compare registers.
    group.equal("TIM5 CCR1", static_cast<std::uint32_t>(TIM5->CCR1), static_cast<std::uint32_t>(s.taOn));
    group.equal("TIM5 CCR2", static_cast<std::uint32_t>(TIM5->CCR2), static_cast<std::uint32_t>(s.tbOn));
    group.equal("TIM5 CCR3", static_cast<std::uint32_t>(TIM5->CCR3), static_cast<std::uint32_t>(s.tcOn));
  }
}

}  // namespace

void check_control() {
  check_pid();
  check_sine_table();
  check_park();
  check_svpwm();
  check_decoder();
  check_decoder_interrupt();
  check_chain();
  power_on_state();
}

}  // namespace armtest
