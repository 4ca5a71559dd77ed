// The base of every device model: its block in the mirrored address space,
// its clock gate, and the check of a write against the fields it names.
#include "vboard/chip/peripheral.h"

#include <algorithm>
#include <cstdio>

#include "port.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/register_fields.h"

namespace vboard {

Peripheral::Peripheral(const Context& context, const hw::DeviceRow& row)
    : Model(context, std::string(row.name)),
      bytes_(static_cast<std::uint8_t*>(bus::host_address(row.base))),
      base_(row.base),
      size_(row.size),
      row_(&row) {
  set_clock_gate(row.gate.offset, row.gate.bit);
  registers_ = implemented_registers(row);
  if (!registers_.empty()) {
    field_words_.assign(size_ / 4u, 0u);
    for (const RegisterFields& r : registers_)
      for (std::uint32_t i = 0; i < r.count; ++i) {
        const std::uint32_t word = r.offset / 4u + i;
        // The first entry that names a word decides, as in the report below.
        if (word < field_words_.size() && (field_words_[word] & kNamed) == 0u)
          field_words_[word] = kNamed | r.implemented | r.ignored;
      }
    field_word_count_ = static_cast<std::uint32_t>(field_words_.size());
  }
}

std::uint32_t Peripheral::read(std::uint32_t offset, unsigned width) { return load(offset, width); }
void Peripheral::write(std::uint32_t offset, std::uint32_t value, unsigned width) { store(offset, value, width); }

void Peripheral::reset_registers() {
  // Only the words the bus gives this device: the NVIC's block holds the
  // SCB's, which is not the NVIC's to clear.
  for (std::uint32_t offset = 0; offset + 4 <= size_; offset += 4)
    if (offset < ceded_begin_ || offset >= ceded_end_) set32(offset, 0);
  for (const hw::ResetValue& r : row_->reset) set32(r.offset, r.value);
}

void Peripheral::cede(std::uint32_t offset, std::uint32_t bytes) {
  ceded_begin_ = ceded_end_ == ceded_begin_ ? offset : std::min(ceded_begin_, offset);
  ceded_end_ = std::max(ceded_end_, offset + bytes);
}

void Peripheral::set_clock_gate(std::uint32_t rcc_offset, std::uint32_t bit) {
  if (rcc_offset == 0) {
    gate_ = kOpenGate;
    gate_bit_ = ~std::uint32_t{0};
    return;
  }
  gate_ = static_cast<const std::uint8_t*>(bus::host_address(hw::device("RCC").base + rcc_offset));
  gate_bit_ = bit;
}

void Peripheral::check_fields_slow(std::uint32_t offset, std::uint32_t value, unsigned width) {
  const std::uint32_t word = offset & ~3u;
  const unsigned shift = 8u * (offset & 3u);
  const std::uint32_t lanes = (width >= 4 ? 0xFFFFFFFFu : ((1u << (8u * width)) - 1u)) << shift;
  const std::uint32_t written = (value << shift) & lanes;
  char what[128];
  for (const RegisterFields& r : registers_) {
    if (word < r.offset || word >= r.offset + 4u * r.count) continue;
    const std::uint32_t outside = written & ~(r.implemented | r.ignored);
    if (outside == 0) return;
    std::snprintf(what, sizeof what, "%s +0x%02lx: bits 0x%08lx not modelled", name().c_str(),
                  static_cast<unsigned long>(word), static_cast<unsigned long>(outside));
    ctx_.unmodelled(base() + offset, value, true, what);
    return;
  }
  std::snprintf(what, sizeof what, "%s +0x%02lx: register not modelled", name().c_str(),
                static_cast<unsigned long>(word));
  ctx_.unmodelled(base() + offset, value, true, what);
}

}  // namespace vboard
