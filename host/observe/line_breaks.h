// Seeded trials of breaks of the sensor's PWM line, 50 us to 1.5 ms long,
// judged from outside the firmware.
//
// Open loop: the capture timer and the angle decoder on a scripted rotor
// (random angle, speed up to the gimbal motor's no-load speed, sensor at 900
// to 1100 Hz), one break per trial at a random place in the period. Half
// the breaks hold the line low over a sensor that runs on underneath (a
// dropout: the sensor keeps its phase), half cut it and let the sensor start
// a period at the restoring edge (as the catalogue's pwm-cut does). Every
// decoded capture is compared with the rotor at its period's start. Then a
// clean line in steady rotation at 900, 1000 and 1100 Hz, and steps of the
// sensor's frequency within its tolerance.
//
// Closed loop: the whole firmware drives the motor; key presses keep it
// moving while the catalogue's pwm-dropout comes and goes with random widths
// and rates; at every control work the transform angle the drive used is
// compared with the shaft's electrical angle, and the time since that angle
// was decoded is taken.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "vboard/sim/clock.h"

namespace vboard {

struct LineBreakOptions {
  int breaks = 60000;
  std::uint64_t seed = 1;
  double shortest_us = 50.0;
  double longest_us = 1500.0;
  int steady_runs = 30;       // per frequency, 200 periods each
  int frequency_steps = 600;
  std::function<void(int)> on_break;  // after each break, with the breaks done
  std::function<bool()> stop;         // asked after each break and run: true ends the trials there
};

struct LineBreakReport {
  static constexpr double kWrongDeg = 2.0;  // an accepted angle further off than this is wrong

  std::uint64_t breaks = 0;
  std::uint64_t cuts = 0;                // of them, the sensor restarted at the restoring edge
  std::uint64_t restoring_captures = 0;  // breaks whose restoring edge made a capture
  std::uint64_t restoring_decoded = 0;   // ... and the decoder took it
  std::uint64_t wrong = 0;               // breaks with at least one accepted angle more than 2 degrees off
  std::array<std::uint64_t, 4> wrong_by_error{};  // by the worst: under 10, 10-45, 45-90, 90-180 degrees
  std::array<std::uint64_t, 2> breaks_by_width{};  // up to 1 ms, above
  std::array<std::uint64_t, 2> wrong_by_width{};
  double worst_error = 0.0;              // degrees, over every accepted capture
  std::uint64_t turn_slips = 0;          // the absolute angle lost or gained a turn across the break
  std::uint64_t clean_before_skipped = 0;  // clean captures before a break not decoded
  std::uint64_t clean_after_skipped = 0;   // clean captures after it (whole periods after the restore) not decoded
  std::uint64_t most_after_skipped = 0;    // of those, the most in one break
  std::uint64_t first_whole_skipped = 0;   // breaks whose first whole period after the restore was not decoded

  std::array<std::uint64_t, 3> steady_captures{};  // 900, 1000, 1100 Hz
  std::array<std::uint64_t, 3> steady_skipped{};

  std::uint64_t frequency_steps = 0;
  std::uint64_t step_skipped = 0;       // captures not decoded after the steps, in all
  std::uint64_t most_step_skipped = 0;  // the most after one step
  std::uint64_t step_wrong = 0;         // accepted angles more than 2 degrees off around the steps

  std::string summary() const;
};

LineBreakReport line_break_trials(const LineBreakOptions& options);

struct ClosedLoopBreakOptions {
  double seconds = 120.0;  // virtual time; the breaks stop two seconds before the end
  std::uint64_t seed = 1;
  double shortest_us = 50.0;
  double longest_us = 1000.0;
  double most_per_second = 100.0;
  std::function<bool()> stop;  // asked every virtual second: true ends the run there
};

struct ClosedLoopBreakReport {
  static constexpr double kOffElecDeg = 90.0;  // commutation this far off drives the wrong way
  static constexpr double kDrivingUq = 0.5;    // volts of Uq above which a control work drives
  // An angle decoded this long before a work is old: a clean line decodes
  // one a period, and a dropout of up to 1.5 ms costs two captures, so the
  // angle is at most four periods old (4.4 ms at 900 Hz).
  static constexpr Ticks kOldAngle = ms(5);

  std::uint64_t control_works = 0;
  std::uint64_t driving_works = 0;       // the drive on and |Uq| above 0.5 V
  std::uint64_t held_off_works = 0;      // the zero vector put out while |Uq| is above 0.5 V
  Ticks oldest_angle = 0;                // since the angle a work drove on was decoded, the longest
  std::uint64_t old_angle_works = 0;     // works with the drive on, on an angle decoded 5 ms or more before
  std::uint64_t off_works = 0;           // of them, commutation more than 90 electrical degrees off
  std::uint64_t off_works_wrong = 0;     // ... on an angle more than 2 degrees off when it was decoded
  Ticks longest_held = 0;                // the others: on an angle right when decoded, but this old at most
  std::uint64_t off_works_after_key = 0; // ... within 20 ms of a key interrupt (its 10 ms debounce holds the captures)
  double worst_off_elec_deg = 0.0;       // over the driving works
  std::uint64_t breaks = 0;              // dropouts put on the line
  std::uint64_t presses = 0;
  double end_error_deg = 0.0;            // absolute angle minus the shaft, the worst from 0.1 s after the last break on
                                         // (but at the bottom 1.5 degrees of the sensor's scale, which read as 1.4)
  bool lost_control = false;
  std::string lost_control_reason;

  std::string summary() const;
};

// Runs from power-on reset; the board is reset again at the end.
ClosedLoopBreakReport closed_loop_line_breaks(const ClosedLoopBreakOptions& options);

}  // namespace vboard
