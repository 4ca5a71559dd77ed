// The base of every model: its block in the mirrored address space and its
// clock gate.
#include "vboard/peripheral.h"

#include "port.h"
#include "vboard/board.h"

namespace vboard {

std::uint32_t Peripheral::load(std::uint32_t offset, unsigned width) const {
  const std::uint8_t* p = bytes() + offset;
  switch (width) {
    case 1: return *p;
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    default: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
  }
}

void Peripheral::store(std::uint32_t offset, std::uint32_t value, unsigned width) {
  std::uint8_t* p = bytes() + offset;
  switch (width) {
    case 1:
      *p = static_cast<std::uint8_t>(value);
      break;
    case 2: {
      const auto v = static_cast<std::uint16_t>(value);
      std::memcpy(p, &v, 2);
      break;
    }
    default:
      std::memcpy(p, &value, 4);
  }
}

Peripheral::Peripheral(Board& board, std::string name, std::uintptr_t base, std::uint32_t size)
    : board_(board),
      bytes_(static_cast<std::uint8_t*>(bus::host_address(base))),
      name_(std::move(name)),
      base_(base),
      size_(size) {}

bool Peripheral::clocked() const {
  if (gate_offset_ == 0) return true;
  return (board_.peek(0x40023800u + gate_offset_) & gate_bit_) != 0;
}

}  // namespace vboard
