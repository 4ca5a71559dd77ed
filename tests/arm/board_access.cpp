// The shared cases' board access on the emulated Cortex-M4: straight to the
// registers. The emulator keeps what is written to TIM3's capture and TIM5's
// compare registers, and its interrupt controller is the core's own.
#include "shared/board_access.h"

#include <cstddef>

#include "device.h"
#include "drv_rcc.h"
#include "report.h"

namespace board_access {

// The globals as after reset, and no channel of the interrupt controller
// left enabled or pending by an earlier case.
void power_on() {
  armtest::power_on_state();
  for (std::size_t n = 0; n < 3; ++n) {
    NVIC->ICER[n] = 0xFFFFFFFFu;
    NVIC->ICPR[n] = 0xFFFFFFFFu;
  }
}

void open_timer_gates() {
  const std::uint32_t enr = RCC->APB1ENR;
  RCC->APB1ENR = enr | RCC_APB1Periph_TIM3 | RCC_APB1Periph_TIM5;
}

void place_capture(std::uint16_t period, std::uint16_t high) {
  TIM3->CCR1 = period;
  TIM3->CCR2 = high;
}

std::uint32_t phase_compare(int channel) {
  switch (channel) {
    case 1:
      return TIM5->CCR1;
    case 2:
      return TIM5->CCR2;
    default:
      return TIM5->CCR3;
  }
}

std::uint8_t priority_byte(std::uint8_t channel) { return NVIC->IP[channel]; }
void preset_priority_byte(std::uint8_t channel, std::uint8_t value) { NVIC->IP[channel] = value; }
bool irq_enabled(std::uint8_t channel) { return ((NVIC->ISER[channel >> 5] >> (channel & 31u)) & 1u) != 0u; }
std::uint32_t priority_grouping() { return (SCB->AIRCR >> 8) & 7u; }

}  // namespace board_access
