// What each device model implements, register by register and field by
// field, with the fields it keeps on purpose without effect and why. A
// write outside these is a gap in the model, recorded as such (see
// Peripheral::check_fields).
#pragma once

#include <span>

#include "vboard/chip/peripheral.h"

namespace vboard {

namespace hw {
struct DeviceRow;
}

// The registers of the device model of `row` (empty for a device that does
// not name them).
std::span<const RegisterFields> implemented_registers(const hw::DeviceRow& row);

}  // namespace vboard
