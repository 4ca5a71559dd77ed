// The position loop's work, run by the main loop every 10 ms.
#pragma once

// Feedback from the absolute angle, PID step, its output as the quadrature
// voltage, inverse Park step, stator-frame voltages into the modulation
// record.
void Control_Work();
