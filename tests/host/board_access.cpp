// The shared cases' board access on the virtual board: through its
// debugger view, which costs no virtual time and has no side effects on the
// models (TIM3's capture registers are read-only to the firmware).
#include "shared/board_access.h"

#include <cstddef>

#include "device.h"
#include "drv_rcc.h"
#include "register_access.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"

namespace board_access {

using namespace test_registers;
using vboard::board;

void power_on() { board().reset(); }

void open_timer_gates() { poke32(kRccApb1enr, peek32(kRccApb1enr) | RCC_APB1Periph_TIM3 | RCC_APB1Periph_TIM5); }

void place_capture(std::uint16_t period, std::uint16_t high) {
  poke32(TIM3_BASE + offsetof(TIM_TypeDef, CCR1), period);
  poke32(TIM3_BASE + offsetof(TIM_TypeDef, CCR2), high);
}

std::uint32_t phase_compare(int channel) {
  return peek32(TIM5_BASE + offsetof(TIM_TypeDef, CCR1) + 4u * static_cast<unsigned>(channel - 1));
}

std::uint8_t priority_byte(std::uint8_t channel) {
  return static_cast<std::uint8_t>(peek8(NVIC_BASE + offsetof(NVIC_Type, IP) + channel));
}

void preset_priority_byte(std::uint8_t channel, std::uint8_t value) {
  board().poke(NVIC_BASE + offsetof(NVIC_Type, IP) + channel, value, 1);
}

bool irq_enabled(std::uint8_t channel) { return board().nvic().enabled(channel); }

std::uint32_t priority_grouping() { return board().scb().prigroup(); }

}  // namespace board_access
