// What a run paced to the wall clock talks to besides the board: USART3's
// far end on a pseudo-terminal, key presses from the terminal, the wall
// clock (stop requests come from stop_signal.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <termios.h>
#include <vector>

#include "serial.h"

namespace live {

// The terminal the program runs in, read key by key: no line editing and no
// echo, while Ctrl-C still interrupts and output keeps its line endings.
// The settings are put back when this object goes. Inactive when stdin is
// not a terminal.
class TerminalKeys {
 public:
  TerminalKeys();
  TerminalKeys(const TerminalKeys&) = delete;
  TerminalKeys& operator=(const TerminalKeys&) = delete;
  ~TerminalKeys();
  bool active() const { return active_; }
  // The keys typed since the last call; never waits.
  std::string take();

 private:
  bool active_ = false;
  termios saved_{};
};

// USART3's far end as a pseudo-terminal. The bytes the firmware sends are
// written to it; what a program writes into it is handed back for the
// board's receive side. The board never waits for the program: what the
// pty cannot take at once (nobody reading) is dropped and counted.
class PtyLine {
 public:
  PtyLine() = default;
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;
  ~PtyLine();

  bool open(std::string& error);
  const std::string& path() const { return pty_.path(); }
  int fd() const { return pty_.master(); }  // to wait for input
  // Waits until a program opens the line, so that it sees the board from
  // power-on; false when a stop was requested first.
  bool wait_for_reader();

  void queue(std::uint8_t byte) { out_.push_back(byte); }
  // Writes what is queued, without waiting.
  void flush();
  // What the program wrote since the last call, at most `limit` bytes; the
  // rest stays in the pty.
  std::vector<std::uint8_t> take_input(std::size_t limit);
  // At the end: gives the program up to `limit` to read what is still in
  // the pty, so that closing the line loses nothing.
  void drain(std::chrono::milliseconds limit);

  std::uint64_t bytes_written() const { return written_; }
  std::uint64_t bytes_dropped() const { return dropped_; }

 private:
  station::Pty pty_;
  int hold_ = -1;  // our own hold on the slave once a program has it open
  std::vector<std::uint8_t> out_;
  std::uint64_t written_ = 0;
  std::uint64_t dropped_ = 0;
};

// Sleeps until one of the descriptors (-1 entries ignored) has input or
// `limit` has passed.
void wait_for_input(const std::vector<int>& fds, std::chrono::microseconds limit);

}  // namespace live
