// The vector table: the stack top, the core exceptions and the device
// interrupts, each entry in its place and named by it in reports.
#include <gtest/gtest.h>

#include "device.h"
#include "handlers.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"
#include "vectors.h"

namespace {

TEST(VectorTable, EveryEntryInItsPlace) {
  EXPECT_EQ(g_pfnVectors[0].stack_top, &_estack);
  const struct {
    int entry;
    void (*handler)();
  } core[] = {
      {1, Reset_Handler},     {2, NMI_Handler},       {3, HardFault_Handler}, {4, MemManage_Handler},
      {5, BusFault_Handler},  {6, UsageFault_Handler}, {7, nullptr},          {8, nullptr},
      {9, nullptr},           {10, nullptr},          {11, SVC_Handler},      {12, DebugMon_Handler},
      {13, nullptr},          {14, PendSV_Handler},   {15, SysTick_Handler},
  };
  for (const auto& c : core) EXPECT_EQ(g_pfnVectors[c.entry].handler, c.handler) << "entry " << c.entry;
  for (int irq = 0; irq < kDeviceIrqCount; ++irq) {
    void (*expected)() = Default_Handler;
    switch (irq) {
      case EXTI9_5_IRQn: expected = EXTI9_5_IRQHandler; break;
      case TIM3_IRQn: expected = TIM3_IRQHandler; break;
      case USART1_IRQn: expected = USART1_IRQHandler; break;
      case USART3_IRQn: expected = USART3_IRQHandler; break;
      case TIM6_DAC_IRQn: expected = TIM6_DAC_IRQHandler; break;
      default: break;
    }
    EXPECT_EQ(g_pfnVectors[vboard::kExcIrq0 + irq].handler, expected) << "device interrupt " << irq;
  }
}

// Reports name a handler as the vector table gives it, not from a list of
// their own.
TEST(VectorTable, HandlersAreNamedByTheirSymbols) {
  EXPECT_EQ(vboard::exception_name(vboard::kExcHardFault), "HardFault_Handler");
  EXPECT_EQ(vboard::exception_name(vboard::kExcSysTick), "SysTick_Handler");
  EXPECT_EQ(vboard::exception_name(vboard::kExcIrq0 + TIM6_DAC_IRQn), "TIM6_DAC_IRQHandler");
  EXPECT_EQ(vboard::exception_name(vboard::kExcIrq0 + EXTI9_5_IRQn), "EXTI9_5_IRQHandler");
  EXPECT_EQ(vboard::exception_name(vboard::kExcIrq0 + TIM2_IRQn), "Default_Handler");
  EXPECT_EQ(vboard::exception_name(7), "exception 7") << "a reserved entry";
}

}  // namespace
