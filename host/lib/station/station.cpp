#include "station.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace station {

namespace {
constexpr std::uint64_t kSecond = 1'000'000'000;
}

std::string format_time(std::uint64_t time_ns) {
  char text[32];
  const std::uint64_t us = time_ns / 1000;
  std::snprintf(text, sizeof text, "%" PRIu64 ".%06" PRIu64, us / 1'000'000, us % 1'000'000);
  return text;
}

Station::~Station() = default;  // a CSV never closed is dropped, not left half-written

bool Station::open_csv(const std::string& path, std::string& error) {
  std::lock_guard lock(mutex_);
  try {
    csv_ = std::make_unique<files::AtomicFile>(path);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  rows_ = csv_->stream();
  std::fputs(kCsvHeader, rows_);
  return true;
}

void Station::feed(std::uint64_t time_ns, std::span<const std::uint8_t> bytes) {
  std::unique_lock lock(mutex_);
  for (const std::uint8_t b : bytes) {
    const auto frame = decoder_.feed(b);
    if (!frame) continue;
    Sample s{time_ns, decoder_.good_frames(), *frame};
    if (rows_ != nullptr) {
      std::fprintf(rows_, "%s,%" PRIu64 ",%.2f,%.2f,%.2f,%.2f\n", format_time(time_ns).c_str(), s.frame,
                   frame->angle_deg(), frame->setpoint_deg(), frame->angle_unwrapped_deg(),
                   frame->setpoint_unwrapped_deg());
    }
    recent_.push_back(time_ns);
    counters_.have_frame = true;
    counters_.angle_deg = frame->angle_deg();
    counters_.setpoint_deg = frame->setpoint_deg();
    counters_.angle_unwrapped_deg = frame->angle_unwrapped_deg();
    if (on_sample) on_sample(s);
  }
  while (!recent_.empty() && recent_.front() + kSecond <= time_ns) recent_.pop_front();
  counters_.frames = decoder_.good_frames();
  counters_.bad_frames = decoder_.bad_frames();
  counters_.garbage_bytes = decoder_.garbage_bytes();
  counters_.bytes = decoder_.bytes_fed();
  counters_.angle_wraps = decoder_.angle_wraps();
  counters_.frames_per_second = static_cast<double>(recent_.size());
}

bool Station::flush(std::string& error) {
  std::lock_guard lock(mutex_);
  if (csv_ == nullptr) return true;
  errno = 0;
  if (std::fflush(rows_) == 0 && !csv_->failed()) return true;
  error = csv_->path() + ": write failed" + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
  csv_.reset();
  rows_ = nullptr;
  return false;
}

bool Station::close(std::string& error) {
  std::lock_guard lock(mutex_);
  if (csv_ == nullptr) return true;
  rows_ = nullptr;
  try {
    csv_->commit();
  } catch (const std::exception& e) {
    error = e.what();
    csv_.reset();
    return false;
  }
  csv_.reset();
  return true;
}

Counters Station::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

}  // namespace station
