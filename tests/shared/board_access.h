// What the shared cases need from the board they run on, done the way each
// board allows: on the virtual board through its debugger view (no virtual
// time, no side effects), on the emulated Cortex-M4 through the registers
// themselves.
#pragma once

#include <cstdint>

namespace board_access {

// Every firmware global and register back to its state after reset.
void power_on();

// Opens the clock gates of TIM3 (sensor capture) and TIM5 (phase drive).
void open_timer_gates();

// A capture pair in TIM3's capture registers, as the sensor signal leaves
// it: period in CCR1, high time in CCR2.
void place_capture(std::uint16_t period, std::uint16_t high);

// TIM5's compare register of phase channel 1, 2 or 3.
std::uint32_t phase_compare(int channel);

// The interrupt controller's priority byte of a channel, its enable bit and
// the priority grouping in force (AIRCR PRIGROUP).
std::uint8_t priority_byte(std::uint8_t channel);
void preset_priority_byte(std::uint8_t channel, std::uint8_t value);
bool irq_enabled(std::uint8_t channel);
std::uint32_t priority_grouping();

}  // namespace board_access
