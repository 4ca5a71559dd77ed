// Priority grouping and channel set-up, on both builds: on the virtual
// board's interrupt controller and on the emulated core's own, where the
// values read back are what the hardware holds.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "device.h"
#include "drv_misc.h"
#include "shared/board_access.h"
#include "test_case.h"

namespace {

using board_access::irq_enabled;
using board_access::priority_byte;

TEST(InterruptController, PriorityGroupingTakesEffect) {
  board_access::power_on();
  for (std::uint32_t g : {NVIC_PriorityGroup_0, NVIC_PriorityGroup_1, NVIC_PriorityGroup_2, NVIC_PriorityGroup_3,
                          NVIC_PriorityGroup_4}) {
    SCOPED_TRACE(g);
    NVIC_PriorityGroupConfig(g);
    EXPECT_EQ(board_access::priority_grouping(), g >> 8);
  }
  board_access::power_on();
}

TEST(InterruptController, InitEncodesPriorityUnderEveryGrouping) {
  board_access::power_on();
  struct Pair {
    std::uint8_t preemption, sub;
  };
  // High bits of both values are shifted out or masked off.
  const Pair pairs[] = {{0, 0}, {2, 3}, {3, 3}, {2, 1}, {1, 7}, {7, 1}, {15, 15}, {0xFF, 0xFF}, {0x10, 0x08}, {5, 2}};
  struct Row {
    std::uint32_t grouping;
    std::uint8_t bytes[10];
  };
  const Row rows[] = {
      // 0 pre-emption bits: S AND 0xF, shifted left 4.
      {NVIC_PriorityGroup_0, {0x00, 0x30, 0x30, 0x10, 0x70, 0x10, 0xF0, 0xF0, 0x80, 0x20}},
      // 1 bit: ((P AND 1) << 7) | ((S AND 7) << 4).
      {NVIC_PriorityGroup_1, {0x00, 0x30, 0xB0, 0x10, 0xF0, 0x90, 0xF0, 0xF0, 0x00, 0xA0}},
      // 2 bits: ((P AND 3) << 6) | ((S AND 3) << 4).
      {NVIC_PriorityGroup_2, {0x00, 0xB0, 0xF0, 0x90, 0x70, 0xD0, 0xF0, 0xF0, 0x00, 0x60}},
      // 3 bits: ((P AND 7) << 5) | ((S AND 1) << 4).
      {NVIC_PriorityGroup_3, {0x00, 0x50, 0x70, 0x50, 0x30, 0xF0, 0xF0, 0xF0, 0x00, 0xA0}},
      // 4 bits: (P AND 0xF) << 4.
      {NVIC_PriorityGroup_4, {0x00, 0x20, 0x30, 0x20, 0x10, 0x70, 0xF0, 0xF0, 0x00, 0x50}},
  };
  // Channels in each of the three enable words.
  const std::uint8_t channels[] = {EXTI9_5_IRQn, USART3_IRQn, TIM6_DAC_IRQn, FPU_IRQn};
  int index = 0;
  for (const auto& row : rows) {
    NVIC_PriorityGroupConfig(row.grouping);
    for (std::size_t n = 0; n < std::size(pairs); ++n) {
      for (std::uint8_t ch : channels) {
        // grouping row, pair and channel, counted
        SCOPED_TRACE(index++);
        board_access::preset_priority_byte(ch, 0x0F);  // no encoded byte looks like this
        NVIC_InitTypeDef init = {ch, pairs[n].preemption, pairs[n].sub, ENABLE};
        NVIC_Init(&init);
        EXPECT_EQ(priority_byte(ch), row.bytes[n]);
        EXPECT_TRUE(irq_enabled(ch));
        // Clear it again for the next round.
        NVIC->ICER[ch >> 5] = 1u << (ch & 31u);
      }
    }
  }
  board_access::power_on();
}

TEST(InterruptController, InitWithoutAGroupingGivesAllFourBitsToPreemption) {
  board_access::power_on();
  // At reset (PRIGROUP 0) and for PRIGROUP 1 and 2, the core treats all
  // four implemented bits as pre-emption priority: the same as grouping 4.
  for (std::uint32_t prigroup : {0u, 1u, 2u}) {
    SCOPED_TRACE(prigroup);
    SCB->AIRCR = AIRCR_VECTKEY_MASK | (prigroup << 8);
    ASSERT_EQ(board_access::priority_grouping(), prigroup);
    NVIC_InitTypeDef init = {TIM6_DAC_IRQn, 5, 2, ENABLE};
    NVIC_Init(&init);
    EXPECT_EQ(priority_byte(TIM6_DAC_IRQn), 0x50);
    NVIC_InitTypeDef high = {EXTI9_5_IRQn, 0x1F, 0x0F, ENABLE};
    NVIC_Init(&high);
    EXPECT_EQ(priority_byte(EXTI9_5_IRQn), 0xF0);
  }
  board_access::power_on();
}

TEST(InterruptController, InitDisableWritesOnlyTheClearEnableBit) {
  board_access::power_on();
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1);
  for (std::uint8_t ch : {std::uint8_t{EXTI9_5_IRQn}, std::uint8_t{USART3_IRQn}, std::uint8_t{TIM6_DAC_IRQn}}) {
    SCOPED_TRACE(ch);
    NVIC_InitTypeDef on = {ch, 3, 3, ENABLE};
    NVIC_Init(&on);
    ASSERT_EQ(priority_byte(ch), 0xB0);
    ASSERT_TRUE(irq_enabled(ch));
    NVIC_InitTypeDef off = {ch, 0, 1, DISABLE};
    NVIC_Init(&off);
    EXPECT_FALSE(irq_enabled(ch));
    EXPECT_EQ(priority_byte(ch), 0xB0);
  }
  // The other channels stay enabled: one bit per write.
  NVIC_InitTypeDef a = {EXTI9_5_IRQn, 2, 3, ENABLE};
  NVIC_InitTypeDef b = {TIM6_DAC_IRQn, 2, 1, ENABLE};
  NVIC_Init(&a);
  NVIC_Init(&b);
  NVIC_InitTypeDef off = {USART3_IRQn, 3, 3, DISABLE};
  NVIC_Init(&off);
  EXPECT_TRUE(irq_enabled(EXTI9_5_IRQn));
  EXPECT_TRUE(irq_enabled(TIM6_DAC_IRQn));
  board_access::power_on();
}

}  // namespace
