#include "control_work.h"

#include <cstdint>

#include "algorithm.h"
#include "coordTrans.h"
#include "global_variable.h"
#include "svpwm.h"
#include "timer.h"

namespace {

// A rotor angle that has not changed for two control periods (20 ms, some
// twenty sensor periods) is frozen: a broken sensor wire, say. Driving on it
// would hold one vector against a rotor that may be anywhere, with the PID
// winding up behind it, so the drive is off until captures come again. It is
// off from reset too, until the first capture is decoded.
constexpr std::uint32_t kStalePeriods = 2;

constinit std::uint32_t captures_seen = 0;
constinit std::uint32_t quiet_periods = kStalePeriods;

bool angle_is_live() {
  const std::uint32_t captures = DecodedCaptures;
  if (captures != captures_seen) {
    captures_seen = captures;
    quiet_periods = 0;
  } else if (quiet_periods < kStalePeriods) {
    quiet_periods = quiet_periods + 1u;
  }
  // A stale angle is three sensor periods old or more, some 11 ms after a
  // key's debounce: at 1000 degrees a second, 11 ms put the commutation 77
  // electrical degrees further behind the rotor.
  return quiet_periods < kStalePeriods && !StaleAngle;
}

}  // namespace

void Control_Work() {
  MotorAPosition.FB = AbPitchAngle;
  CalculatePID(&MotorAPosition);
  MotorAPark.Uq = MotorAPosition.U;
  Anti_Park_Calc(&MotorAPark);
  MotorASVPWM.UAlpha = MotorAPark.UAlpha;
  MotorASVPWM.UBeta = MotorAPark.UBeta;
  if (angle_is_live()) {
    SVPWM_Calc(&MotorASVPWM);
  } else {
    SVPWM_Zero(&MotorASVPWM);
  }
  TIM5_SetCompare(static_cast<std::uint32_t>(MotorASVPWM.taOn), static_cast<std::uint32_t>(MotorASVPWM.tbOn),
                  static_cast<std::uint32_t>(MotorASVPWM.tcOn));
}
