// Bit-level waveforms of serial links, drawn from the byte and frame events
// the board's models report (a start time, the data, the bit time), into a
// VcdWriter beside the pins it records directly.
#pragma once

#include <cstdint>

#include "vcd_writer.h"

namespace trace {

// The length of one bit: `count` periods of a clock of `per_second` Hz,
// e.g. {1, 500000} for 500000 baud, {32, 42000000} for 42 MHz / 32, or
// {256, kTicksPerSecond} in the board's ticks. Kept as a fraction so that
// every edge of a frame is rounded to the nanosecond on its own, without
// adding up rounding.
struct BitTime {
  std::uint64_t count = 1;
  std::uint64_t per_second = 1;
  // Start of half-bit `halves` from a frame's start, in ns.
  Ns offset(unsigned halves) const;
};

// A UART transmit line, 8N1: idle high, a start bit (low), 8 data bits
// least significant first, one stop bit (high). Declare the line high.
class UartTx {
 public:
  UartTx(VcdWriter& writer, VcdWriter::Signal line) : writer_(writer), line_(line) {}

  // The frame of `value` whose start bit begins at `start`. Throws
  // std::invalid_argument for a bit time outside 2 ns to 1 s (or of a clock
  // above 2^32 Hz), or a frame that starts before the previous one's stop
  // bit ended.
  void byte(Ns start, std::uint8_t value, const BitTime& bit);
  Ns end() const { return end_; }  // where the last frame's stop bit ends

 private:
  VcdWriter& writer_;
  VcdWriter::Signal line_;
  Ns end_ = 0;
};

struct SpiFormat {
  unsigned bits = 16;  // 1 to 16, most significant first
  bool cpol = false;   // the clock's idle level
  bool cpha = false;   // data captured on the second edge of each bit
};

struct SpiLines {
  VcdWriter::Signal sck;
  VcdWriter::Signal mosi;
  VcdWriter::Signal miso;
};

// The clock and both data lines of an SPI master. Each bit takes one clock
// period; both data lines change at the start of a bit and are captured in
// its middle. With CPHA 0 the capturing edge is the first of the bit, with
// CPHA 1 the second, so there the first edge comes with the data. Between
// frames the clock rests at CPOL and the data lines keep their last bit
// (chip selects and a released MISO are pins the caller records).
class SpiBus {
 public:
  // Throws std::invalid_argument for a word size outside 1 to 16.
  SpiBus(VcdWriter& writer, SpiLines lines, SpiFormat format);

  // Another format from `at` on: the clock moves to its new idle level.
  void set_format(SpiFormat format, Ns at);
  const SpiFormat& format() const { return format_; }

  // One frame from `start`: `mosi` shifted out, `miso` shifted in, each in
  // its low `bits` bits. Throws std::invalid_argument for a bit time as for
  // UartTx, a frame that starts before the previous one ended, or a clock
  // not at its idle level.
  void frame(Ns start, std::uint16_t mosi, std::uint16_t miso, const BitTime& bit);
  Ns end() const { return end_; }

 private:
  VcdWriter& writer_;
  SpiLines lines_;
  SpiFormat format_;
  Ns end_ = 0;
};

}  // namespace trace
