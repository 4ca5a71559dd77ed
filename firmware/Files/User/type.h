// Records of the control chain: position controller, frame transform and
// space-vector modulation stage. Every field is 32 bits wide.
#pragma once

#include <cstddef>
#include <cstdint>

struct ST_PID {
  float Des;    // commanded value (setpoint), degrees
  float FB;     // feedback value, degrees
  float Kp;     // proportional gain
  float Ki;     // integral gain
  float Kd;     // derivative gain
  float E;      // error of the current step
  float PreE;   // error of the previous step
  float SumE;   // running sum of errors
  float U;      // output of the current step
  float PreU;   // previous output (unused)
  float Limit;  // unused
  float UMax;   // upper output limit
  float UMin;   // lower output limit
  float EMin;   // dead band: errors whose magnitude does not exceed it count as zero
};
static_assert(sizeof(ST_PID) == 14 * sizeof(float));
static_assert(offsetof(ST_PID, E) == 20 && offsetof(ST_PID, EMin) == 52);

struct PARK {
  std::int32_t Id, Iq;          // rotating-frame currents (never written)
  std::int32_t IAlpha, IBeta;   // stationary-frame currents (never written)
  float Ud;                     // direct-axis voltage command; stays 0
  float Uq;                     // quadrature-axis voltage command, from the PID output
  float UAlpha, UBeta;          // stationary-frame voltages, scaled by 65536
  std::int32_t Theta;           // transform angle in whole degrees, 0 to 360
  float ActId, ActIq;           // unused
  void (*calcPark)(PARK*);      // never set, never called
  void (*calcAntiPark)(PARK*);  // never set, never called
};
static_assert(offsetof(PARK, Ud) == 16 && offsetof(PARK, Theta) == 32 && offsetof(PARK, ActIq) == 40);

// The modulation stage's record: its input and everything it works out. The
// times are counts of TIM5's 1 MHz count, per half period of 50 counts.
struct SVPWM {
  float UAlpha, UBeta;  // stationary-frame voltages, volts x 65536 (input)
  // Phase references: the applied vector projected onto the axes of phases
  // A, B and C, volts x 65536, truncated; 0 for the zero vector.
  std::int32_t Ua, Ub, Uc;
  // Sector vector times: Tx the active vector with one phase high, Ty the one
  // with two phases high, Tz the zero vectors; Tx + Ty + Tz = 50.
  std::int32_t Tx, Ty, Tz;
  // Per-phase switching times, the compare values for TIM5 CCR1..CCR3:
  // phase high for that many counts either side of the count's bottom.
  std::int32_t taOn, tbOn, tcOn;
};
static_assert(sizeof(SVPWM) == 11 * sizeof(std::int32_t));
