#include "global_variable.h"

// Every shared value stays in the image as a real variable, also those that
// only a debugger or the boot check reads (observation values) and those
// that nothing writes at run time: [[gnu::used]] keeps the link-time
// optimiser from dropping their stores or folding their initial values.

// Scheduler flags: the tick sets them, the main loop clears them after the work.
[[gnu::used]] constinit volatile FlagStatus gFlag100ms = RESET;
[[gnu::used]] constinit volatile FlagStatus gFlag5ms = RESET;
[[gnu::used]] constinit volatile FlagStatus gFlagControl = RESET;

[[gnu::used]] constinit ST_PID MotorAPosition = {
    .Des = 0.0f, .FB = 0.0f, .Kp = 0.26f, .Ki = 0.04f, .Kd = 0.06f,
    .E = 0.0f, .PreE = 0.0f, .SumE = 0.0f, .U = 0.0f, .PreU = 0.0f, .Limit = 0.0f,
    .UMax = 12.0f, .UMin = -12.0f, .EMin = 0.0f,
};
[[gnu::used]] constinit PARK MotorAPark = {};
[[gnu::used]] constinit SVPWM MotorASVPWM = {};

[[gnu::used]] constinit float AngleComp = 40.0f;  // mechanical zero offset of the sensor, degrees
[[gnu::used]] constinit float PitchAngle = 0.0f;
[[gnu::used]] constinit float NowPithchAngle = 0.0f;
[[gnu::used]] constinit float LastPitchAngle = 0.0f;
[[gnu::used]] constinit float DiffPithchAngle = 0.0f;
[[gnu::used]] constinit float AbPitchAngle = 0.0f;
[[gnu::used]] constinit float ElePitchAngle = 0.0f;
[[gnu::used]] constinit std::int32_t UqAngle = 0;
[[gnu::used]] constinit std::int32_t Sinthe = 0;
[[gnu::used]] constinit std::int32_t Costhe = 0;
[[gnu::used]] constinit volatile std::uint16_t IC1Value = 0;
[[gnu::used]] constinit volatile std::uint16_t IC2Value = 0;
[[gnu::used]] constinit volatile float DutyCycle = 0.0f;
[[gnu::used]] constinit volatile float DutyCycle_Corre = 0.0f;
[[gnu::used]] constinit volatile float Frequency = 0.0f;
// Captures the decoder has turned into angles (wraps); the control work
// tells a live angle from a frozen one by it.
[[gnu::used]] constinit volatile std::uint32_t DecodedCaptures = 0;
// Set by the capture interrupt when a capture it read late (held back, by a
// key's debounce) or the third in a row is not decoded: the angle it holds
// is old. Cleared at the next decoded capture; the control work drives on
// no stale angle.
[[gnu::used]] constinit volatile bool StaleAngle = false;
