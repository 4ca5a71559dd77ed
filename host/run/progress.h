// A progress line for long runs, redrawn in place on a terminal: virtual
// time done, speed against real time and the wall time still to go. It
// shows only after a second of wall time, so short runs stay quiet.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace run {

// "12.0 s of 60.0 s virtual, 850 x real time, 56 s left"; for a run
// without an end (total 0 or more than kMaxSeconds): "12.0 s virtual, 1 x real time"
std::string progress_text(double virtual_done_s, double virtual_total_s, double wall_s);

class Progress {
 public:
  // Shows nothing unless `enabled` (stderr is a terminal and not -q).
  Progress(double virtual_total_s, bool enabled, std::FILE* out = stderr);
  // Called often; redraws at most five times a second. `extra` goes at the
  // end of the line.
  void update(double virtual_done_s, const std::string& extra = {});
  // Clears the line before other output goes to the terminal; the next
  // update draws it again at once.
  void hide();
  // Clears the line, if one was drawn.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  double total_;
  bool enabled_;
  std::FILE* out_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_{};
  bool drawn_ = false;
  bool hidden_ = false;
};

}  // namespace run
