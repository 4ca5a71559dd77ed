// The board says what it does not model: an access to an address with no
// model is recorded with its time, and the whole firmware, from reset
// through start-up and a second of running with the sensor turning, makes
// none.
#include <gtest/gtest.h>

#include <cstdio>

#include "device.h"
#include "vboard/board.h"

namespace {

using vboard::board;
using vboard::ms;

TEST(Gaps, AnAddressWithNoModelIsRecordedWithItsAccessAndTime) {
  board().reset();
  board().run_for(ms(2));
  // TIM4 is on the chip but has no model on this board.
  auto& reg = port::reg_at<std::uint32_t>(TIM4_BASE + offsetof(TIM_TypeDef, ARR));
  reg = 0x1234u;
  const std::uint32_t back = reg;
  EXPECT_EQ(back, 0x1234u) << "the access goes on as plain memory";
  ASSERT_EQ(board().gap_count(), 2u);
  const auto& g = board().gaps();
  EXPECT_EQ(g[0].address, TIM4_BASE + offsetof(TIM_TypeDef, ARR));
  EXPECT_TRUE(g[0].write);
  EXPECT_EQ(g[0].value, 0x1234u);
  EXPECT_FALSE(g[1].write);
  EXPECT_GE(g[0].time, ms(2));
  char address[16];
  std::snprintf(address, sizeof address, "0x%08lx", static_cast<unsigned long>(TIM4_BASE + offsetof(TIM_TypeDef, ARR)));
  EXPECT_NE(board().gap_report().find(address), std::string::npos) << board().gap_report();
  board().reset();
  EXPECT_EQ(board().gap_count(), 0u) << "reset forgets them";
}

TEST(Gaps, StartUpAndOneSecondOfRunningTouchNothingUnmodelled) {
  board().reset();
  board().rotor().set(10.0, 90.0, 0);
  board().power_on();
  board().run_for(ms(1000));
  EXPECT_EQ(board().gap_count(), 0u) << board().gap_report();
  EXPECT_FALSE(board().stop_info().stalled);
  board().reset();
}

}  // namespace
