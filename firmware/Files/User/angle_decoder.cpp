// The sensor PWM angle decoder: TIM3 captures the period (channel 1) and the
// high time (channel 2) of the sensor's PWM signal; the duty cycle is the
// mechanical angle.
#include "angle_decoder.h"

#include <cstdint>

#include "drv_tim.h"
#include "global_variable.h"
#include "handlers.h"

namespace {

constexpr double kFullScaleDuty = 99.467;     // measured duty, per cent, at 100 per cent
constexpr double kDegreesPerPercent = 3.6;
constexpr float kWrapThreshold = 200.0f;      // a larger jump is a pass through 0/360
constexpr float kCountRate = 10500000.0f;     // capture counts per second

// Periods the sensor can send. Its PWM frame is 4119 ticks of its own
// clock (12 start, 4 error, 4095 data, 8 end), about 1 kHz, and that clock
// is within 10 per cent over temperature: 900 to 1100 Hz, 9545 to 11667
// counts. One per cent more each way covers the capture's sampling grid.
// Anything else is a line glitch (a runt pulse or a dropout split a
// period) whose duty means nothing.
constexpr std::uint16_t kPeriodMin = 9450;   // 10500000 / 1100 x 0.99
constexpr std::uint16_t kPeriodMax = 11783;  // 10500000 / 900 x 1.01

// Upper bounds (inclusive) of the seven electrical turns within one
// mechanical turn of a motor with seven pole pairs, and the electrical
// offset of each.
constexpr float kRowTop[7] = {51.42857f, 102.85714f, 154.28571f, 205.71428f, 257.14285f, 308.57142f, 360.0f};
constexpr double kRowOffset[7] = {0.0, 360.0, 720.0, 1080.0, 1440.0, 1800.0, 2160.0};

// The counter has overflowed since the last capture: the period now running
// spans a wrap, and its capture is skipped.
constinit bool wrapped_since_capture = false;

// A capture that carries no angle: only DutyCycle and Frequency change.
void skip_capture() {
  DutyCycle = 0.0f;
  Frequency = 0.0f;
}

}  // namespace

void Angle_Decode() {
  const std::uint16_t period = IC1Value;
  const std::uint16_t high = IC2Value;
  if (period < kPeriodMin || period > kPeriodMax) {  // 0 included: no period measured
    skip_capture();
    return;
  }

  // Duty in per cent, scaled so that the sensor's full-scale duty reads 100.
  const float raw = static_cast<float>(static_cast<std::int32_t>(high) * 100) / static_cast<float>(period);
  const float duty = static_cast<float>(static_cast<double>(raw) / kFullScaleDuty * 100.0);
  DutyCycle = duty;
  DutyCycle_Corre = duty >= 100.0f ? duty - 100.0f : duty;

  // Mechanical angle, 0 to 360, relative to the sensor's zero offset.
  float pitch = static_cast<float>(static_cast<double>(duty) * kDegreesPerPercent - static_cast<double>(AngleComp));
  if (pitch < 0.0f) {
    pitch = pitch + 360.0f;
  }
  PitchAngle = pitch;

  // Unwrap: a jump of 200 degrees or more is taken as a pass through 0/360.
  LastPitchAngle = NowPithchAngle;
  NowPithchAngle = pitch;
  const float diff = NowPithchAngle - LastPitchAngle;
  DiffPithchAngle = diff;
  if (diff >= kWrapThreshold) {
    AbPitchAngle = AbPitchAngle + (diff - 360.0f);
  } else if (diff <= -kWrapThreshold) {
    AbPitchAngle = AbPitchAngle + (diff + 360.0f);
  } else {
    AbPitchAngle = AbPitchAngle + diff;
  }

  // Electrical angle in (0, 360]; a mechanical angle outside (0, 360]
  // (0 itself, or a high time longer than the period) leaves it unchanged.
  float lower = 0.0f;
  for (int row = 0; row < 7; ++row) {
    if (pitch > lower && pitch <= kRowTop[row]) {
      if (row == 0) {
        ElePitchAngle = pitch * 7.0f;
      } else {
        ElePitchAngle = static_cast<float>(static_cast<double>(pitch) * 7.0 - kRowOffset[row]);
      }
      break;
    }
    lower = kRowTop[row];
  }

  // The transform turns the other way round. The electrical angle only ever
  // holds 0 or a value of (0, 360], so both conversions below are in range
  // and a plain truncation is exact on both builds.
  MotorAPark.Theta = static_cast<std::int32_t>(360.0 - static_cast<double>(ElePitchAngle));

  float quadrature = ElePitchAngle + 90.0f;
  if (quadrature > 360.0f) {
    quadrature = quadrature - 360.0f;
  }
  UqAngle = static_cast<std::int32_t>(quadrature);

  Frequency = kCountRate / static_cast<float>(period);
  DecodedCaptures = DecodedCaptures + 1u;
}

// TIM3 interrupts for capture 1 (the end of a period) and for a counter
// overflow (UIF, raised only by an overflow: no rising edge for 6.24 ms).
// An entry with the overflow flag alone marks the running period; every
// other entry is taken as a capture-1 event, acknowledged and both captures
// read. A capture whose period may span an overflow is skipped like a
// period of 0: its count is the time since the last rising edge modulo
// 65536, and CCR2 may still hold a falling edge from before the break.
//
// The overflow flag is read again after the captures, so an overflow before
// the pair was taken is always seen. Seen with a capture, its order against
// it is unknown (the interrupt was held back, by the keys' debounce say):
// the capture is skipped, and the next one too, as the overflow may have
// come after it.
extern "C" void TIM3_IRQHandler() {
  const std::uint16_t status = TIM3->SR;
  if ((status & TIM_SR_UIF) != 0u && (status & TIM_SR_CC1IF) == 0u) {
    TIM_ClearITPendingBit(TIM3, TIM_IT_Update);
    wrapped_since_capture = true;
    return;
  }
  TIM_ClearITPendingBit(TIM3, TIM_IT_CC1);
  IC1Value = static_cast<std::uint16_t>(TIM_GetCapture1(TIM3));
  IC2Value = static_cast<std::uint16_t>(TIM_GetCapture2(TIM3));
  const bool overflowed = TIM_GetITStatus(TIM3, TIM_IT_Update) == SET;
  if (overflowed) {
    TIM_ClearITPendingBit(TIM3, TIM_IT_Update);
  }
  const bool spans_wrap = wrapped_since_capture || overflowed;
  wrapped_since_capture = overflowed;
  if (spans_wrap) {
    skip_capture();
    return;
  }
  Angle_Decode();
}
