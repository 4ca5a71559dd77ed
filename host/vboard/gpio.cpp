#include "vboard/gpio.h"

#include "vboard/board.h"

namespace vboard {

namespace {
constexpr std::uint32_t MODER = 0x00, OTYPER = 0x04, OSPEEDR = 0x08, PUPDR = 0x0C, IDR = 0x10, ODR = 0x14,
                        BSRRL = 0x18, BSRRH = 0x1A, LCKR = 0x1C;
constexpr unsigned kModeOutput = 1, kModeAlternate = 2;
constexpr unsigned kPullUp = 1;
}  // namespace

GpioPort::GpioPort(Board& board, char port)
    : Peripheral(board, std::string("GPIO") + port, 0x40020000u + 0x400u * static_cast<unsigned>(port - 'A'), 0x28),
      port_(port) {
  set_clock_gate(0x30, 1u << (port - 'A'));  // AHB1ENR GPIOxEN
}

void GpioPort::reset() {
  // Reset values: PA13..15 and PB3..4 are the debug port.
  switch (port_) {
    case 'A':
      set32(MODER, 0xA8000000u);
      set32(OSPEEDR, 0x0C000000u);
      set32(PUPDR, 0x64000000u);
      break;
    case 'B':
      set32(MODER, 0x00000280u);
      set32(OSPEEDR, 0x000000C0u);
      set32(PUPDR, 0x00000100u);
      break;
    default:
      break;
  }
  driven_ = 0;
  driven_level_ = 0;
  af_level_ = 0;
  levels_ = 0;
  observers_.clear();
  update_levels();
}

std::uint32_t GpioPort::read(std::uint32_t offset, unsigned width) {
  if (offset == IDR) return levels_;
  if (offset == BSRRL || offset == BSRRH) return 0;  // BSRR is write-only
  return load(offset, width);
}

void GpioPort::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  switch (offset) {
    case IDR:
      return;  // read-only
    case BSRRL: {
      std::uint32_t odr = reg32(ODR);
      if (width == 4) odr &= ~(value >> 16);  // a 32-bit write carries both halves; set wins
      odr |= value & 0xFFFFu;
      set32(ODR, odr & 0xFFFFu);
      break;
    }
    case BSRRH:
      set32(ODR, reg32(ODR) & ~(value & 0xFFFFu));
      break;
    case ODR:
      set32(ODR, value & 0xFFFFu);
      break;
    case LCKR:
      return;  // pin locking is not modelled
    default:
      store(offset, value, width);
  }
  update_levels();
}

void GpioPort::drive(int pin, bool level) {
  driven_ = static_cast<std::uint16_t>(driven_ | (1u << pin));
  driven_level_ = static_cast<std::uint16_t>(level ? driven_level_ | (1u << pin) : driven_level_ & ~(1u << pin));
  update_levels();
}

void GpioPort::release(int pin) {
  driven_ = static_cast<std::uint16_t>(driven_ & ~(1u << pin));
  update_levels();
}

void GpioPort::set_alternate_output(int pin, bool level) {
  af_level_ = static_cast<std::uint16_t>(level ? af_level_ | (1u << pin) : af_level_ & ~(1u << pin));
  update_levels();
}

void GpioPort::update_levels() {
  const std::uint32_t moder = reg32(MODER);
  const std::uint32_t otyper = reg32(OTYPER);
  const std::uint32_t pupdr = reg32(PUPDR);
  const std::uint32_t odr = reg32(ODR);
  std::uint32_t next = 0;
  for (int pin = 0; pin < 16; ++pin) {
    const std::uint32_t bit = 1u << pin;
    const unsigned m = (moder >> (2 * pin)) & 3u;
    const bool open_drain = (otyper & bit) != 0;
    bool level;
    if (m == kModeOutput && !(open_drain && (odr & bit))) {
      level = (odr & bit) != 0;
    } else if (m == kModeAlternate && !(driven_ & bit)) {
      level = (af_level_ & bit) != 0;
    } else if (driven_ & bit) {
      level = (driven_level_ & bit) != 0;
    } else {
      // Pulled up, pulled down, or floating (reads 0).
      level = ((pupdr >> (2 * pin)) & 3u) == kPullUp;
    }
    if (level) next |= bit;
  }
  const std::uint16_t changed = static_cast<std::uint16_t>(next ^ levels_);
  levels_ = static_cast<std::uint16_t>(next);
  if (changed == 0) return;
  for (int pin = 0; pin < 16; ++pin) {
    if (changed & (1u << pin)) {
      for (auto& o : observers_) o(pin, (next >> pin) & 1u, board_.now());
    }
  }
}

}  // namespace vboard
