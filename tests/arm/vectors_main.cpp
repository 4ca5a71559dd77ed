// Test runner for the emulated Cortex-M4: the cases shared with the host
// (tests/shared, over the same vector tables) run on the board's own
// arithmetic, the FPU for single precision and the compiler's software
// routines for double, after the checks only this image makes.
#include <cstdint>
#include <cstring>

#include "checks.h"
#include "report.h"
#include "semihost.h"
#include "test_case.h"

namespace armtest {

void check_runner() {
  Group group("runner");
  // One line at a time: the stack is small.
  const char* const want[] = {"x0x0a0xbeef0x80000001", "0 -1 -9223372036854775808 4294967295",
                              "0x3ff0000000000001"};
  for (int n = 0; n < 3; ++n) {
    Line line;
    if (n == 0) {
      line << "x" << hex(std::uint8_t{0x0A}) << hex(std::uint16_t{0xBEEF}) << hex(0x80000001u);
    } else if (n == 1) {
      line << dec(0) << " " << dec(-1) << " " << dec(INT64_MIN) << " " << dec(4294967295);
    } else {
      line << hex(std::uint64_t{0x3FF0000000000001u});
    }
    group.at(n, want[n]);
    group.equal("text", std::strcmp(line.text(), want[n]), 0);
  }
  group.at(3, "bit patterns");
  group.equal("float", bits(-0.0f).value, std::uint64_t{0x80000000u});
  group.equal("double", bits(-2.0).value, std::uint64_t{0xC000000000000000u});
  group.equal("same_bits +0 -0", same_bits(0.0f, -0.0f), false);
}

}  // namespace armtest

int main() {
  armtest::check_runner();
  armtest::check_nvic();
  armtest::check_link();
  armtest::check_frame();
  armtest::run_tests();
  semihost::exit(armtest::finish("arm vectors"));
}
