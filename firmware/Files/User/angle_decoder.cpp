// The sensor PWM angle decoder: TIM3 captures the period (channel 1) and the
// high time (channel 2) of the sensor's PWM signal; the duty cycle is the
// mechanical angle.
#include "angle_decoder.h"

#include <cmath>
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

// ---- Whether a capture is a frame of the sensor's ----
// A break of the line leaves captures whose period or high time the sensor
// never sent: the restoring edge ends a period of any length, and a break
// that starts in the high time cuts it short while the period stays whole.
// A capture is decoded only if it fits the frame and follows from the ones
// before it; the decoder's arithmetic is untouched.

// The frame, in sensor clocks: 12 start and 4 error bits always high, 8 end
// bits always low, 4119 in all. The high time lies within those bounds of
// the period; 3 counts of slack each way cover the capture's grid (each edge
// is seen on a 2-count grid of the input filter) and rounding.
constexpr std::uint32_t kFrameClocks = 4119;
constexpr std::uint32_t kHighClocksMin = 16;
constexpr std::uint32_t kLowClocksMin = 8;
constexpr std::uint32_t kEdgeSlack = 3;

// The sensor's clock drifts slowly with temperature: consecutive periods
// differ by the capture's grid (2 counts), far less than the 900 to 1100 Hz
// window allows. 12 counts cover that and stay below the 8 end bits (18
// counts at 1100 Hz), so a period that a restoring edge ends within the
// high time never agrees. A period may agree with the last decoded one
// instead: the first whole period after a break is then taken.
constexpr std::uint32_t kPeriodAgreement = 12;

// The angle as the check sees it: the duty, high / period, of which one
// turn is the full-scale 0.99467.
constexpr float kTurn = 0.99467f;
constexpr float kPerTurn = 1.0f / kTurn;
constexpr float kDegree = kTurn / 360.0f;
constexpr float kCountsPerUs = 10.5f;
constexpr float kCountsPerMs = 10500.0f;

// A capture must land where the rotor can be: the last decoded angle moved
// on at the last speed for the time t (counts) between the two periods'
// ends, within kAngleNoise + kRateError x t + kAcceleration x t^2.
// kAngleNoise: the capture's grid (2 counts on each edge, 0.07 degrees) and
// the sensor's 12-bit steps, with room. kRateError: that noise on the two
// captures the speed comes from, a period apart (0.14 degrees a
// millisecond), with room. kAcceleration: half of 3000 rad/s^2, what the
// drive's 55 mN m and a load of half that give the gimbal motor's 30 g cm^2:
// 0.09 degrees after a millisecond, 8.6 after ten (a debounce). A break that
// cuts a high time short by more than about a degree is refused, and so is
// a restoring capture's duty, which is anything.
constexpr float kAngleNoise = 0.5f * kDegree;
constexpr float kRateError = 0.2f * kDegree / kCountsPerMs;
constexpr float kAcceleration = 0.5f * 3000.0f * 57.29578f * kDegree / (1000.0f * kCountsPerMs * 1000.0f * kCountsPerMs);
// At the bottom of the scale the decoder's angle jumps: the frame's 16 high
// clocks read as 1.4 degrees, whatever the rotor does below them. A duty
// within 3 degrees of it may read up to 1.5 degrees high (never low: a high
// time cut short reads low), and sets no speed.
constexpr float kZeroBand = (16.0f / 4119.0f) + 1.5f * kDegree;
constexpr float kZeroStep = 1.5f * kDegree;
// A reference 20 ms or 20 captures old (the tolerance has passed 55
// degrees, and two control works have turned the drive off) is not
// followed: only frames that follow one another are taken again.
constexpr float kReferenceAge = 20.0f * kCountsPerMs;
constexpr std::uint8_t kMostRefused = 20;
// A break of the line costs two captures at most: the one its restoring
// edge ends and the cut period after it. A third refused in a row means the
// check has lost the rotor for now: the angle held is three periods old or
// more, and the control work is told so.
constexpr std::uint8_t kStaleRefused = 3;

// When a period ended: TIM2's free-running microseconds at the handler and
// TIM3's count since that period's end. The free-running time goes on while
// the keys' debounce holds the handler back and later captures overwrite
// the one it missed.
struct Stamp {
  std::uint16_t us;
  std::uint16_t counts;
};

// How a capture was read. On time: just after its period ended (before the
// shortest high time of the next, 16 clocks, 37 counts at 1100 Hz, so the
// high time read is that period's). Late: held back (by the keys'
// debounce), later captures overwrote the ones missed and the high time
// read may be the next period's, which the next capture reads again.
// Again: a re-entry without a new capture, the same pair as before. Only
// captures read on time pair with one another; the others are judged
// against the reference alone.
enum class Read : std::uint8_t { kOnTime, kLate, kAgain };
constexpr std::uint16_t kOnTimeCounts = 32;

// A capture as read, for judging the next ones.
struct Seen {
  std::uint16_t period;  // 0 for none
  bool in_frame;         // it fitted the frame, and no capture was missed after it
  float duty;
};

struct CaptureHistory {
  Seen seen[2];               // the last capture read and the one before it
  std::uint16_t ref_period;   // of the last decoded capture; 0 before the first
  bool have_angle;            // ref_duty and ref_end hold; without them (after reset or
                              // a silent line) the next frame is taken
  std::uint8_t refused;       // captures read since the last decoded one
  bool have_rate;             // rate holds
  float ref_duty;             // of the last decoded capture
  Stamp ref_end;              // and when its period ended
  float rate;                 // duty per count, from two back-to-back captures
};
constinit CaptureHistory history{};

// The difference of two duties as the shorter way round the turn.
float around(float d) {
  const float turns = d * kPerTurn;
  return d - kTurn * static_cast<float>(static_cast<std::int32_t>(turns >= 0.0f ? turns + 0.5f : turns - 0.5f));
}

bool agrees(std::uint32_t a, std::uint32_t b) { return a <= b + kPeriodAgreement && b <= a + kPeriodAgreement; }

// How much higher than the rotor a duty may read: at the bottom of the scale.
float reads_high(float duty) { return duty < kZeroBand ? kZeroStep : 0.0f; }

// Whether `miss` lies within `tolerance` but for what the duties it comes
// from may read high: `up` more above, `down` more below.
bool within(float miss, float tolerance, float up, float down) {
  return miss <= tolerance + up && miss >= -(tolerance + down);
}

// Counts from one period's end to a later one's (TIM2 wraps every 65.5 ms;
// the reference is dropped long before).
float counts_between(Stamp from, Stamp to) {
  const auto us = static_cast<std::uint16_t>(to.us - from.us);
  return static_cast<float>(us) * kCountsPerUs - static_cast<float>(to.counts) + static_cast<float>(from.counts);
}

// How far off a duty may be after `span` counts moved on at the speed
// known. Before a speed is known (after reset, until two captures in a row)
// any angle is taken: the rotor may be turning at any speed the decoder
// follows.
float tolerance(bool speed_known, float span) {
  if (!speed_known) return kTurn;
  return kAngleNoise + (kRateError + kAcceleration * span) * span;
}

// Judges the capture pair just read, whose period ended at `end`, and, if
// it is a frame of the sensor's, makes it the reference for the next.
//
// It is taken when it lies where the last decoded capture, moved on at the
// speed known, puts the rotor; or when it follows the capture read just
// before it (back to back, the same period) at that speed, or at the speed
// of the two before it: two or three frames in a row that agree overrule a
// reference or a speed that was off. Only a back-to-back pair that agrees
// sets the speed.
bool frame_plausible(std::uint16_t period, std::uint16_t high, Stamp end, Read read) {
  CaptureHistory& h = history;
  const Seen before = read == Read::kOnTime ? h.seen[0] : Seen{};
  const Seen earlier = h.seen[1];
  if (read != Read::kAgain) {
    h.seen[1] = before;
    h.seen[0] = Seen{period, false, 0.0f};
    if (h.refused < kMostRefused) h.refused = static_cast<std::uint8_t>(h.refused + 1u);
  }
  if (period < kPeriodMin || period > kPeriodMax) return false;
  const std::uint32_t p = period;
  const std::uint32_t t = high;
  if (kFrameClocks * (t + kEdgeSlack) < kHighClocksMin * p ||
      kFrameClocks * t > (kFrameClocks - kLowClocksMin) * p + kFrameClocks * kEdgeSlack) {
    return false;
  }
  const float duty = static_cast<float>(t) / static_cast<float>(p);
  if (read == Read::kOnTime) {
    h.seen[0].in_frame = true;
    h.seen[0].duty = duty;
  }
  const bool back_to_back = before.in_frame && agrees(p, before.period);
  if (h.ref_period != 0 && !back_to_back && !agrees(p, h.ref_period)) return false;

  const float span_one = static_cast<float>(p);
  const float step = around(duty - before.duty);
  bool follows = false;
  if (back_to_back) {
    follows = within(around(step - h.rate * span_one), tolerance(h.have_rate, span_one), reads_high(duty),
                     reads_high(before.duty));
    if (!follows && earlier.in_frame && agrees(before.period, earlier.period)) {
      const float step_before = around(before.duty - earlier.duty);
      follows = within(around(step - step_before), tolerance(true, span_one), reads_high(duty) + reads_high(earlier.duty),
                       2.0f * reads_high(before.duty));
    }
  }
  if (h.have_angle && !follows) {
    const float span = counts_between(h.ref_end, end);
    if (h.refused >= kMostRefused || span > kReferenceAge) return false;
    const float miss = around(duty - h.ref_duty - h.rate * span);
    if (!within(miss, tolerance(h.have_rate, span), reads_high(duty), reads_high(h.ref_duty))) return false;
  }
  if (follows && reads_high(duty) == 0.0f && reads_high(before.duty) == 0.0f) {
    h.rate = step / span_one;
    h.have_rate = true;
  }
  h.have_angle = true;
  h.refused = 0;
  h.ref_duty = duty;
  h.ref_end = end;
  h.ref_period = period;
  return true;
}

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
// other entry acknowledges capture 1 and reads both captures (an entry
// without the capture flag, a re-entry after the capture was taken, reads
// the same pair again). A capture whose period may span an overflow is
// skipped like a period of 0: its count is the time since the last rising
// edge modulo 65536, and CCR2 may still hold a falling edge from before the
// break. The capture check then forgets the angle it follows (it keeps the
// sensor's period).
//
// The overflow flag is read again after the captures, so an overflow before
// the pair was taken is always seen. Seen with a capture, its order against
// it is unknown (the interrupt was held back, by the keys' debounce say):
// the capture is skipped, and the next one too, as the overflow may have
// come after it.
//
// Every other capture is decoded only if the capture check finds it a frame
// of the sensor's. A capture held back was overwritten by the ones after
// it: the overcapture flag tells, and is acknowledged with the capture; the
// check times each capture by TIM2's free-running count less TIM3's count
// since the period's end, so a capture read late is judged by when it ended.
// A capture not decoded marks the angle stale (StaleAngle) until the next
// decoded capture, if it was read late (the angle held is from before the
// handler was held back, some 11 ms old after a key's debounce) or is the
// third refused in a row; the control work does not drive on a stale angle.
extern "C" void TIM3_IRQHandler() {
  const std::uint16_t status = TIM3->SR;
  if ((status & TIM_SR_UIF) != 0u && (status & TIM_SR_CC1IF) == 0u) {
    TIM_ClearITPendingBit(TIM3, TIM_IT_Update);
    wrapped_since_capture = true;
    return;
  }
  const bool missed = (status & TIM_SR_CC1OF) != 0u;  // captures overwritten
  TIM_ClearITPendingBit(TIM3, missed ? static_cast<std::uint16_t>(TIM_IT_CC1 | TIM_SR_CC1OF) : TIM_IT_CC1);
  const Stamp end{static_cast<std::uint16_t>(TIM2->CNT), static_cast<std::uint16_t>(TIM3->CNT)};
  IC1Value = static_cast<std::uint16_t>(TIM_GetCapture1(TIM3));
  IC2Value = static_cast<std::uint16_t>(TIM_GetCapture2(TIM3));
  const bool overflowed = TIM_GetITStatus(TIM3, TIM_IT_Update) == SET;
  if (overflowed) {
    TIM_ClearITPendingBit(TIM3, TIM_IT_Update);
  }
  const bool spans_wrap = wrapped_since_capture || overflowed;
  wrapped_since_capture = overflowed;
  const Read read = (status & TIM_SR_CC1IF) == 0u                  ? Read::kAgain
                    : missed || end.counts >= kOnTimeCounts ? Read::kLate
                                                            : Read::kOnTime;
  if (spans_wrap) {
    history.seen[0] = Seen{};
    history.seen[1].in_frame = false;
    history.have_angle = false;
  }
  if (spans_wrap || !frame_plausible(IC1Value, IC2Value, end, read)) {
    if (read == Read::kLate || history.refused >= kStaleRefused) StaleAngle = true;
    skip_capture();
    return;
  }
  StaleAngle = false;
  Angle_Decode();
}

void Capture_Check_Reset() { history = CaptureHistory{}; }
