// Base of every peripheral model. A model owns a block of device addresses;
// its register side is read() and write() at an offset inside the block, its
// backing store the block's bytes in the mirrored address space. Its other
// side, for tests and programs, speaks in physical units and lives in each
// model's own class.
#pragma once

#include <cstdint>
#include <array>
#include <cstring>
#include <string>

#include "vboard/clock.h"
#include "vboard/scheduler.h"

namespace vboard {

class Board;

class Peripheral : public EventTarget {
 public:
  Peripheral(Board& board, std::string name, std::uintptr_t base, std::uint32_t size);
  virtual ~Peripheral() = default;
  Peripheral(const Peripheral&) = delete;
  Peripheral& operator=(const Peripheral&) = delete;

  const std::string& name() const { return name_; }
  std::uintptr_t base() const { return base_; }
  std::uint32_t size() const { return size_; }

  // Register side. The default is plain memory: writes store, reads return.
  virtual std::uint32_t read(std::uint32_t offset, unsigned width) { return load(offset, width); }
  virtual void write(std::uint32_t offset, std::uint32_t value, unsigned width) { store(offset, value, width); }

  // Back to the state after a power-on reset (the board has zeroed the block).
  virtual void reset() {}
  // A scheduled event of this model has come due.
  void on_event(int /*kind*/) override {}
  // The clock tree changed; models that count time recompute their rates.
  virtual void clocks_changed() {}
  // Whether the bus clock gate of this peripheral is open: its enable bit
  // read in place, as every access asks.
  bool clocked() const {
    if (gate_ == nullptr) return true;
    std::uint32_t v;
    std::memcpy(&v, gate_, 4);
    return (v & gate_bit_) != 0;
  }

  // The clock gate that feeds this model: an RCC enable register offset and
  // bit; offset 0 means always clocked.
  void set_clock_gate(std::uint32_t rcc_offset, std::uint32_t bit);

  // Backing store: the register bytes as the firmware's block sees them.
  // In line: the models' register accesses all come through here.
  std::uint32_t load(std::uint32_t offset, unsigned width) const {
    const std::uint8_t* p = bytes_ + offset;
    if (width == 4) {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    if (width == 2) {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    return *p;
  }
  void store(std::uint32_t offset, std::uint32_t value, unsigned width) {
    std::uint8_t* p = bytes_ + offset;
    if (width == 4) {
      std::memcpy(p, &value, 4);
    } else if (width == 2) {
      const auto v = static_cast<std::uint16_t>(value);
      std::memcpy(p, &v, 2);
    } else {
      *p = static_cast<std::uint8_t>(value);
    }
  }
  std::uint32_t reg32(std::uint32_t offset) const { return load(offset, 4); }
  std::uint16_t reg16(std::uint32_t offset) const { return static_cast<std::uint16_t>(load(offset, 2)); }
  void set32(std::uint32_t offset, std::uint32_t v) { store(offset, v, 4); }
  void set16(std::uint32_t offset, std::uint16_t v) { store(offset, v, 2); }

 protected:
  Board& board_;

 private:
  friend class Board;
  std::uint8_t* bytes() const { return bytes_; }
  std::uint8_t* bytes_;  // the block in the mirrored address space
  std::string name_;
  std::uintptr_t base_;
  std::uint32_t size_;
  const std::uint8_t* gate_ = nullptr;  // the RCC enable register, in the mirrored space
  std::uint32_t gate_bit_ = 0;
};

}  // namespace vboard
