// An on-chip device: a Model with a block of registers on the bus. Its
// register side is read() and write() at an offset inside its block, its
// backing store the block's bytes in the mirrored address space. It names
// the registers it implements and their fields (register_fields.cpp): a
// write that sets a bit outside them, or reaches a register it does not
// name, is a gap in the model and is recorded as one.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "vboard/sim/clock.h"
#include "vboard/sim/model.h"

namespace vboard {

namespace hw {
struct DeviceRow;
}

// A register a device model implements: its offset in the block (offsetof),
// the fields it acts on (named bits), and the fields it keeps but leaves
// without effect on purpose, with the reason. `count` consecutive words
// alike (an array of registers). Widths below 32 bits use the low lanes.
struct RegisterFields {
  std::uint32_t offset;
  std::uint32_t implemented;
  std::uint32_t ignored = 0;
  const char* why_ignored = nullptr;
  std::uint32_t count = 1;
};

// An on-chip device on the bus.
class Peripheral : public Model {
 public:
  // The device of a row of the board's table: its name, block and clock gate.
  Peripheral(const Context& context, const hw::DeviceRow& row);

  std::uintptr_t base() const { return base_; }
  std::uint32_t size() const { return size_; }

  // A debugger wrote into the block, behind the model's register side:
  // what the model keeps worked out from its registers is dropped.
  virtual void registers_poked() {}

  // Power-on reset of the registers alone; models with state of their own
  // call reset_registers() first and take that state from the registers.
  void reset() override { reset_registers(); }
  // The device's row in the board's table (its reset values).
  const hw::DeviceRow* row() const { return row_; }

  // Register side. The default is plain memory: writes store, reads return.
  // Out of line: the bus then calls a model's own read and write straight,
  // without first checking for these.
  virtual std::uint32_t read(std::uint32_t offset, unsigned width);
  virtual void write(std::uint32_t offset, std::uint32_t value, unsigned width);

  // Whether the bus clock gate of this peripheral is open: its enable bit
  // read in place, as every access asks.
  bool clocked() const {
    std::uint32_t v;
    std::memcpy(&v, gate_, 4);
    return (v & gate_bit_) != 0;
  }

  // The clock gate that feeds this model: an RCC enable register offset and
  // bit; offset 0 means always clocked.
  void set_clock_gate(std::uint32_t rcc_offset, std::uint32_t bit);

  // The registers this model implements, field by field (register_fields.cpp);
  // empty: the model has not named them (every write is taken as modelled).
  std::span<const RegisterFields> registers() const { return registers_; }
  // Records, as a gap, what a write the model has just taken set outside
  // the fields it names.
  void check_fields(std::uint32_t offset, std::uint32_t value, unsigned width) {
    if (!fields_cover(offset, value, width)) check_fields_slow(offset, value, width);
  }
  // Whether a write sets only bits inside the fields the model names (or
  // the model names none), so that check_fields has nothing to record.
  // In line: every write asks, and nearly every one is inside its fields.
  bool fields_cover(std::uint32_t offset, std::uint32_t value, unsigned width) const {
    const std::uint32_t word = offset >> 2;
    // No words at all: the model names none. Past its words: none names it.
    if (word >= field_word_count_) return field_word_count_ == 0;
    const unsigned shift = 8u * (offset & 3u);
    // The bytes a write of `width` covers, from a table: no branch on the width.
    static constexpr std::uint32_t kLanes[5] = {0u, 0xFFu, 0xFFFFu, 0xFFFFFFu, 0xFFFFFFFFu};
    const std::uint32_t lanes = kLanes[width < 4u ? width : 4u] << shift;
    // kNamed counts as written: a word that no entry names covers nothing.
    const std::uint64_t written = kNamed | ((value << shift) & lanes);
    return (written & ~field_words_[word]) == 0u;
  }

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
  // Every register of the block to 0 (but those another device's block
  // inside this one holds: cede), then the reset values of the device's row
  // in the board's table.
  void reset_registers();
  // The bus gives `bytes` of this block from `offset` on to another device
  // (the SCB's registers inside the NVIC's block).
  void cede(std::uint32_t offset, std::uint32_t bytes);

  std::uint32_t reg32(std::uint32_t offset) const { return load(offset, 4); }
  std::uint16_t reg16(std::uint32_t offset) const { return static_cast<std::uint16_t>(load(offset, 2)); }
  void set32(std::uint32_t offset, std::uint32_t v) { store(offset, v, 4); }
  void set16(std::uint32_t offset, std::uint16_t v) { store(offset, v, 2); }

 private:
  void check_fields_slow(std::uint32_t offset, std::uint32_t value, unsigned width);
  std::uint8_t* bytes_;  // the block in the mirrored address space
  std::uintptr_t base_;
  std::uint32_t size_;
  std::uint32_t ceded_begin_ = 0, ceded_end_ = 0;  // the part of the block another device holds
  const hw::DeviceRow* row_ = nullptr;
  // The RCC enable register, in the mirrored space; a device without a gate
  // reads one that is always open, so that an access need not ask which.
  static constexpr std::uint8_t kOpenGate[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  const std::uint8_t* gate_ = kOpenGate;
  std::uint32_t gate_bit_ = ~std::uint32_t{0};
  std::span<const RegisterFields> registers_;
  // The same by register word: the bits a write may set, and kNamed when
  // some entry of registers_ names the word.
  static constexpr std::uint64_t kNamed = std::uint64_t{1} << 32;
  std::vector<std::uint64_t> field_words_;
  std::uint32_t field_word_count_ = 0;  // its size, asked at every write
};

}  // namespace vboard
