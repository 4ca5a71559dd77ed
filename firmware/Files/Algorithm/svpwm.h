// Space-vector modulation: from the stator-frame voltages to the three
// compare values of the phase PWM (TIM5 channels 1..3 on PA0..PA2).
#pragma once

#include <cstdint>

#include "type.h"

// The motor supply across the bridge, volts.
inline constexpr float kSupplyVoltage = 12.0f;
// TIM5 counts 0..50..0 at 1 MHz: a compare value c gives a duty of c / 50,
// centred on the bottom of the count.
inline constexpr std::int32_t kPwmPeriod = 50;

// Centred space-vector modulation of the vector (UAlpha, UBeta), in volts
// times 65536. A vector longer than kSupplyVoltage / sqrt(3), the largest
// the bridge makes without distortion, is shortened to that length with its
// direction kept. A NaN or infinite component gives the zero vector. Fills
// the other fields of the record; compare values are always 0..kPwmPeriod.
void SVPWM_Calc(SVPWM* v);

// The zero vector: all three phases at half duty, no voltage across the
// motor. UAlpha and UBeta are left as they are.
void SVPWM_Zero(SVPWM* v);
