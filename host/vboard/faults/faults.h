// The fault catalogue: faults the board meets in the field, each named
// (fault_kinds.h), with its parameter in physical units, switched on and off
// at given virtual times by tests and scenario files.
//
// A fault acts on the models, never on the firmware: on the sensor's PWM
// line (runt pulses, dropouts, stuck levels, frequency, cut), on the sensor's
// SPI replies (absent, bad parity, error flag), on the USART's receive line
// (noise, framing errors, floods from the ground station), on the keys
// (bounce, chatter) and on the crystal. Repeating faults (runts, dropouts,
// chatter) come at their mean rate with a seeded spread, so the same seed
// gives the same run. One fault of a kind is in force at a time: switching a
// kind on again replaces its parameter.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "vboard/sim/clock.h"
#include "vboard/faults/fault_kinds.h"
#include "vboard/parts/keys.h"

namespace vboard {

class Board;
class SensorPwm;
class As5048a;
class Keys;
class Usart;
class GroundStation;
class Rcc;

struct Fault {
  FaultKind kind = FaultKind::kNoSensor;
  double percent = 0.0;   // pwm-frequency: off by; usart-noise/-framing: share of bytes hit
  double width_us = 0.0;  // pwm-runt, pwm-dropout: length of each
  double rate_hz = 0.0;   // pwm-runt, pwm-dropout, key-chatter: mean events per second
  double bounce_ms = 0.0;  // key-bounce: time until the contact settles
  Key key = Key::kRaise;   // key-chatter: the worn key
  std::uint64_t seed = 1;  // spread of repeating faults, bytes of a flood
};

class Faults {
 public:
  static constexpr Ticks kChatterWidth = us(20);  // one spike of a worn key
  static constexpr int kBounces = 4;             // returns to the old level of a bouncing key

  // The catalogue of a board after its reset (the board's models as they
  // are then; a board reset ends every fault).
  explicit Faults(Board& board);

  // Switches now.
  void set(const Fault& fault, bool on);
  // Switches at `from`, and off again at `until` (kNever: stays on).
  void schedule(const Fault& fault, Ticks from, Ticks until = kNever);

  bool active(FaultKind kind) const { return on_[index(kind)]; }
  // Whether the PWM line carries the sensor's signal as the sensor drives
  // it, within the sensor's frequency tolerance (10 percent).
  bool pwm_healthy() const;
  // Times faults were switched on since construction, of each kind and in all.
  std::uint64_t switched_on(FaultKind kind) const { return count_[index(kind)]; }
  std::uint64_t switched_on() const;
  // Runt pulses, dropouts and chatter spikes put on the lines.
  std::uint64_t events() const { return events_; }

  // Told of every switch (fault, on, when).
  std::function<void(const Fault&, bool, Ticks)> on_change;

 private:
  static std::size_t index(FaultKind kind) { return static_cast<std::size_t>(kind); }
  void apply_levels();  // the line, sensor and receiver states from the faults in force
  void repeat(FaultKind kind, std::uint64_t generation);  // the next runt, dropout or spike
  double draw(FaultKind kind);  // seeded, in [0, 1)

  Board& board_;
  SensorPwm* pwm_;
  As5048a* sensor_;
  Keys* keys_;
  Usart* usart_;
  GroundStation* station_;
  Rcc* rcc_;
  Ticks nominal_period_;
  int default_bounces_;
  Ticks default_bounce_span_;

  static constexpr std::size_t kKinds = kFaultKinds.size();
  std::array<bool, kKinds> on_{};
  std::array<Fault, kKinds> fault_{};
  std::array<std::uint64_t, kKinds> generation_{};  // ends a repeating fault's chain when it changes
  std::array<std::uint64_t, kKinds> state_{};       // its random sequence
  std::array<std::uint64_t, kKinds> count_{};
  std::uint64_t events_ = 0;
};

}  // namespace vboard
