// The runner's self-check: an image whose checks deliberately fail, so that
// the test around it can prove that a mismatch is detected, printed with its
// case and both bit patterns, and turned into a failing exit status; the
// same for a case written with the shared sources' macros.
#include <cstdint>

#include "report.h"
#include "semihost.h"
#include "test_case.h"

// The case macros of the shared sources report the same way: the innermost
// traces name the case, and a failed assertion ends it.
TEST(Selfcheck, Macros) {
  SCOPED_TRACE("traced");
  SCOPED_TRACE(7);
  EXPECT_EQ(std::int32_t{-2}, 3);
  EXPECT_BITS(1.0f, 0x3F800001u);
  ASSERT_TRUE(false);
  EXPECT_EQ(1, 2);  // not reached
}

int main() {
  {
    armtest::Group group("selfcheck");
    group.at(0, "equal");
    group.equal("float", 1.5f, 1.5f);
    group.at(3, "one ulp");
    group.equal("float", 1.0f, 1.00000012f);
    group.at(4, "signed zero");
    group.equal("double", -0.0, 0.0);
    group.at(5);
    group.equal("int16", std::int16_t{-25536}, std::int16_t{-25535});
    const std::uint8_t got[] = {0xAA, 0xAF, 0x02};
    const std::uint8_t want[] = {0xAA, 0xAA, 0x02};
    group.at(6, "frame");
    group.bytes("bytes", got, 3, want, 3);
  }
  armtest::run_tests();
  semihost::exit(armtest::finish("selfcheck"));
}
