// GPIO port model. Register side: MODER, OTYPER, OSPEEDR, PUPDR, IDR (from
// the pin levels), ODR, the set and reset halves of BSRR, AFR. Pin side:
// outside drivers (a key pulling a pin low, the sensor's PWM line), outputs
// of the peripherals on alternate-function pins, and observers of every
// level change.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "vboard/peripheral.h"

namespace vboard {

class GpioPort : public Peripheral {
 public:
  GpioPort(Board& board, char port);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;

  char port() const { return port_; }

  // Pin side.
  void drive(int pin, bool level);  // an outside circuit drives the pin
  void release(int pin);            // and lets it go (pull resistor or output decides)
  void set_alternate_output(int pin, bool level);  // a peripheral's output on this pin
  bool level(int pin) const { return (levels_ >> pin) & 1u; }
  std::uint16_t levels() const { return levels_; }
  unsigned mode(int pin) const { return (reg32(0x00) >> (2 * pin)) & 3u; }
  unsigned pull(int pin) const { return (reg32(0x0C) >> (2 * pin)) & 3u; }
  unsigned speed(int pin) const { return (reg32(0x08) >> (2 * pin)) & 3u; }
  unsigned output_type(int pin) const { return (reg32(0x04) >> pin) & 1u; }
  unsigned alternate_function(int pin) const { return (reg32(0x20 + 4u * static_cast<unsigned>(pin / 8)) >> (4 * (pin % 8))) & 0xFu; }

  // Called with (pin, new level, time) after every level change.
  using Observer = std::function<void(int, bool, Ticks)>;
  void observe(Observer observer) { observers_.push_back(std::move(observer)); }

 private:
  void update_levels();
  char port_;
  std::uint16_t levels_ = 0;
  std::uint16_t driven_ = 0;      // pins an outside circuit drives
  std::uint16_t driven_level_ = 0;
  std::uint16_t af_level_ = 0;    // levels peripherals put on alternate-function pins
  std::vector<Observer> observers_;
};

}  // namespace vboard
