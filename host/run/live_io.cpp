#include "live_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "stop_signal.h"

namespace live {

TerminalKeys::TerminalKeys() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
  termios t = saved_;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  active_ = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
}

TerminalKeys::~TerminalKeys() {
  if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

std::string TerminalKeys::take() {
  std::string keys;
  if (!active_) return keys;
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) break;
    keys.append(buffer, static_cast<std::size_t>(n));
  }
  return keys;
}

PtyLine::~PtyLine() {
  if (hold_ >= 0) ::close(hold_);
}

bool PtyLine::open(std::string& error) {
  if (!pty_.open(true)) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  // Without our own hold on the slave, the master reports a hang-up until a
  // program opens it: that is how the program's arrival is seen.
  pty_.close_slave();
  return true;
}

bool PtyLine::wait_for_reader() {
  while (!run::stop_requested()) {
    pollfd p{pty_.master(), POLLIN, 0};
    const int ready = poll(&p, 1, 20);
    if (ready >= 0 && !(p.revents & POLLHUP)) {
      // Held from now on, so a program that closes the line and another that
      // opens it later find it working (the master never hangs up).
      hold_ = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      return true;
    }
    if (ready > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // hang-up reported at once
  }
  return false;
}

void PtyLine::flush() {
  std::size_t done = 0;
  while (done < out_.size()) {
    const ssize_t n = ::write(pty_.master(), out_.data() + done, out_.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // full (nobody reading) or gone
  }
  written_ += done;
  dropped_ += out_.size() - done;
  out_.clear();
}

std::vector<std::uint8_t> PtyLine::take_input(std::size_t limit) {
  std::vector<std::uint8_t> in;
  std::uint8_t buffer[512];
  while (in.size() < limit) {
    const ssize_t n = ::read(pty_.master(), buffer, std::min(sizeof buffer, limit - in.size()));
    if (n <= 0) break;  // EAGAIN: nothing more; EIO: no program has it open
    in.insert(in.end(), buffer, buffer + n);
  }
  return in;
}

void PtyLine::drain(std::chrono::milliseconds limit) {
  flush();
  if (hold_ < 0) return;
  const auto until = std::chrono::steady_clock::now() + limit;
  int unread = 0;
  while (std::chrono::steady_clock::now() < until && ioctl(hold_, FIONREAD, &unread) == 0 && unread > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void wait_for_input(const std::vector<int>& fds, std::chrono::microseconds limit) {
  std::vector<pollfd> p;
  for (int fd : fds)
    if (fd >= 0) p.push_back({fd, POLLIN, 0});
  timespec t{static_cast<time_t>(limit.count() / 1000000), static_cast<long>(limit.count() % 1000000) * 1000};
  ppoll(p.data(), p.size(), &t, nullptr);
}

}  // namespace live
