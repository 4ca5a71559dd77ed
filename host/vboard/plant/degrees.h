// Angles in degrees: the remainder of a turn, as std::fmod(x, 360.0) gives
// it, bit for bit, without the library call for the angles the sensor's
// paths see every period (within two turns of zero).
#pragma once

#include <cmath>

namespace vboard {

// Exactly std::fmod(x, 360.0). Below one turn fmod returns x itself (with
// its sign, -0.0 included). From one turn to below two, fmod returns
// |x| - 360 with x's sign, and that subtraction is exact (Sterbenz:
// 360 / 2 <= |x| <= 2 x 360); at |x| = 360 it is a zero of x's sign, as
// fmod's. Everything else (two turns or more, infinities, NaN) goes to the
// library.
inline double fmod_360(double x) {
  const double m = std::fabs(x);
  if (m < 360.0) return x;
  if (m < 720.0) return std::copysign(m - 360.0, x);
  return std::fmod(x, 360.0);
}

}  // namespace vboard
