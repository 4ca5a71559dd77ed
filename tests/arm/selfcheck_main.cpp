// The runner's self-check: an image whose checks deliberately fail, so that
// the test around it can prove that a mismatch is detected, printed with its
// case and both bit patterns, and turned into a failing exit status.
#include <cstdint>

#include "report.h"
#include "semihost.h"

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
  semihost::exit(armtest::finish("selfcheck"));
}
