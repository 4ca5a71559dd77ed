// Bit-exact comparison of a float result with an expected bit pattern from
// the shared vector tables.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "vectors/control_vectors.h"

namespace vector_check {

inline std::string describe(std::uint32_t bits) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%08X (%.9g)", static_cast<unsigned>(bits),
                static_cast<double>(std::bit_cast<float>(bits)));
  return text;
}

// An expected NaN matches any NaN; everything else must match bit for bit,
// so -0 and +0 differ.
inline ::testing::AssertionResult same_bits(const char* actual_expr, const char* /*expected_expr*/, float actual,
                                            std::uint32_t expected) {
  const std::uint32_t got = std::bit_cast<std::uint32_t>(actual);
  if (expected == control_vectors::kNaN ? std::isnan(actual) : got == expected) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << actual_expr << " is " << describe(got) << ", expected "
                                       << describe(expected);
}

}  // namespace vector_check

#define EXPECT_BITS(actual, expected) EXPECT_PRED_FORMAT2(vector_check::same_bits, actual, expected)
