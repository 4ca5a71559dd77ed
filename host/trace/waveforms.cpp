#include "waveforms.h"

#include <stdexcept>

namespace trace {

namespace {

constexpr std::uint64_t kMaxRate = std::uint64_t{1} << 32;

void check_bit(const BitTime& bit) {
  const bool ok = bit.count > 0 && bit.per_second > 0 && bit.per_second <= kMaxRate && bit.count <= bit.per_second &&
                  to_ns(bit.count, bit.per_second) >= 2;
  if (!ok) {
    throw std::invalid_argument("trace: bit time " + std::to_string(bit.count) + "/" + std::to_string(bit.per_second) +
                                " s is outside 2 ns to 1 s");
  }
}

void check_start(Ns start, Ns previous_end, const char* what) {
  if (start < previous_end) {
    throw std::invalid_argument(std::string("trace: ") + what + " frame at " + std::to_string(start) +
                                " ns starts before the previous one ended at " + std::to_string(previous_end) + " ns");
  }
}

}  // namespace

Ns BitTime::offset(unsigned halves) const { return to_ns(halves * count, 2 * per_second); }

void UartTx::byte(Ns start, std::uint8_t value, const BitTime& bit) {
  check_bit(bit);
  check_start(start, end_, "UART");
  writer_.change(line_, start, false);
  for (unsigned i = 0; i < 8; ++i) writer_.change(line_, start + bit.offset(2 * (1 + i)), ((value >> i) & 1u) != 0);
  writer_.change(line_, start + bit.offset(2 * 9), true);
  end_ = start + bit.offset(2 * 10);
}

SpiBus::SpiBus(VcdWriter& writer, SpiLines lines, SpiFormat format) : writer_(writer), lines_(lines) {
  set_format(format, 0);
}

void SpiBus::set_format(SpiFormat format, Ns at) {
  if (format.bits < 1 || format.bits > 16) {
    throw std::invalid_argument("trace: SPI word of " + std::to_string(format.bits) + " bits");
  }
  format_ = format;
  writer_.change(lines_.sck, at, format.cpol);
}

void SpiBus::frame(Ns start, std::uint16_t mosi, std::uint16_t miso, const BitTime& bit) {
  check_bit(bit);
  check_start(start, end_, "SPI");
  if (writer_.level(lines_.sck) != format_.cpol) {
    throw std::invalid_argument("trace: SPI frame at " + std::to_string(start) + " ns with the clock not at rest");
  }
  const bool idle = format_.cpol;
  for (unsigned i = 0; i < format_.bits; ++i) {
    const unsigned shift = format_.bits - 1 - i;
    const Ns cell = start + bit.offset(2 * i);
    const Ns middle = start + bit.offset(2 * i + 1);
    writer_.change(lines_.mosi, cell, ((mosi >> shift) & 1u) != 0);
    writer_.change(lines_.miso, cell, ((miso >> shift) & 1u) != 0);
    if (format_.cpha) {
      writer_.change(lines_.sck, cell, !idle);
      writer_.change(lines_.sck, middle, idle);
    } else {
      writer_.change(lines_.sck, middle, !idle);
      writer_.change(lines_.sck, start + bit.offset(2 * i + 2), idle);
    }
  }
  end_ = start + bit.offset(2 * format_.bits);
}

}  // namespace trace
