// The vector table: the stack top, the core exceptions and the 82 device
// interrupts, each entry in its place.
#include <gtest/gtest.h>

#include "handlers.h"
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
  for (int irq = 0; irq < 82; ++irq) {
    void (*expected)() = Default_Handler;
    switch (irq) {
      case 23: expected = EXTI9_5_IRQHandler; break;
      case 29: expected = TIM3_IRQHandler; break;
      case 37: expected = USART1_IRQHandler; break;
      case 39: expected = USART3_IRQHandler; break;
      case 54: expected = TIM6_DAC_IRQHandler; break;
      default: break;
    }
    EXPECT_EQ(g_pfnVectors[16 + irq].handler, expected) << "device interrupt " << irq;
  }
}

}  // namespace
