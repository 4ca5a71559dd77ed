// Reset entry and vector table.
#include "handlers.h"
#include "port.h"
#include "system_clock.h"
#include "vectors.h"

int main();

extern "C" [[noreturn]] void Reset_Handler() {
  SystemInit();        // clocks first, using no global data
  port::runtime_init();  // then static memory
  main();
  for (;;) {
    port::spin_point();
  }
}

// Every device interrupt without a handler of its own ends here and stops
// the processor.
extern "C" void Default_Handler() {
  for (;;) {
    port::spin_point();
  }
}

#define DEFAULT4 {.handler = Default_Handler}, {.handler = Default_Handler}, {.handler = Default_Handler}, {.handler = Default_Handler}

extern "C" __attribute__((section(".isr_vector"), used)) const VectorEntry g_pfnVectors[] = {
    {.stack_top = &_estack},
    {.handler = Reset_Handler},
    {.handler = NMI_Handler},
    {.handler = HardFault_Handler},
    {.handler = MemManage_Handler},
    {.handler = BusFault_Handler},
    {.handler = UsageFault_Handler},
    {.handler = nullptr},
    {.handler = nullptr},
    {.handler = nullptr},
    {.handler = nullptr},
    {.handler = SVC_Handler},
    {.handler = DebugMon_Handler},
    {.handler = nullptr},
    {.handler = PendSV_Handler},
    {.handler = SysTick_Handler},
    // Device interrupts 0 to 81.
    DEFAULT4, DEFAULT4, DEFAULT4, DEFAULT4, DEFAULT4,  // 0..19
    {.handler = Default_Handler},                      // 20 CAN1_RX0
    {.handler = Default_Handler},                      // 21 CAN1_RX1
    {.handler = Default_Handler},                      // 22 CAN1_SCE
    {.handler = EXTI9_5_IRQHandler},                   // 23 EXTI lines 5 to 9: setpoint keys
    DEFAULT4,                                          // 24..27
    {.handler = Default_Handler},                      // 28 TIM2
    {.handler = TIM3_IRQHandler},                      // 29 TIM3: sensor PWM capture
    DEFAULT4,                                          // 30..33
    {.handler = Default_Handler},                      // 34 I2C2_ER
    {.handler = Default_Handler},                      // 35 SPI1
    {.handler = Default_Handler},                      // 36 SPI2
    {.handler = USART1_IRQHandler},                    // 37 USART1
    {.handler = Default_Handler},                      // 38 USART2
    {.handler = USART3_IRQHandler},                    // 39 USART3: serial receive
    DEFAULT4, DEFAULT4, DEFAULT4,                      // 40..51
    {.handler = Default_Handler},                      // 52 UART4
    {.handler = Default_Handler},                      // 53 UART5
    {.handler = TIM6_DAC_IRQHandler},                  // 54 TIM6: scheduler tick
    {.handler = Default_Handler},                      // 55 TIM7
    DEFAULT4, DEFAULT4, DEFAULT4, DEFAULT4, DEFAULT4, DEFAULT4,  // 56..79
    {.handler = Default_Handler},                                // 80 RNG
    {.handler = Default_Handler},                                // 81 FPU
};

#undef DEFAULT4

static_assert(sizeof(g_pfnVectors) == kVectorCount * sizeof(VectorEntry), "every core and device entry in its place");
