// The board's wired pins by their signal names in the hardware table, for
// tests that look at or drive what hangs on them.
#pragma once

#include <string_view>

#include "vboard/board/board.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/hardware.h"

namespace wired {

inline const vboard::hw::PinRow& pin(std::string_view signal) { return vboard::hw::pin(signal); }
inline vboard::GpioPort& port_of(std::string_view signal) { return vboard::board().gpio(pin(signal).port); }
inline bool level(std::string_view signal) { return port_of(signal).level(pin(signal).pin); }

}  // namespace wired
