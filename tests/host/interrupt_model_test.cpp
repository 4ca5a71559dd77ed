// The virtual board's interrupt controller: enable and pending state,
// priority bytes, grouping, pre-emption by group priority, order by
// sub-priority, nesting and the active state.
#include <gtest/gtest.h>

#include <vector>

#include "device.h"
#include "drv_misc.h"
#include "global_variable.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"

namespace {

using vboard::board;
constexpr int kTick = vboard::kExcIrq0 + TIM6_DAC_IRQn;
constexpr int kKeys = vboard::kExcIrq0 + EXTI9_5_IRQn;
constexpr int kSerial = vboard::kExcIrq0 + USART3_IRQn;
constexpr int kSysTick = vboard::kExcSysTick;

class InterruptModel : public ::testing::Test {
 protected:
  void SetUp() override { board().reset(); }
  void TearDown() override { board().reset(); }

  // The system's plan: grouping 1, tick 0x10, keys 0x30, serial 0xB0, SysTick 0xF0.
  static void set_plan(std::uint32_t grouping) {
    NVIC_PriorityGroupConfig(grouping);
    board().poke(NVIC_BASE + offsetof(NVIC_Type, IP) + TIM6_DAC_IRQn, 0x10, 1);
    board().poke(NVIC_BASE + offsetof(NVIC_Type, IP) + EXTI9_5_IRQn, 0x30, 1);
    board().poke(NVIC_BASE + offsetof(NVIC_Type, IP) + USART3_IRQn, 0xB0, 1);
    board().poke(SCB_BASE + offsetof(SCB_Type, SHP) + 11, 0xF0, 1);
  }
  static void enable(int irq) { NVIC->ISER[irq >> 5] = 1u << (irq & 31); }
  // Through the model only: no sync point, so nothing is taken yet.
  static void enable_quietly(int irq) {
    board().nvic().write(4u * static_cast<unsigned>(irq >> 5), 1u << (irq & 31), 4);
  }
};

TEST_F(InterruptModel, PriorityBytesKeepOnlyTheImplementedUpperBits) {
  NVIC->IP[TIM6_DAC_IRQn] = 0x1F;
  SCB->SHP[11] = 0xFF;
  EXPECT_EQ(board().nvic().ip(TIM6_DAC_IRQn), 0x10);
  EXPECT_EQ(board().scb().system_priority(kSysTick), 0xF0);
}

TEST_F(InterruptModel, GroupingNeedsTheKeyAndReadsBackWithIt) {
  SCB->AIRCR = 0x00000500u;  // no key: ignored
  EXPECT_EQ(board().scb().prigroup(), 0u);
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1);
  EXPECT_EQ(board().scb().prigroup(), 6u);
  EXPECT_EQ(static_cast<std::uint32_t>(SCB->AIRCR), 0xFA050600u);
}

TEST_F(InterruptModel, PendingWithoutEnableIsNotTakenAndEnableAndClearWork) {
  auto& nvic = board().nvic();
  board().pend_irq(TIM6_DAC_IRQn);
  EXPECT_EQ(nvic.next_to_take(), 0);
  EXPECT_EQ(NVIC->ISPR[1] & (1u << (54 - 32)), 1u << (54 - 32));
  NVIC->ICPR[1] = 1u << (54 - 32);
  EXPECT_FALSE(nvic.pending(kTick));
  enable(TIM6_DAC_IRQn);
  EXPECT_TRUE(nvic.enabled(TIM6_DAC_IRQn));
  EXPECT_EQ(NVIC->ISER[1], 1u << (54 - 32));
  NVIC->ICER[1] = 1u << (54 - 32);
  EXPECT_FALSE(nvic.enabled(TIM6_DAC_IRQn));
}

TEST_F(InterruptModel, SubPriorityOrdersRequestsOfOneGroupWithoutPreemption) {
  set_plan(NVIC_PriorityGroup_1);
  auto& nvic = board().nvic();
  for (int irq : {USART3_IRQn, EXTI9_5_IRQn, TIM6_DAC_IRQn}) {
    board().pend_irq(irq);
    enable_quietly(irq);
  }
  nvic.set_pending(kSysTick);

  // From thread mode the most urgent is taken first: tick, then keys.
  EXPECT_EQ(nvic.next_to_take(), kTick);
  nvic.activate(kTick);
  // Keys share pre-emption level 0 with the tick: they wait.
  EXPECT_EQ(nvic.next_to_take(), 0);
  EXPECT_EQ(nvic.execution_priority(), 0);
  nvic.deactivate(kTick);
  EXPECT_EQ(nvic.next_to_take(), kKeys);
  nvic.activate(kKeys);
  EXPECT_EQ(nvic.next_to_take(), 0);
  nvic.deactivate(kKeys);
  // Serial receive before SysTick: same level 1, sub-priority 3 before 7.
  EXPECT_EQ(nvic.next_to_take(), kSerial);
  nvic.activate(kSerial);
  EXPECT_EQ(nvic.next_to_take(), 0) << "SysTick shares level 1 and cannot pre-empt";
  // But a level-0 request pre-empts the serial handler, and nests.
  board().pend_irq(TIM6_DAC_IRQn);
  EXPECT_EQ(nvic.next_to_take(), kTick);
  nvic.activate(kTick);
  EXPECT_EQ(nvic.active_stack(), (std::vector<int>{kSerial, kTick}));
  EXPECT_TRUE(nvic.active(kSerial));
  EXPECT_EQ(NVIC->IABR[1], 1u << (54 - 32) | 1u << (39 - 32));
  nvic.deactivate(kTick);
  nvic.deactivate(kSerial);
  EXPECT_EQ(nvic.next_to_take(), kSysTick);
}

TEST_F(InterruptModel, GroupingDecidesWhatPreempts) {
  // Under grouping 4 every priority bit is pre-emption: 0x10 pre-empts 0x30.
  set_plan(NVIC_PriorityGroup_4);
  auto& nvic = board().nvic();
  enable(TIM6_DAC_IRQn);
  enable(EXTI9_5_IRQn);
  board().pend_irq(EXTI9_5_IRQn);
  ASSERT_EQ(nvic.next_to_take(), kKeys);
  nvic.activate(kKeys);
  board().pend_irq(TIM6_DAC_IRQn);
  EXPECT_EQ(nvic.next_to_take(), kTick);
  // Under grouping 0 nothing pre-empts anything.
  nvic.reset();
  set_plan(NVIC_PriorityGroup_0);
  enable(TIM6_DAC_IRQn);
  enable(EXTI9_5_IRQn);
  board().pend_irq(EXTI9_5_IRQn);
  nvic.activate(kKeys);
  board().pend_irq(TIM6_DAC_IRQn);
  EXPECT_EQ(nvic.next_to_take(), 0);
  // Fixed-priority faults pre-empt any configurable priority.
  nvic.set_pending(vboard::kExcHardFault);
  EXPECT_EQ(nvic.next_to_take(), vboard::kExcHardFault);
}

TEST_F(InterruptModel, LevelRequestStillAssertedRependsAfterReturn) {
  auto& nvic = board().nvic();
  enable(TIM6_DAC_IRQn);
  board().set_irq_line(TIM6_DAC_IRQn, true);
  nvic.activate(kTick);
  EXPECT_FALSE(nvic.pending(kTick));
  nvic.deactivate(kTick);
  EXPECT_TRUE(nvic.pending(kTick));
  nvic.activate(kTick);
  board().set_irq_line(TIM6_DAC_IRQn, false);
  nvic.deactivate(kTick);
  EXPECT_FALSE(nvic.pending(kTick));
}

// With the firmware running, requests raised together are served in the
// plan's order, and a fault raised inside the key handler's debounce nests
// on top of it and stops the processor there.
TEST_F(InterruptModel, FirmwareHandlersRunInPlanOrderAndNest) {
  board().power_on();
  board().run_for(vboard::ms(20) + vboard::us(100));  // past the capture of the sensor period ending at 20 ms
  std::vector<int> entries;
  std::vector<std::vector<int>> stacks;
  board().on_exception_entry = [&](int e, vboard::Ticks) {
    entries.push_back(e);
    stacks.push_back(board().nvic().active_stack());
  };
  // Raise all four between two ticks, when nothing else is due.
  const vboard::Ticks t = board().now() + vboard::us(300);
  board().at(t, [] {
    for (int irq : {USART3_IRQn, EXTI9_5_IRQn, TIM6_DAC_IRQn}) board().pend_irq(irq);
    board().nvic().set_pending(kSysTick);
  });
  board().at(t + vboard::ms(5), [] { board().nvic().set_pending(vboard::kExcHardFault); });
  board().run_until(t + vboard::ms(30));
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entries[0], kTick);
  EXPECT_EQ(entries[1], kKeys);
  // The fault comes during the keys' 10 ms debounce, nested on the key handler.
  EXPECT_EQ(entries[2], vboard::kExcHardFault);
  EXPECT_EQ(stacks[2], (std::vector<int>{kKeys, vboard::kExcHardFault}));
  const auto& stop = board().stop_info();
  EXPECT_TRUE(stop.stopped_in_handler);
  EXPECT_EQ(stop.handler, "HardFault_Handler");
  // Nothing else runs once the processor is stopped in the fault handler.
  EXPECT_EQ(entries.size(), 3u);
}

}  // namespace
