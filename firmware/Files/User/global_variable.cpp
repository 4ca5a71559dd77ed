#include "global_variable.h"

// Scheduler flags: the tick sets them, the main loop clears them after the work.
constinit volatile FlagStatus gFlag100ms = RESET;
constinit volatile FlagStatus gFlag5ms = RESET;
constinit volatile FlagStatus gFlagControl = RESET;

constinit ST_PID MotorAPosition = {
    .Des = 0.0f, .FB = 0.0f, .Kp = 0.26f, .Ki = 0.04f, .Kd = 0.06f,
    .E = 0.0f, .PreE = 0.0f, .SumE = 0.0f, .U = 0.0f, .PreU = 0.0f, .Limit = 0.0f,
    .UMax = 12.0f, .UMin = -12.0f, .EMin = 0.0f,
};
constinit PARK MotorAPark = {};
constinit SVPWM MotorASVPWM = {};

constinit float AngleComp = 40.0f;  // mechanical zero offset of the sensor, degrees
constinit float PitchAngle = 0.0f;
constinit float NowPithchAngle = 0.0f;
constinit float LastPitchAngle = 0.0f;
constinit float DiffPithchAngle = 0.0f;
constinit float AbPitchAngle = 0.0f;
constinit float ElePitchAngle = 0.0f;
constinit std::int32_t UqAngle = 0;
constinit std::int32_t Sinthe = 0;
constinit std::int32_t Costhe = 0;
constinit volatile std::uint16_t IC1Value = 0;
constinit volatile std::uint16_t IC2Value = 0;
constinit volatile float DutyCycle = 0.0f;
constinit volatile float DutyCycle_Corre = 0.0f;
constinit volatile float Frequency = 0.0f;
// Captures the decoder has turned into angles (wraps); the control work
// tells a live angle from a frozen one by it.
constinit volatile std::uint32_t DecodedCaptures = 0;
