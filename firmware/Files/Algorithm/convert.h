// Float to integer conversion by truncation toward zero, as the Cortex-M4's
// VCVT does it: values beyond the 32-bit range saturate and NaN gives 0.
// C++ leaves those cases undefined; spelling them out makes the board and
// the host build agree on every input, sensor garbage included.
#pragma once

#include <cstdint>

constexpr std::int32_t truncate_to_i32(float x) {
  if (x != x) return 0;  // NaN
  if (x >= 2147483648.0f) return INT32_MAX;
  if (x < -2147483648.0f) return INT32_MIN;
  return static_cast<std::int32_t>(x);
}

constexpr std::int32_t truncate_to_i32(double x) {
  if (x != x) return 0;  // NaN
  if (x >= 2147483648.0) return INT32_MAX;
  if (x <= -2147483649.0) return INT32_MIN;
  return static_cast<std::int32_t>(x);
}

static_assert(truncate_to_i32(-0.9f) == 0 && truncate_to_i32(359.99f) == 359);
static_assert(truncate_to_i32(3.0e9f) == INT32_MAX && truncate_to_i32(-3.0e9f) == INT32_MIN);
