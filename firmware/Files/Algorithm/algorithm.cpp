#include "algorithm.h"

#include <cmath>

// One step of the positional PID, all in single precision. The products are
// rounded before they are summed (no fused multiply-add), so the board and
// the host give the same bits. No anti-windup: SumE keeps integrating while
// the output is clamped. A NaN error is not caught by the dead band and
// passes the clamp, since both comparisons are false for it.
void CalculatePID(ST_PID* pstPid) {
  ST_PID& pid = *pstPid;
  float e = pid.Des - pid.FB;
  if (std::fabs(e) <= pid.EMin) {
    e = 0.0f;  // dead band
  }
  pid.E = e;
  pid.SumE = pid.SumE + e;
  const float p = pid.Kp * e;
  const float i = pid.Ki * pid.SumE;
  const float d = pid.Kd * (e - pid.PreE);
  float u = p + i;
  u = u + d;
  pid.PreE = e;
  if (u > pid.UMax) {
    u = pid.UMax;
  } else if (u < pid.UMin) {
    u = pid.UMin;
  }
  pid.U = u;
}
