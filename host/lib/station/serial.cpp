#include "serial.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace station {

namespace {

struct Speed {
  unsigned baud;
  speed_t code;
};

constexpr Speed kSpeeds[] = {
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1500000, B1500000},
    {2000000, B2000000},
};

bool speed_code(unsigned baud, speed_t& code) {
  for (const Speed& s : kSpeeds) {
    if (s.baud == baud) {
      code = s.code;
      return true;
    }
  }
  return false;
}

void make_raw(termios& t) {
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

}  // namespace

bool supported_baud(unsigned baud) {
  speed_t code{};
  return speed_code(baud, code);
}

bool set_raw(int fd, unsigned baud) {
  speed_t code{};
  if (!speed_code(baud, code)) {
    errno = EINVAL;
    return false;
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  make_raw(t);
  if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
  return true;
}

int open_serial(const std::string& path, unsigned baud, OpenError& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    error.message = "cannot open " + path + ": " + std::strerror(e);
    if (e == EACCES) error.message += " (is the user in the dialout group?)";
    return -1;
  }
  if (!isatty(fd)) {
    ::close(fd);
    error.message = path + " is not a serial device (use --replay for a recording)";
    return -1;
  }
  if (!set_raw(fd, baud)) {
    error.message = "cannot set " + path + " to raw 8N1 at " + std::to_string(baud) + " baud: " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  // Drop what the driver held from before we took the line.
  tcflush(fd, TCIFLUSH);
  return fd;
}

Pty::Pty(Pty&& other) noexcept
    : master_(std::exchange(other.master_, -1)), slave_(std::exchange(other.slave_, -1)), path_(std::move(other.path_)) {}

Pty& Pty::operator=(Pty&& other) noexcept {
  if (this != &other) {
    close_master();
    close_slave();
    master_ = std::exchange(other.master_, -1);
    slave_ = std::exchange(other.slave_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

Pty::~Pty() {
  close_master();
  close_slave();
}

bool Pty::open(bool nonblocking_master) {
  close_master();
  close_slave();
  termios t{};
  make_raw(t);
  cfsetispeed(&t, B500000);
  cfsetospeed(&t, B500000);
  char name[256] = {};
  if (openpty(&master_, &slave_, name, &t, nullptr) != 0) {
    master_ = slave_ = -1;
    return false;
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  if (nonblocking_master) fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  path_ = name;
  return true;
}

void Pty::close_master() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void Pty::close_slave() {
  if (slave_ >= 0) ::close(slave_);
  slave_ = -1;
}

}  // namespace station
