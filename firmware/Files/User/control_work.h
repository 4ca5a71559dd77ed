// The position loop's work, run by the main loop every 10 ms.
#pragma once

// Feedback from the absolute angle, PID step, its output as the quadrature
// voltage, inverse Park step, stator-frame voltages into the modulation
// record, modulation, and the three duties to the phase PWM. While no
// capture has been decoded for two control periods (20 ms), or the capture
// interrupt has marked the angle stale (StaleAngle), the modulation puts out
// the zero vector.
void Control_Work();
