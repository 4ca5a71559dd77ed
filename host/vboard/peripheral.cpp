// The base of every model: its block in the mirrored address space and its
// clock gate.
#include "vboard/peripheral.h"

#include "port.h"
#include "vboard/board.h"

namespace vboard {

Peripheral::Peripheral(Board& board, std::string name, std::uintptr_t base, std::uint32_t size)
    : board_(board),
      bytes_(static_cast<std::uint8_t*>(bus::host_address(base))),
      name_(std::move(name)),
      base_(base),
      size_(size) {}

void Peripheral::set_clock_gate(std::uint32_t rcc_offset, std::uint32_t bit) {
  gate_ = rcc_offset == 0 ? nullptr : static_cast<const std::uint8_t*>(bus::host_address(0x40023800u + rcc_offset));
  gate_bit_ = bit;
}

}  // namespace vboard
