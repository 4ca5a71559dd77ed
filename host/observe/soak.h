// A seeded soak of the whole firmware on the virtual board: a scripted rotor
// that changes speed at random (up to 500 degrees a second either way), key
// presses, serial floods and every fault of the catalogue but the crystal
// (which fails at start-up or not at all) switched on and off at random
// times, for as long as asked. What it watches, from outside:
//   - a telemetry frame every 5 ms, except where a key interrupt's 10 ms
//     debounce falls in the gap (it holds the scheduler tick back);
//   - no stall and no fault handler;
//   - the decoded mechanical angle within 1 degree of the rotor at every
//     capture whose period the sensor's PWM line carried cleanly, the
//     sensor's bottom 1.4 degrees excepted (its shortest high time reads
//     them as 1.4), and the degree below them (a late capture may carry a
//     rotor that has crossed into them); a step of the sensor's frequency
//     counts as a moment of unclean line (a capture read late, behind a
//     key's debounce, pairs one period's length with the next one's high
//     time, which only matters when the two periods differ);
//   - the absolute angle keeping its turn while the line is clean (a turn
//     may change only across a spell in which the line carried no angle);
//   - a digest of every frame and its time: same seed, same digest.
// The plan is drawn a second at a time, so a run of hours holds no more
// than one second of events in the queue.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "vboard/sim/clock.h"

namespace vboard {

struct SoakOptions {
  double seconds = 180.0;  // virtual time
  std::uint64_t seed = 1;
  // Called after each virtual second with the seconds done.
  std::function<void(double)> on_second;
  // Asked after each virtual second; true ends the soak there, with the
  // report of the time run so far.
  std::function<bool()> stop;
};

struct SoakReport {
  double virtual_s = 0.0;
  std::uint64_t frames = 0;
  std::uint64_t bad_frames = 0;       // frames the ground station's decoder refused
  Ticks max_gap = 0;                  // between frame starts, any cause
  Ticks max_gap_unexplained = 0;      // between frame starts with no key interrupt in between
  std::uint64_t gaps_over_5ms = 0;    // gaps above 5 ms and 150 us with no key interrupt in between
  std::uint64_t key_interrupts = 0;
  std::uint64_t angle_checks = 0;     // captures decoded on a clean line and compared
  double worst_angle_error = 0.0;     // degrees, over those
  std::uint64_t angle_misses = 0;     // of those, more than 1 degree off
  std::uint64_t turn_slips = 0;       // the absolute angle's turn changed while the line was clean
  std::uint64_t turn_resyncs = 0;     // it changed across a spell without an angle (expected)
  std::uint64_t faults_applied = 0;   // faults switched on
  std::array<std::uint64_t, 16> faults_of_kind{};
  std::uint64_t fault_events = 0;     // runts, dropouts and chatter spikes
  std::uint64_t presses = 0;
  std::uint64_t flood_bytes = 0;      // bytes the ground station sent
  std::uint64_t serial_errors = 0;    // received bytes with NE or FE
  bool stalled = false;
  bool stopped_in_handler = false;
  std::string handler;
  std::uint64_t digest = 0;           // FNV-1a over every frame's bytes and start time

  // Whether every assertion of the soak holds.
  bool sound() const {
    return frames > 0 && bad_frames == 0 && gaps_over_5ms == 0 && angle_misses == 0 && turn_slips == 0 && !stalled &&
           !stopped_in_handler;
  }
  std::string summary() const;  // the figures, one per line
};

// Runs from power-on reset; the board is reset again at the end.
SoakReport soak(const SoakOptions& options);

}  // namespace vboard
