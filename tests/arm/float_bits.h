// Float results against the bit patterns of the shared tables.
#pragma once

#include <bit>
#include <cstdint>

#include "report.h"

namespace armtest {

// The tables' NaN: an expected NaN matches any NaN (payloads differ between
// FPUs); everything else must match bit for bit.
inline constexpr std::uint32_t kAnyNaN = 0x7FC00000u;

inline bool float_bits(Group& group, const char* field, float got, std::uint32_t want) {
  const std::uint32_t got_bits = std::bit_cast<std::uint32_t>(got);
  if (want == kAnyNaN && got != got) {
    return group.equal(field, want, want);
  }
  return group.equal(field, got_bits, want);
}

inline float as_float(std::uint32_t bits) { return std::bit_cast<float>(bits); }

}  // namespace armtest
