// A Value Change Dump of the board over a window of virtual time: the pins
// as the GPIO ports see them, the USART3 transmit line drawn from the bytes
// the ground station hears, the SPI2 lines drawn from the frames SPI2
// clocked, and one signal per interrupt handler, high from its entry to its
// return. The pins are watched edge by edge only inside the window, so the
// board keeps its fast paths before and after it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"
#include "vcd_writer.h"
#include "waveforms.h"

namespace vboard {
class GroundStation;
class Spi;
}  // namespace vboard

namespace run {

class BoardTrace {
 public:
  // Attaches to the board (after its reset, before `from`); the dump covers
  // [from, to). Throws std::invalid_argument for an empty window. The
  // observers it installs hold it: it must outlive the board's next reset.
  BoardTrace(vboard::Board& board, vboard::GroundStation& station, vboard::Ticks from, vboard::Ticks to);
  BoardTrace(const BoardTrace&) = delete;
  BoardTrace& operator=(const BoardTrace&) = delete;

  // Draws what is still to draw and writes the dump through an atomic file;
  // throws std::runtime_error naming the path when it cannot be written.
  void write(const std::string& path);
  const trace::VcdWriter& writer() const { return vcd_; }

 private:
  struct Port {
    char name;
    std::uint16_t pins;
    int handle = -1;
    std::array<trace::VcdWriter::Signal, 16> signals{};
  };
  // The wires, declared before the serial lines' drawers take theirs.
  struct Wires {
    std::array<Port, 3> ports{Port{'A', 0x00C7u}, Port{'B', 1u << 12}, Port{'C', 0x01C0u}};
    trace::VcdWriter::Signal uart = 0, chip_select = 0, sck = 0, miso = 0, mosi = 0;
  };
  static Wires declare(trace::VcdWriter& vcd);
  enum class Window : std::uint8_t { kBefore, kOpen, kClosed };
  void open_window();
  void close_window();
  void pin_changed(const Port& port, int pin, bool level, vboard::Ticks t);
  void handler(int exception, vboard::Ticks t, bool running);
  void heard(std::uint16_t value, vboard::Ticks start);
  void draw_spi_frames();

  vboard::Board& board_;
  vboard::Spi& spi_;
  vboard::Ticks from_, to_;
  trace::VcdWriter vcd_;
  Wires wires_;
  trace::UartTx uart_;
  trace::SpiBus spi_bus_;
  std::size_t spi_next_ = 0;  // the first of SPI2's frames not drawn yet
  Window window_ = Window::kBefore;
  std::map<int, trace::VcdWriter::Signal> handlers_;
  // Before the window: the handlers running now (a handler entered before
  // the window and still running at its start shows high there).
  std::array<bool, vboard::kExceptions> running_{};
};

}  // namespace run
