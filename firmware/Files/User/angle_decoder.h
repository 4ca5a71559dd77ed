// Decoding of the position sensor's PWM signal into the rotor angles.
#pragma once

// Turns the latest capture pair (IC1Value: period, IC2Value: high time, in
// 10.5 MHz counts) into DutyCycle, the mechanical angle PitchAngle, the
// unwrapped absolute angle AbPitchAngle, the electrical angle ElePitchAngle,
// the transform angle MotorAPark.Theta, UqAngle and Frequency, and counts the
// capture in DecodedCaptures. A period outside the sensor's range (0
// included) only sets DutyCycle and Frequency to 0. Called by the capture
// interrupt after it has read the two captures.
void Angle_Decode();
