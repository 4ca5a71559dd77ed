#include "progress.h"

#include <algorithm>

#include "time_text.h"

namespace run {

std::string progress_text(double done, double total, double wall) {
  char line[120];
  const double speed = wall > 0.0 ? done / wall : 0.0;
  if (!(total > 0.0 && total < kMaxSeconds)) {
    std::snprintf(line, sizeof line, "%.1f s virtual, %.0f x real time", done, speed);
    return line;
  }
  const double left = speed > 0.0 ? std::max(0.0, total - done) / speed : 0.0;
  if (left >= 120.0) {
    const long seconds = static_cast<long>(left);
    std::snprintf(line, sizeof line, "%.1f s of %.1f s virtual, %.0f x real time, %ld min %02ld s left", done, total,
                  speed, seconds / 60, seconds % 60);
  } else {
    std::snprintf(line, sizeof line, "%.1f s of %.1f s virtual, %.0f x real time, %.0f s left", done, total, speed, left);
  }
  return line;
}

Progress::Progress(double total, bool enabled, std::FILE* out) : total_(total), enabled_(enabled), out_(out) {}

void Progress::update(double done, const std::string& extra) {
  if (!enabled_) return;
  const auto now = Clock::now();
  if (now - start_ < std::chrono::seconds(1) || (!hidden_ && now - last_draw_ < std::chrono::milliseconds(200))) return;
  last_draw_ = now;
  hidden_ = false;
  const double wall = std::chrono::duration<double>(now - start_).count();
  std::fprintf(out_, "\r%s%s\033[K", progress_text(done, total_, wall).c_str(), extra.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void Progress::hide() {
  if (!drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
  hidden_ = true;
}

void Progress::finish() {
  if (!drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace run
