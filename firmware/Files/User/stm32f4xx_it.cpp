// Interrupt and exception handlers.
#include <cstdint>

#include "device.h"
#include "drv_tim.h"
#include "drv_usart.h"
#include "global_variable.h"
#include "handlers.h"
#include "port.h"
#include "rcc.h"

namespace {
// Scheduler tick counters, one per period, each counting 1 ms ticks.
constinit std::uint32_t i = 0;
constinit std::uint32_t j = 0;
constinit std::uint32_t k = 0;

[[noreturn]] void stop_here() {
  for (;;) {
    port::spin_point();
  }
}
}  // namespace

// Faults stop the processor here; only a reset or a debugger ends the state.
extern "C" void HardFault_Handler() { stop_here(); }
extern "C" void MemManage_Handler() { stop_here(); }
extern "C" void BusFault_Handler() { stop_here(); }
extern "C" void UsageFault_Handler() { stop_here(); }

extern "C" void NMI_Handler() {}
extern "C" void SVC_Handler() {}
extern "C" void DebugMon_Handler() {}
extern "C" void PendSV_Handler() {}

// 1 ms system tick: counts down the delay slots that are still running.
extern "C" void SysTick_Handler() {
  for (std::uint8_t slot = 0; slot < 3; ++slot) {
    if (Task_Delay[slot] != 0u) {
      Task_Delay[slot] = Task_Delay[slot] - 1u;
    }
  }
}

// USART1 is never clocked or enabled; the query has no consequence.
extern "C" void USART1_IRQHandler() { (void)USART_GetITStatus(USART1, USART_IT_IDLE); }

// Serial receive: the ground station's bytes are not interpreted. Every byte
// is read and dropped; reading the status and then the data register also
// clears an overrun, so no amount of incoming data can hold the line up.
extern "C" void USART3_IRQHandler() {
  const std::uint16_t status = USART3->SR;
  if ((status & (USART_SR_RXNE | USART_SR_ORE | USART_SR_NE | USART_SR_FE | USART_SR_PE)) != 0u) {
    const std::uint16_t discarded = USART3->DR;
    (void)discarded;
  }
}

// 1 ms scheduler tick: raises the 100 ms, 5 ms and 10 ms control flags.
extern "C" void TIM6_DAC_IRQHandler() {
  if (TIM_GetITStatus(TIM6, TIM_IT_Update) != SET) {
    return;
  }
  TIM_ClearITPendingBit(TIM6, TIM_IT_Update);
  ++i;
  if (i == 100u) {
    i = 0;
    gFlag100ms = SET;
  }
  ++j;
  if (j == 5u) {
    j = 0;
    gFlag5ms = SET;
  }
  ++k;
  if (k == 10u) {
    k = 0;
    gFlagControl = SET;
  }
}
