// GPIO port model. Register side: MODER, OTYPER, OSPEEDR, PUPDR, IDR (from
// the pin levels), ODR, the set and reset halves of BSRR, AFR. Pin side:
// outside drivers (a key pulling a pin low, the sensor's PWM line), outputs
// of the peripherals on alternate-function pins, and observers of the level
// changes of the pins they ask for. A peripheral whose outputs change often
// (a timer's PWM) may leave a pin stale while nobody observes it and bring
// it up to date whenever the levels are read (a lazy source).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "vboard/chip/peripheral.h"

namespace vboard {

class GpioPort : public Peripheral {
 public:
  GpioPort(const Context& context, const hw::DeviceRow& row);

  // MODER's two-bit modes and PUPDR's pull-up, as the reference manual codes them.
  static constexpr unsigned kModeInput = 0, kModeOutput = 1, kModeAlternate = 2, kModeAnalog = 3;
  static constexpr unsigned kPullUp = 1;
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;

  char port() const { return port_; }

  // Pin side.
  void drive(int pin, bool level);  // an outside circuit drives the pin
  void release(int pin);            // and lets it go (pull resistor or output decides)
  void set_alternate_output(int pin, bool level);  // a peripheral's output on this pin
  bool level(int pin) const { return (levels() >> pin) & 1u; }
  std::uint16_t levels() const {
    sync();
    return levels_;
  }
  // The level as last set, without asking the lazy sources (for those sources).
  bool held_level(int pin) const { return (levels_ >> pin) & 1u; }
  unsigned mode(int pin) const { return (reg32(0x00) >> (2 * pin)) & 3u; }
  unsigned pull(int pin) const { return (reg32(0x0C) >> (2 * pin)) & 3u; }
  unsigned speed(int pin) const { return (reg32(0x08) >> (2 * pin)) & 3u; }
  unsigned output_type(int pin) const { return (reg32(0x04) >> pin) & 1u; }
  unsigned alternate_function(int pin) const { return (reg32(0x20 + 4u * static_cast<unsigned>(pin / 8)) >> (4 * (pin % 8))) & 0xFu; }

  // Called with (pin, new level, time) after every level change of one of
  // `pins`. A pin observed with `wants_edges` must be kept up to date
  // edge by edge; one without (a peripheral that judges the edge itself)
  // is told only of the changes that are made. Returns a handle for
  // set_interest. Observers are dropped at reset.
  using Observer = std::function<void(int, bool, Ticks)>;
  int observe(Observer observer, std::uint16_t pins = 0xFFFFu, bool wants_edges = true);
  // Changes the pins an observer is told of (the lazy pins are brought up to
  // date first, so the change itself is no edge).
  void set_interest(int handle, std::uint16_t pins);
  // The pins some observer wants edge by edge.
  std::uint16_t watched() const { return watched_; }

  // Lazy sources: `refresh` brings the pins it leaves stale up to date
  // (called before the levels are read) and says whether they may change
  // with time alone; `on_change` is told when watched() has changed and
  // before a write to MODER or AFR (a pin may change hands). Dropped at
  // reset.
  void add_lazy_source(std::function<bool()> refresh, std::function<void()> on_change);

 private:
  struct Watcher {
    Observer observer;
    std::uint16_t pins;
    bool wants_edges;
  };
  struct LazySource {
    std::function<bool()> refresh;
    std::function<void()> on_change;
  };
  void update_levels();
  bool sync() const;  // true: a lazy pin may change with time alone
  void rewatch();
  char port_;
  std::uint16_t levels_ = 0;
  std::uint16_t driven_ = 0;      // pins an outside circuit drives
  std::uint16_t driven_level_ = 0;
  std::uint16_t af_level_ = 0;    // levels peripherals put on alternate-function pins
  std::vector<Watcher> observers_;
  std::vector<LazySource> lazy_;
  std::uint16_t watched_ = 0;
  mutable bool syncing_ = false;
  // The pins in output, alternate-function and pull-up mode, one bit a pin,
  // as decoded from the MODER and PUPDR values they were found for.
  std::uint32_t decoded_moder_ = 0, decoded_pupdr_ = 0;
  std::uint32_t output_pins_ = 0, alternate_pins_ = 0, pull_up_pins_ = 0;
};

// The chip's GPIO ports by letter, as the board has built them: how the
// devices and parts with pins find theirs.
class GpioPorts {
 public:
  void add(GpioPort& port) { ports_.at(static_cast<std::size_t>(port.port() - 'A')) = &port; }
  // In line: models ask for pins at every edge and byte.
  GpioPort& operator[](char port) const { return *ports_.at(static_cast<std::size_t>(port - 'A')); }
  bool has(char port) const { return port >= 'A' && port < 'A' + static_cast<int>(ports_.size()) && ports_[static_cast<std::size_t>(port - 'A')] != nullptr; }

 private:
  std::array<GpioPort*, 3> ports_{};
};

}  // namespace vboard
