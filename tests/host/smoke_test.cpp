#include <gtest/gtest.h>

#include "vboard/board.h"

TEST(Smoke, Boots) {
  auto& b = vboard::board();
  b.reset();
  b.power_on();
  b.run_for(vboard::ms(10));
  EXPECT_GE(b.now(), vboard::ms(10));
  b.reset();
}
