// The firmware's own context: a stack of its own on which the firmware runs
// from its reset entry, taking turns with the caller. Exactly one of the two
// runs at a time: the caller lets the firmware run until virtual time
// reaches a pause point, and the firmware hands the turn back there, at one
// of its sync points. A turn is a switch of stacks in user space (no second
// thread, no lock), so that a caller that runs the board in short steps pays
// little for each. Ending a run unwinds the firmware's stack from the sync
// point it waits at.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

#include "vboard/sim/clock.h"

namespace vboard {

// Thrown on the firmware's context to end a run; never escapes the runner.
struct RunAborted {};

class FirmwareRunner {
 public:
  FirmwareRunner() = default;
  FirmwareRunner(const FirmwareRunner&) = delete;
  FirmwareRunner& operator=(const FirmwareRunner&) = delete;
  // Only the caller's side destroys the runner; a stop refused there (from
  // the firmware's own context) is a fault of the program, which ends it.
  ~FirmwareRunner() {
    try {
      stop();
    } catch (...) {
      std::terminate();
    }
  }

  // Starts `body` on the firmware's context; it first runs at the next resume.
  void start(std::function<void()> body);
  bool started() const { return started_; }
  // The body returned (or was never started).
  bool done() const { return !started_ || done_; }

  // Caller: lets the firmware run until it yields at `pause` or later. An
  // exception that ends the body (other than the end of the run) is thrown
  // here, on the caller's side.
  void resume(Ticks pause);
  // The time at which the firmware is to hand the turn back.
  Ticks pause_at() const { return pause_at_; }

  // Firmware: hands the turn back; returns when the caller resumes it, or
  // throws RunAborted when the run is ending.
  void yield();
  // The code runs on the firmware's context (the name is older than the
  // context switch).
  static bool on_firmware_thread();

  // Ends the firmware's run wherever it waits, and frees its stack.
  void stop();

 private:
  struct Entry;
  void main();
  void switch_to_firmware();
  void release_stack();

  std::function<void()> body_;
  std::exception_ptr failure_;
  // The mapping of the firmware's stack (a guard page at its low end).
  void* stack_ = nullptr;
  std::size_t mapped_ = 0;
  // Where each side resumes: the firmware at its last yield, the caller in
  // its last resume.
  void* firmware_ = nullptr;
  void* caller_ = nullptr;
  // The caller's stack and the sanitizer's saved frames of each side, kept
  // for the sanitizer's stack switch notes.
  const void* caller_stack_ = nullptr;
  std::size_t caller_stack_size_ = 0;
  void* caller_fake_ = nullptr;
  void* firmware_fake_ = nullptr;
  bool started_ = false;
  bool abort_ = false;
  bool done_ = false;
  Ticks pause_at_ = kNever;
};

}  // namespace vboard
