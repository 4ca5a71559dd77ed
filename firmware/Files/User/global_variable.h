// The control state shared by the main loop and the interrupt handlers.
// Plain globals: each is written by one context (PitchAngle by two), read
// afresh on every use.
#pragma once

#include <cstdint>

#include "device.h"
#include "type.h"

extern volatile FlagStatus gFlag100ms;
extern volatile FlagStatus gFlag5ms;
extern volatile FlagStatus gFlagControl;

extern ST_PID MotorAPosition;
extern PARK MotorAPark;
extern SVPWM MotorASVPWM;

extern float AngleComp;
extern float PitchAngle;
extern float NowPithchAngle;
extern float LastPitchAngle;
extern float DiffPithchAngle;
extern float AbPitchAngle;
extern float ElePitchAngle;
extern std::int32_t UqAngle;
extern std::int32_t Sinthe;
extern std::int32_t Costhe;
extern volatile std::uint16_t IC1Value;
extern volatile std::uint16_t IC2Value;
extern volatile float DutyCycle;
extern volatile float DutyCycle_Corre;
extern volatile float Frequency;
extern volatile std::uint32_t DecodedCaptures;
extern volatile bool StaleAngle;
