// The firmware's own context: a thread that runs the firmware from its reset
// entry, taking turns with the caller. Exactly one of the two runs at a
// time: the caller lets the firmware run until virtual time reaches a pause
// point, and the firmware hands the turn back there, at one of its sync
// points. Ending a run unwinds the firmware's thread from the sync point it
// waits at.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "vboard/clock.h"

namespace vboard {

// Thrown on the firmware thread to end a run; never escapes the runner.
struct RunAborted {};

class FirmwareRunner {
 public:
  ~FirmwareRunner() { stop(); }

  // Starts `body` on the firmware thread; it first runs at the next resume.
  void start(std::function<void()> body);
  bool started() const { return thread_.joinable(); }
  // The body returned (or was never started).
  bool done() const { return !thread_.joinable() || done_; }

  // Caller: lets the firmware run until it yields at `pause` or later.
  void resume(Ticks pause);
  // The time at which the firmware is to hand the turn back.
  Ticks pause_at() const { return pause_at_; }

  // Firmware: hands the turn back; returns when the caller resumes it, or
  // throws RunAborted when the run is ending.
  void yield();
  static bool on_firmware_thread();

  // Ends the firmware thread wherever it waits.
  void stop();

 private:
  void main(const std::function<void()>& body);

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool fw_turn_ = false;
  bool abort_ = false;
  bool done_ = false;
  Ticks pause_at_ = kNever;
};

}  // namespace vboard
