#include "board_trace.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "vboard/chip/gpio.h"
#include "vboard/chip/spi.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/usart.h"
#include "vboard/parts/ground_station.h"

namespace run {

namespace {

using trace::ticks_to_ns;

// The wire's name as the dump allows it: printable, no spaces.
std::string wire_name(std::string name) {
  for (char& c : name) {
    if (c <= ' ' || c > '~') c = '_';
  }
  return name;
}

trace::SpiFormat wire_format(const vboard::SpiFormat& f) { return {f.bits, f.cpol, f.cpha}; }

}  // namespace

// Pins in the order a reader looks for them: the bridge, the sensor's PWM,
// the keys, the LEDs, then the serial lines.
BoardTrace::Wires BoardTrace::declare(trace::VcdWriter& vcd) {
  Wires w;
  const auto pin = [&](char port, int n, bool initial) {
    const auto s = vcd.wire("pins", std::string("P") + port + std::to_string(n), initial);
    w.ports.at(static_cast<std::size_t>(port - 'A')).signals.at(static_cast<std::size_t>(n)) = s;
    return s;
  };
  for (const int n : {0, 1, 2}) pin('A', n, false);
  for (const int n : {6, 7, 8}) pin('C', n, false);
  for (const int n : {6, 7}) pin('A', n, false);
  w.uart = vcd.wire("pins", "PB10", true);
  w.chip_select = pin('B', 12, true);
  w.sck = vcd.wire("pins", "PB13", false);
  w.miso = vcd.wire("pins", "PB14", true);  // pulled up while nobody drives it
  w.mosi = vcd.wire("pins", "PB15", false);
  return w;
}

BoardTrace::BoardTrace(vboard::Board& board, vboard::GroundStation& station, vboard::Ticks from, vboard::Ticks to)
    : board_(board),
      spi_(board.spi(2)),
      from_(from),
      to_(to),
      vcd_({ticks_to_ns(from), ticks_to_ns(to)}),
      wires_(declare(vcd_)),
      uart_(vcd_, wires_.uart),
      spi_bus_(vcd_, {wires_.sck, wires_.mosi, wires_.miso}, wire_format(spi_.format())) {
  for (Port& p : wires_.ports) {
    // Nothing watched before the window: the board keeps its fast paths.
    p.handle = board.gpio(p.name).observe(
        [this, &p](int n, bool level, vboard::Ticks t) { pin_changed(p, n, level, t); }, 0);
  }
  board.on_exception_entry = [this, before = std::move(board.on_exception_entry)](int e, vboard::Ticks t) {
    if (before) before(e, t);
    handler(e, t, true);
  };
  board.on_exception_exit = [this, before = std::move(board.on_exception_exit)](int e, vboard::Ticks t) {
    if (before) before(e, t);
    handler(e, t, false);
  };
  station.on_byte = [this, before = std::move(station.on_byte)](const vboard::GroundStation::Heard& b) {
    if (before) before(b);
    if (b.end > from_ && b.start < to_) heard(b.value, b.start);
  };
  board.at(from, [this] { open_window(); });
  board.at(to, [this] { close_window(); });
}

// The pins from here on edge by edge, from the levels they have now.
void BoardTrace::open_window() {
  window_ = Window::kOpen;
  spi_next_ = spi_.frames().size();
  const trace::Ns t = ticks_to_ns(board_.now());
  for (int e = 0; e < vboard::kExceptions; ++e) {
    if (running_.at(static_cast<std::size_t>(e))) handler(e, board_.now(), true);
  }
  for (Port& p : wires_.ports) {
    vboard::GpioPort& port = board_.gpio(p.name);
    port.set_interest(p.handle, p.pins);
    for (int n = 0; n < 16; ++n) {
      if ((p.pins >> n) & 1u) vcd_.change(p.signals.at(static_cast<std::size_t>(n)), t, port.level(n));
    }
  }
}

void BoardTrace::close_window() {
  if (window_ != Window::kOpen) return;
  draw_spi_frames();
  for (const Port& p : wires_.ports) board_.gpio(p.name).set_interest(p.handle, 0);
  window_ = Window::kClosed;
}

void BoardTrace::pin_changed(const Port& port, int pin, bool level, vboard::Ticks t) {
  const auto s = port.signals.at(static_cast<std::size_t>(pin));
  if (s == wires_.chip_select && level) {
    // The frames of the selection that ends here, then the sensor lets MISO go.
    draw_spi_frames();
    vcd_.change(s, ticks_to_ns(t), level);
    vcd_.change(wires_.miso, ticks_to_ns(t), true);
    return;
  }
  vcd_.change(s, ticks_to_ns(t), level);
}

// Handlers are declared as they first run in the window (or run across its
// start), so that the dump lists the ones it shows.
void BoardTrace::handler(int exception, vboard::Ticks t, bool running) {
  if (window_ == Window::kBefore) {
    running_.at(static_cast<std::size_t>(exception)) = running;
    return;
  }
  if (window_ == Window::kClosed || t >= to_) return;
  auto it = handlers_.find(exception);
  if (it == handlers_.end()) {
    it = handlers_.emplace(exception, vcd_.wire("handlers", wire_name(vboard::exception_name(exception)), false))
             .first;
  }
  vcd_.change(it->second, ticks_to_ns(t), running);
}

void BoardTrace::heard(std::uint16_t value, vboard::Ticks start) {
  const vboard::Usart& usart = board_.usart(3);
  const vboard::SerialFormat f = usart.format();
  // The line is drawn as 8N1; other shapes are left out rather than drawn wrong.
  if (f.data_bits != 8 || f.parity != vboard::Parity::kNone || usart.bit_time() <= 0) return;
  // Quarter ticks keep the bit's length within a nanosecond over a frame.
  const trace::BitTime bit{static_cast<std::uint64_t>(std::llround(usart.bit_time() * 4)),
                           4 * trace::kTicksPerSecond};
  // Back-to-back frames may round a nanosecond into the previous stop bit.
  uart_.byte(std::max(ticks_to_ns(start), uart_.end()), static_cast<std::uint8_t>(value), bit);
}

// SPI2's frames since the last drawn, as the wire carried them (most
// significant bit first); frames cut short by disabling SPI2 are left out.
void BoardTrace::draw_spi_frames() {
  const auto& frames = spi_.frames();
  for (; spi_next_ < frames.size(); ++spi_next_) {
    const vboard::Spi::Frame& f = frames[spi_next_];
    if (!f.completed || f.end <= f.start || f.format.bits == 0) continue;
    const trace::SpiFormat format = wire_format(f.format);
    const trace::Ns start = std::max(ticks_to_ns(f.start), spi_bus_.end());
    const trace::SpiFormat& now = spi_bus_.format();
    if (format.bits != now.bits || format.cpol != now.cpol || format.cpha != now.cpha) {
      spi_bus_.set_format(format, start);
    }
    spi_bus_.frame(start, f.sent, f.received, {(f.end - f.start) / f.format.bits, trace::kTicksPerSecond});
  }
}

void BoardTrace::write(const std::string& path) {
  if (window_ == Window::kOpen) draw_spi_frames();
  vcd_.write(path);
}

}  // namespace run
