#include "vboard/faults/faults.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "vboard/parts/as5048a.h"
#include "vboard/board/board.h"
#include "vboard/parts/ground_station.h"
#include "vboard/chip/rcc.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/chip/usart.h"

namespace vboard {

namespace {

// A rate near 0 gives an interval beyond the longest run, which the clock
// could not hold either.
constexpr double kMaxRepeatSeconds = 1e6;

}  // namespace

Faults::Faults(Board& board)
    : board_(board),
      pwm_(board.find<SensorPwm>()),
      sensor_(board.find<As5048a>()),
      keys_(board.find<Keys>()),
      usart_(&board.usart(3)),
      station_(&board.ground_station()),
      rcc_(&board.rcc()) {
  if (!pwm_ || !sensor_ || !keys_ || !usart_) throw std::logic_error("the fault catalogue needs the whole board");
  nominal_period_ = pwm_->period();
  default_bounces_ = keys_->bounces();
  default_bounce_span_ = keys_->bounce_span();
}

std::uint64_t Faults::switched_on() const {
  std::uint64_t n = 0;
  for (auto c : count_) n += c;
  return n;
}

bool Faults::pwm_healthy() const {
  for (auto k : {FaultKind::kNoSensor, FaultKind::kPwmCut, FaultKind::kPwmRunt, FaultKind::kPwmDropout,
                 FaultKind::kPwmStuckHigh, FaultKind::kPwmStuckLow})
    if (active(k)) return false;
  return !active(FaultKind::kPwmFrequency) || std::fabs(fault_[index(FaultKind::kPwmFrequency)].percent) <= 10.0;
}

double Faults::draw(FaultKind kind) {
  // splitmix64: small, and the same on every platform.
  std::uint64_t z = (state_[index(kind)] += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
}

void Faults::set(const Fault& fault, bool on) {
  const std::size_t i = index(fault.kind);
  const bool was_on = on_[i];
  on_[i] = on;
  if (on) {
    fault_[i] = fault;
    ++count_[i];
  }
  ++generation_[i];  // ends the chain of a repeating fault switched before
  const Ticks now = board_.now();
  switch (fault.kind) {
    case FaultKind::kPwmRunt:
    case FaultKind::kPwmDropout:
    case FaultKind::kKeyChatter:
      if (on && fault.rate_hz > 0.0) {
        state_[i] = fault.seed;
        repeat(fault.kind, generation_[i]);
      }
      break;
    case FaultKind::kUsartFlood:
      if (on && !was_on) {
        // Lasts until switched off; the bytes are made as they go out.
        station_->flood(now, ms(1000) * 1000 * 1000, fault.seed);
      } else if (!on && was_on) {
        station_->stop_sending();
      }
      break;
    case FaultKind::kKeyBounce:
      if (on) {
        keys_->set_bounce(kBounces, ticks_of_seconds(fault.bounce_ms * 1e-3));
      } else {
        keys_->set_bounce(default_bounces_, default_bounce_span_);
      }
      break;
    case FaultKind::kCrystalFails:
      rcc_->set_crystal_fails(on);
      break;
    default:
      break;
  }
  apply_levels();
  if (on_change) on_change(fault, on, now);
}

void Faults::schedule(const Fault& fault, Ticks from, Ticks until) {
  if (from <= board_.now()) {
    set(fault, true);
  } else {
    board_.at(from, [this, fault] { set(fault, true); });
  }
  if (until != kNever) board_.at(until, [this, fault] { set(fault, false); });
}

void Faults::apply_levels() {
  const bool no_sensor = active(FaultKind::kNoSensor);
  pwm_->set_enabled(!no_sensor && !active(FaultKind::kPwmCut));
  // A short to ground wins over one to the supply: the supply's current limit gives.
  SensorPwm::Hold hold = SensorPwm::Hold::kFree;
  if (active(FaultKind::kPwmStuckHigh)) hold = SensorPwm::Hold::kHigh;
  if (active(FaultKind::kPwmStuckLow)) hold = SensorPwm::Hold::kLow;
  if (pwm_->held() != hold) pwm_->hold_line(hold);
  const Ticks period =
      active(FaultKind::kPwmFrequency)
          ? static_cast<Ticks>(round_half_away(static_cast<double>(nominal_period_) /
                                               (1.0 + fault_[index(FaultKind::kPwmFrequency)].percent / 100.0)))
          : nominal_period_;
  pwm_->set_period(period);

  sensor_->set_absent(no_sensor || active(FaultKind::kSpiNoSensor));
  sensor_->set_bad_parity(active(FaultKind::kBadParity));
  sensor_->set_error_forced(active(FaultKind::kSpiErrorFlag));

  const double noise = active(FaultKind::kUsartNoise) ? fault_[index(FaultKind::kUsartNoise)].percent : 0.0;
  const double framing = active(FaultKind::kUsartFraming) ? fault_[index(FaultKind::kUsartFraming)].percent : 0.0;
  const std::uint64_t seed =
      fault_[index(FaultKind::kUsartNoise)].seed * 31u + fault_[index(FaultKind::kUsartFraming)].seed;
  usart_->set_rx_disturbance(noise, framing, seed);
}

void Faults::repeat(FaultKind kind, std::uint64_t generation) {
  const Fault& f = fault_[index(kind)];
  // Intervals spread evenly from half to one and a half of the mean. One
  // beyond the longest run (a rate near 0) never comes: the clock could not
  // hold its time.
  const double interval_s = (0.5 + draw(kind)) / f.rate_hz;
  if (!(interval_s < kMaxRepeatSeconds)) return;
  const Ticks at = board_.now() + std::max<Ticks>(1, ticks_of_seconds(interval_s));
  board_.at(at, [this, kind, generation] {
    if (generation_[index(kind)] != generation || !on_[index(kind)]) return;
    const Fault& g = fault_[index(kind)];
    const Ticks now = board_.now();
    switch (kind) {
      case FaultKind::kPwmRunt:
        pwm_->inject_pulse(now, std::max<Ticks>(1, ticks_of_seconds(g.width_us * 1e-6)));
        break;
      case FaultKind::kPwmDropout:
        pwm_->inject_dropout(now, std::max<Ticks>(1, ticks_of_seconds(g.width_us * 1e-6)));
        break;
      default:
        // A spike on a key that is up; a held key's pin is low already.
        if (!keys_->pressed(g.key)) keys_->glitch(g.key, now, kChatterWidth);
        break;
    }
    ++events_;
    repeat(kind, generation);
  });
}

}  // namespace vboard
