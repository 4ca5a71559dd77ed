#include "line_breaks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

#include "device.h"
#include "drv_misc.h"
#include "global_variable.h"
#include "splitmix.h"
#include "system_clock.h"
#include "timer.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/faults/faults.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/sensor_pwm.h"

namespace vboard {

namespace {

constexpr double kTopSpeed = 7000.0;    // degrees a second: about the gimbal motor's no-load speed
constexpr Ticks kEdgeToEntry = us(3);   // a capture's interrupt comes this soon after its edge (filter 1.52 us)
constexpr int kCleanBefore = 4;         // whole periods before a break
constexpr int kPeriodsAfter = 6;        // periods run after it

Ticks period_for(double hz) {
  return static_cast<Ticks>(std::llround(static_cast<double>(kTicksPerSecond) / hz));
}

double distance(double a, double b) { return std::fabs(std::remainder(a - b, 360.0)); }

// Every entry of the capture interrupt, as the sensor and the decoder stood.
struct Capture {
  Ticks entry;
  Ticks rise;           // the sensor's latest period start at the entry
  Ticks previous_rise;  // the one before it
  bool decoded;
  double pitch;         // PitchAngle, if decoded
  double absolute;      // AbPitchAngle, if decoded
};

// Records each run of TIM3's handler: the entry's time, then at its exit
// whether the decoder took the capture.
class CaptureLog {
 public:
  void attach(Board& b, const SensorPwm& pwm) {
    log_.clear();
    b.on_exception_entry = [this, &pwm](int e, Ticks t) {
      if (e != kExcIrq0 + TIM3_IRQn) return;
      open_ = true;
      at_entry_ = true;
      decoded_before_ = DecodedCaptures;
      log_.push_back({t, pwm.last_rise(), pwm.previous_rise(), false, 0.0, 0.0});
    };
    b.on_observe = [this] {
      if (!open_) return;
      if (at_entry_) {
        at_entry_ = false;
        return;
      }
      open_ = false;
      Capture& c = log_.back();
      c.decoded = DecodedCaptures != decoded_before_;
      c.pitch = static_cast<double>(PitchAngle);
      c.absolute = static_cast<double>(AbPitchAngle);
    };
  }
  const std::vector<Capture>& captures() const { return log_; }

 private:
  std::vector<Capture> log_;
  bool open_ = false;
  bool at_entry_ = false;
  std::uint32_t decoded_before_ = 0;
};

// A capture at a rise of the sensor's own (not at an edge a break made).
bool at_rise(const Capture& c) { return c.entry >= c.rise && c.entry - c.rise <= kEdgeToEntry; }

// Board, sensor and capture timer as the firmware's start-up leaves them,
// the rotor turning; returns the period.
Ticks start(double hz, double angle, double speed) {
  Board& b = board();
  b.reset();
  const Ticks period = period_for(hz);
  b.find<SensorPwm>()->set_period(period);
  b.rotor().set(angle, speed, 0);
  SystemInit();
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1);
  TIM2_Init();  // the free-running time base the capture check times periods by
  TIM3_Init();
  return period;
}

class OpenLoop {
 public:
  explicit OpenLoop(const LineBreakOptions& o) : options_(o), random_(o.seed) {}

  LineBreakReport run() {
    const auto stopped = [this] { return options_.stop && options_.stop(); };
    for (int n = 0; n < options_.breaks && !stopped(); ++n) {
      one_break();
      if (options_.on_break) options_.on_break(n + 1);
    }
    for (std::size_t f = 0; f < 3; ++f) {
      for (int n = 0; n < options_.steady_runs && !stopped(); ++n) steady(f);
    }
    for (int n = 0; n < options_.frequency_steps && !stopped(); ++n) frequency_step();
    board().reset();
    return report_;
  }

 private:
  double speed() { return random_.chance(0.2) ? 0.0 : random_.uniform(-kTopSpeed, kTopSpeed); }

  // The rotor a decoded capture should carry: at its period's start. A
  // capture that no clean period ends is given the better of that and the
  // latest period start.
  double error(const Capture& c, bool clean) const {
    const Rotor& r = board().rotor();
    const double e = distance(c.pitch, r.unwrapped(c.previous_rise));
    return clean ? e : std::min(e, distance(c.pitch, r.unwrapped(c.rise)));
  }

  void one_break() {
    Board& b = board();
    SensorPwm& pwm = *b.find<SensorPwm>();
    const bool cut = random_.chance(0.5);
    const double hz = random_.uniform(900.0, 1100.0);
    const double angle = random_.uniform(0.0, 360.0);
    const double v = speed();
    const double place = random_.unit();
    const double width_us = random_.uniform(options_.shortest_us, options_.longest_us);
    const Ticks period = start(hz, angle, v);
    const std::uint64_t k0 = b.now() / period + 2;  // the first capture reads 0
    b.run_until((k0 - 1) * period + us(50));
    log_.attach(b, pwm);
    const Ticks s = (k0 + kCleanBefore - 1) * period + static_cast<Ticks>(place * static_cast<double>(period));
    const Ticks width = ticks_of_seconds(width_us * 1e-6);
    const Ticks e = s + width;
    if (cut) {
      b.at(s, [&pwm] { pwm.set_enabled(false); });
      b.at(e, [&pwm] { pwm.set_enabled(true); });
    } else {
      pwm.inject_dropout(s, width);
    }
    b.run_until(e + kPeriodsAfter * period + us(50));

    ++report_.breaks;
    report_.cuts += cut ? 1 : 0;
    const std::size_t bucket = width_us <= 1000.0 ? 0 : 1;
    ++report_.breaks_by_width[bucket];
    double worst = 0.0;
    bool restoring_seen = false, first_whole_seen = false;
    std::uint64_t after_skipped = 0;
    double offset_before = 0.0, offset_after = 0.0;
    for (const Capture& c : log_.captures()) {
      const bool rise = at_rise(c);
      const bool before = rise && c.rise <= s;
      const bool after = rise && c.previous_rise >= e;
      if (!restoring_seen && c.entry >= e && c.entry <= e + kEdgeToEntry) {
        restoring_seen = true;
        ++report_.restoring_captures;
        report_.restoring_decoded += c.decoded ? 1 : 0;
      }
      if (before && !c.decoded) ++report_.clean_before_skipped;
      if (after) {
        if (!first_whole_seen) {
          first_whole_seen = true;
          report_.first_whole_skipped += c.decoded ? 0 : 1;
        }
        after_skipped += c.decoded ? 0 : 1;
      }
      if (!c.decoded) continue;
      const double err = error(c, before || after);
      worst = std::max(worst, err);
      if (before) offset_before = c.absolute - b.rotor().unwrapped(c.previous_rise);
      if (after) offset_after = c.absolute - b.rotor().unwrapped(c.previous_rise);
    }
    report_.clean_after_skipped += after_skipped;
    report_.most_after_skipped = std::max(report_.most_after_skipped, after_skipped);
    report_.worst_error = std::max(report_.worst_error, worst);
    if (worst > LineBreakReport::kWrongDeg) {
      ++report_.wrong;
      ++report_.wrong_by_width[bucket];
      ++report_.wrong_by_error[worst < 10.0 ? 0 : worst < 45.0 ? 1 : worst < 90.0 ? 2 : 3];
    }
    if (std::fabs(offset_after - offset_before) > 180.0) ++report_.turn_slips;
  }

  void steady(std::size_t f) {
    static constexpr double kHz[3] = {900.0, 1000.0, 1100.0};
    Board& b = board();
    const Ticks period = start(kHz[f], random_.uniform(0.0, 360.0), speed());
    const std::uint64_t k0 = b.now() / period + 2;
    b.run_until((k0 - 1) * period + us(50));
    log_.attach(b, *b.find<SensorPwm>());
    b.run_until((k0 + 200) * period + us(50));
    for (const Capture& c : log_.captures()) {
      if (!at_rise(c)) continue;
      ++report_.steady_captures[f];
      report_.steady_skipped[f] += c.decoded ? 0 : 1;
    }
  }

  // A step of the sensor's frequency, as the catalogue's pwm-frequency puts
  // it: from one setting within the tolerance to another, at a random place.
  void frequency_step() {
    Board& b = board();
    SensorPwm& pwm = *b.find<SensorPwm>();
    const double from = 1000.0 * (1.0 + random_.uniform(-0.1, 0.1));
    const double to = 1000.0 * (1.0 + random_.uniform(-0.1, 0.1));
    const Ticks period = start(from, random_.uniform(0.0, 360.0), speed());
    const std::uint64_t k0 = b.now() / period + 2;
    b.run_until((k0 - 1) * period + us(50));
    log_.attach(b, pwm);
    const Ticks at = (k0 + kCleanBefore - 1) * period + static_cast<Ticks>(random_.unit() * static_cast<double>(period));
    b.at(at, [&pwm, to] { pwm.set_period(period_for(to)); });
    b.run_until(at + 8 * period_for(to) + us(50));
    ++report_.frequency_steps;
    std::uint64_t skipped = 0;
    for (const Capture& c : log_.captures()) {
      if (!at_rise(c)) continue;
      if (c.rise > at) skipped += c.decoded ? 0 : 1;
      if (c.decoded && error(c, true) > LineBreakReport::kWrongDeg) ++report_.step_wrong;
    }
    report_.step_skipped += skipped;
    report_.most_step_skipped = std::max(report_.most_step_skipped, skipped);
  }

  LineBreakOptions options_;
  Random random_;
  CaptureLog log_;
  LineBreakReport report_{};
};

class ClosedLoop {
 public:
  explicit ClosedLoop(const ClosedLoopBreakOptions& o) : options_(o), random_(o.seed) {}

  ClosedLoopBreakReport run() {
    Board& b = board();
    b.reset();
    faults_ = std::make_unique<Faults>(b);
    keys_ = b.find<Keys>();
    b.motor_drive().set_setpoint_source([] { return static_cast<double>(MotorAPosition.Des); });
    const Ticks end = ticks_of_seconds(options_.seconds);
    const Ticks quiet = end > ms(2000) ? end - ms(2000) : 0;
    judged_from_ = quiet + ms(100);
    b.on_exception_entry = [this](int e, Ticks t) {
      if (e == kExcIrq0 + EXTI9_5_IRQn) last_key_ = t;
      if (e != kExcIrq0 + TIM3_IRQn) return;
      capture_open_ = at_entry_ = true;
      decoded_before_ = DecodedCaptures;
      shaft_[1] = shaft_[0];
      shaft_[0] = board().motor_drive().sensor_unwrapped_deg();
    };
    b.on_observe = [this] { observe(); };
    b.power_on();
    // A press every 0.4 to 1 s; the dropouts change every 50 ms: a new
    // width and rate, or a pause.
    for (Ticks t = ms(300); t < quiet; t += ms(50)) {
      Fault f{.kind = FaultKind::kPwmDropout,
              .width_us = random_.uniform(options_.shortest_us, options_.longest_us),
              .rate_hz = random_.uniform(1.0, options_.most_per_second),
              .seed = random_.next()};
      const bool on = !random_.chance(0.2);
      b.at(t, [this, f, on] { faults_->set(f, on); });
    }
    b.at(quiet, [this] { faults_->set({.kind = FaultKind::kPwmDropout}, false); });
    for (Ticks t = ms(500); t + ms(1000) < quiet;) {
      keys_->click(random_.chance(0.5) ? Key::kRaise : Key::kLower, t, ms(50));
      ++report_.presses;
      t += ticks_of_seconds(random_.uniform(0.4, 1.0));
    }
    for (Ticks t = 0; t < end && !(options_.stop && options_.stop());) {
      t = std::min(end, t + kTicksPerSecond);
      b.run_until(t);
    }
    report_.breaks = faults_->events();
    report_.lost_control = b.stop_info().lost_control;
    report_.lost_control_reason = b.stop_info().lost_control_reason;
    b.on_exception_entry = nullptr;
    b.on_observe = nullptr;
    faults_.reset();
    b.reset();
    return report_;
  }

 private:
  // A control work has run when its flag, seen raised, is seen cleared: the
  // transform angle and Uq it used are still in place.
  void observe() {
    if (capture_open_ && !at_entry_ && DecodedCaptures != decoded_before_) {
      // The capture just decoded carries the shaft as it stood at the
      // previous period's end (the previous entry, 1.5 us after it); read
      // late, at the last one (this entry, up to a period after it).
      capture_open_ = false;
      const double error = static_cast<double>(AbPitchAngle) - shaft_[1];
      decoded_at_ = board().now();
      decoded_wrong_ = std::min(distance(static_cast<double>(AbPitchAngle), shaft_[1]),
                                distance(static_cast<double>(AbPitchAngle), shaft_[0])) > LineBreakReport::kWrongDeg;
      // (The bottom 1.4 degrees of the sensor's scale read as 1.4.)
      const double scale = std::fmod(std::fmod(shaft_[1] + 40.0, 360.0) + 360.0, 360.0);
      if (decoded_at_ >= judged_from_ && scale >= 1.5 && std::fabs(error) > std::fabs(report_.end_error_deg)) {
        report_.end_error_deg = error;
      }
    }
    capture_open_ = capture_open_ && at_entry_;
    at_entry_ = false;
    const bool raised = gFlagControl == SET;
    if (control_raised_ && !raised) control_work();
    control_raised_ = raised;
  }

  void control_work() {
    ++report_.control_works;
    const bool drive_on = !(MotorASVPWM.taOn == MotorASVPWM.tbOn && MotorASVPWM.tbOn == MotorASVPWM.tcOn);
    const bool asked = std::fabs(static_cast<double>(MotorAPark.Uq)) > ClosedLoopBreakReport::kDrivingUq;
    if (!drive_on) {
      report_.held_off_works += asked ? 1 : 0;
      return;
    }
    const Ticks age = board().now() - decoded_at_;
    report_.oldest_angle = std::max(report_.oldest_angle, age);
    if (age >= ClosedLoopBreakReport::kOldAngle) ++report_.old_angle_works;
    if (!asked) return;
    ++report_.driving_works;
    // The transform turns the electrical angle the other way round.
    const double used = 360.0 - static_cast<double>(MotorAPark.Theta);
    const double shaft = 7.0 * board().motor_drive().sensor_angle_deg();
    const double off = distance(used, shaft);
    report_.worst_off_elec_deg = std::max(report_.worst_off_elec_deg, off);
    if (off > ClosedLoopBreakReport::kOffElecDeg) {
      ++report_.off_works;
      if (decoded_wrong_) {
        ++report_.off_works_wrong;
      } else {
        report_.longest_held = std::max(report_.longest_held, board().now() - decoded_at_);
        if (board().now() - last_key_ <= ms(20)) ++report_.off_works_after_key;
      }
    }
  }

  ClosedLoopBreakOptions options_;
  Random random_;
  ClosedLoopBreakReport report_{};
  std::unique_ptr<Faults> faults_;
  Keys* keys_ = nullptr;
  bool control_raised_ = false;
  bool capture_open_ = false;
  bool at_entry_ = false;
  std::uint32_t decoded_before_ = 0;
  std::array<double, 2> shaft_{};  // at the last two entries of the capture interrupt
  Ticks judged_from_ = 0;
  Ticks last_key_ = kNever / 2;  // entry of the last key interrupt
  Ticks decoded_at_ = 0;         // the last capture decoded
  bool decoded_wrong_ = false;   // ... more than 2 degrees off the shaft
};

std::string format(const char* f, auto... v) {
  char line[200];
  std::snprintf(line, sizeof line, f, v...);
  return std::string(line) + "\n";
}

double percent(std::uint64_t part, std::uint64_t whole) {
  return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

using ull = unsigned long long;

}  // namespace

LineBreakReport line_break_trials(const LineBreakOptions& options) { return OpenLoop(options).run(); }

ClosedLoopBreakReport closed_loop_line_breaks(const ClosedLoopBreakOptions& options) {
  return ClosedLoop(options).run();
}

std::string LineBreakReport::summary() const {
  std::ostringstream o;
  o << format("breaks                  %llu (%llu cuts with the sensor restarting, %llu dropouts over a running sensor)",
              ull{breaks}, ull{cuts}, ull{breaks - cuts});
  o << format("restoring captures      %llu, decoded %llu (%.1f %%)", ull{restoring_captures}, ull{restoring_decoded},
              percent(restoring_decoded, restoring_captures));
  o << format("wrong angle accepted    %llu breaks (%.3f %%): %llu under 10 deg, %llu at 10-45, %llu at 45-90, %llu at 90-180",
              ull{wrong}, percent(wrong, breaks), ull{wrong_by_error[0]}, ull{wrong_by_error[1]}, ull{wrong_by_error[2]},
              ull{wrong_by_error[3]});
  o << format("  by width              %.3f %% up to 1 ms, %.3f %% above", percent(wrong_by_width[0], breaks_by_width[0]),
              percent(wrong_by_width[1], breaks_by_width[1]));
  o << format("worst accepted error    %.2f deg", worst_error);
  o << format("turn slips              %llu", ull{turn_slips});
  o << format("clean captures skipped  %llu before the breaks; %llu after (at most %llu after one break); "
              "first whole period after the restore skipped: %llu",
              ull{clean_before_skipped}, ull{clean_after_skipped}, ull{most_after_skipped}, ull{first_whole_skipped});
  o << format("steady rotation         skipped %llu of %llu at 900 Hz, %llu of %llu at 1000 Hz, %llu of %llu at 1100 Hz",
              ull{steady_skipped[0]}, ull{steady_captures[0]}, ull{steady_skipped[1]}, ull{steady_captures[1]},
              ull{steady_skipped[2]}, ull{steady_captures[2]});
  o << format("frequency steps         %llu: %llu captures skipped after them (at most %llu after one), %llu wrong angles",
              ull{frequency_steps}, ull{step_skipped}, ull{most_step_skipped}, ull{step_wrong});
  return o.str();
}

std::string ClosedLoopBreakReport::summary() const {
  std::ostringstream o;
  o << format("control works           %llu, driving (|Uq| > 0.5 V) %llu, held off (zero vector at |Uq| > 0.5 V) %llu",
              ull{control_works}, ull{driving_works}, ull{held_off_works});
  o << format("angle decoded           at most %.1f ms before a work with the drive on; %llu works on one 5 ms old or more",
              to_ms(oldest_angle), ull{old_angle_works});
  o << format("commutation > 90 deg    %llu works (worst %.1f electrical degrees): %llu on an angle wrong when decoded; "
              "the others on one right but %.1f ms old at most, %llu of them within 20 ms of a key's debounce",
              ull{off_works}, worst_off_elec_deg, ull{off_works_wrong}, to_ms(longest_held), ull{off_works_after_key});
  o << format("dropouts                %llu, key presses %llu", ull{breaks}, ull{presses});
  o << format("angle minus shaft       %.3f deg at worst, from 0.1 s after the last dropout on", end_error_deg);
  o << format("loss of control         %s", lost_control ? lost_control_reason.c_str() : "no");
  return o.str();
}

}  // namespace vboard
