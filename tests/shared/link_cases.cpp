// Parity of the sensor link's words, on both builds.
#include <bit>
#include <cstdint>

#include "as5048a.h"
#include "test_case.h"
#include "vectors/link_vectors.h"

namespace {

TEST(SensorLinkParity, Vectors) {
  for (const auto& v : link_vectors::kParity) {
    SCOPED_TRACE(v.value);
    EXPECT_EQ(parity_even(v.value), v.parity);
  }
}

TEST(SensorLinkParity, EveryWordAgainstItsBitCount) {
  for (std::uint32_t v = 0; v <= 0xFFFFu; ++v) {
    SCOPED_TRACE(v);
    const auto w = static_cast<std::uint16_t>(v);
    const std::uint8_t p = parity_even(w);
    ASSERT_EQ(p, std::popcount(w) & 1);
    if (w < 0x8000u) {
      // Placed in bit 15 of a word whose bit 15 is clear, it makes the word even.
      ASSERT_EQ(std::popcount(static_cast<std::uint16_t>(w | (p << 15))) & 1, 0);
    }
  }
}

}  // namespace
