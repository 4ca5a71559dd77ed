// Decoding of the position sensor's PWM signal into the rotor angles.
#pragma once

// Turns the latest capture pair (IC1Value: period, IC2Value: high time, in
// 10.5 MHz counts) into DutyCycle, the mechanical angle PitchAngle, the
// unwrapped absolute angle AbPitchAngle, the electrical angle ElePitchAngle,
// the transform angle MotorAPark.Theta, UqAngle and Frequency, and counts the
// capture in DecodedCaptures. A period outside the sensor's range (0
// included) only sets DutyCycle and Frequency to 0. Called by the capture
// interrupt after it has read the two captures and found them a frame of
// the sensor's.
void Angle_Decode();

// The capture interrupt decodes a capture only if its high time fits the
// sensor's frame, its period agrees with the one before or the last decoded
// one, and its angle lies where the rotor can have got to since the last
// decoded capture (or follows the captures just before it). This forgets
// the captures before: the next one is judged by the frame alone, as the
// first after reset. TIM3_Init calls it.
void Capture_Check_Reset();
