// Serial lines for the ground station: a real adapter or a pseudo-terminal,
// both as raw 8N1 byte pipes.
#pragma once

#include <string>

namespace station {

// The line speed the board's serial port runs at.
inline constexpr unsigned kBoardBaud = 500000;

// Why opening a line failed, in words for the user.
struct OpenError {
  std::string message;
};

// Opens `path` for reading and writing, without becoming its controlling
// terminal, and sets it raw 8N1 at `baud` when it is a terminal. Returns the
// descriptor, or -1 with `error` filled (a missing device, no permission, a
// speed the driver refuses).
int open_serial(const std::string& path, unsigned baud, OpenError& error);

// Raw 8N1 at `baud`: no echo, no line editing, no translation of CR/LF, no
// flow control; reads return what has arrived. False with errno set when
// the descriptor is not a terminal or the speed is not supported.
bool set_raw(int fd, unsigned baud);

// True when `baud` is one of the speeds the terminal interface names.
bool supported_baud(unsigned baud);

// A pseudo-terminal: the master side is the board's end of the line, the
// slave path is what a serial program opens. Raw from the start, so no byte
// written before the reader opens it is echoed or translated.
class Pty {
 public:
  Pty() = default;
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  Pty(Pty&& other) noexcept;
  Pty& operator=(Pty&& other) noexcept;
  ~Pty();

  // Opens a new pair; false (errno set) when the system has none to give.
  // A board that must never wait for its reader asks for a non-blocking
  // master: writes then fail with EAGAIN when nobody reads and the pty's
  // buffer is full, and reads with EAGAIN when nothing was written in.
  // The slave stays open here until close_slave(), so the master keeps
  // working while no reader has the slave open (or between readers).
  bool open(bool nonblocking_master = false);
  // Closes the master: readers of the slave see the line go away (EIO).
  void close_master();
  // Closes the slave descriptor held since open(); a reader keeps its own.
  void close_slave();

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace station
