#include "soak.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>

#include "device.h"
#include "global_variable.h"
#include "sensor_frame.h"
#include "splitmix.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/faults/faults.h"
#include "vboard/parts/ground_station.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/chip/usart.h"

namespace vboard {

namespace {

constexpr Ticks kFrameSlack = us(150);  // a frame may come this much later than 5 ms (SPI read, captures, bytes received)
constexpr double kMaxSpeed = 500.0;     // degrees a second
constexpr double kBottomOfScale = 1.5;  // degrees the sensor cannot tell apart at the bottom of its scale
constexpr double kNearWrap = 1.0;       // degrees below the wrap that a late capture may have crossed

double in_turn(double degrees) {
  double d = std::fmod(degrees, 360.0);
  if (d > 180.0) d -= 360.0;
  if (d <= -180.0) d += 360.0;
  return d;
}

class Soak {
 public:
  explicit Soak(const SoakOptions& o) : options_(o), random_(o.seed) {}

  SoakReport run() {
    Board& b = board();
    b.reset();
    faults_ = std::make_unique<Faults>(b);
    pwm_ = b.find<SensorPwm>();
    keys_ = b.find<Keys>();
    station_ = &b.ground_station();
    segments_[1] = {0, random_.uniform(0.0, 360.0), 0.0};
    segments_[0] = segments_[1];
    b.rotor().set(segments_[1].angle, 0.0, 0);
    watch(b);
    plan(0);
    b.power_on();
    const Ticks end = ticks_of_seconds(options_.seconds);
    for (Ticks t = 0; t < end;) {
      t = std::min(end, t + ticks_of_seconds(1.0));
      b.run_until(t);
      if (options_.on_second) options_.on_second(to_seconds(t));
      if (b.stop_info().stalled || b.stop_info().stopped_in_handler) break;
      if (options_.stop && options_.stop()) break;
    }
    finish(b);
    return report_;
  }

 private:
  void watch(Board& b) {
    station_->set_recording(false);
    station_->on_byte = [this](const GroundStation::Heard& h) {
      mix(h.value);
      mix(h.start);
      if (bytes_++ % telemetry::kSensorFrameSize == 0) frame_start_ = h.start;
      if (decoder_.feed(static_cast<std::uint8_t>(h.value))) frame(frame_start_);
    };
    faults_->on_change = [this](const Fault& f, bool on, Ticks now) {
      if (on) {
        ++report_.faults_applied;
        ++report_.faults_of_kind[static_cast<std::size_t>(f.kind)];
      }
      const bool healthy = faults_->pwm_healthy();
      if (f.kind == FaultKind::kPwmFrequency && healthy && clean_since_ != kNever) {
        // A step of the sensor's frequency is not clean for the capture
        // that spans it: read late, that capture pairs one period's length
        // with the next one's high time. (The real sensor's frequency
        // drifts slowly.)
        clean_since_ = std::max(clean_since_, now + ms(1));
      }
      if (!healthy && clean_since_ != kNever) {
        clean_since_ = kNever;
        ++unclean_spells_;
      } else if (healthy && clean_since_ == kNever) {
        clean_since_ = now + ms(1);  // a runt or dropout under way ends within its width
      }
    };
    b.on_exception_entry = [this](int e, Ticks t) {
      if (e == kExcIrq0 + EXTI9_5_IRQn) {
        ++report_.key_interrupts;
        last_key_entry_ = t;
      } else if (e == kExcIrq0 + TIM3_IRQn) {
        // The capture the handler reads is that of the period that ended
        // at the last rise.
        const Ticks rise = pwm_->previous_rise();
        pending_ = true;
        decoded_before_ = DecodedCaptures;
        expected_ = rotor_at(rise);
        clean_ = clean_since_ != kNever && clean_since_ + us(100) <= rise;
      }
    };
    b.on_observe = [this] {
      if (pending_ && DecodedCaptures != decoded_before_) {
        pending_ = false;
        if (clean_) check_angle();
      }
    };
  }

  // The rotor's unwrapped angle at `t`, also before its last change of speed
  // (a capture is read up to a debounce after its period began).
  double rotor_at(Ticks t) const {
    const Segment& g = t >= segments_[1].since ? segments_[1] : segments_[0];
    const double dt = t >= g.since ? to_seconds(t - g.since) : -to_seconds(g.since - t);
    return g.angle + g.speed * dt;
  }

  void mix(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      report_.digest ^= (v >> (8 * i)) & 0xFFu;
      report_.digest *= 0x100000001B3ull;
    }
  }

  void frame(Ticks start) {
    ++report_.frames;
    if (have_frame_) {
      const Ticks gap = start - last_frame_;
      report_.max_gap = std::max(report_.max_gap, gap);
      const bool explained = last_key_entry_ != kNever && last_key_entry_ > last_frame_;
      if (!explained) {
        report_.max_gap_unexplained = std::max(report_.max_gap_unexplained, gap);
        if (gap > ms(5) + kFrameSlack) {
          ++report_.gaps_over_5ms;
          if (report_.gaps_over_5ms <= 5) {
            std::fprintf(stderr, "soak: %.3f us between frames at %.6f s\n", to_us(gap), to_seconds(start));
          }
        }
      }
    }
    have_frame_ = true;
    last_frame_ = start;
  }

  void check_angle() {
    const double scale = std::fmod(std::fmod(expected_ + 40.0, 360.0) + 360.0, 360.0);
    // The scale's bottom reads as 1.4 degrees; a rotor just below the wrap
    // may have crossed it by the time the sensor sampled (a capture read
    // late carries a later period).
    if (scale >= kBottomOfScale && scale <= 360.0 - kNearWrap) {
      ++report_.angle_checks;
      const double error = std::fabs(in_turn(static_cast<double>(NowPithchAngle) - expected_));
      report_.worst_angle_error = std::max(report_.worst_angle_error, error);
      if (error > 1.0) {
        if (++report_.angle_misses <= 5) {
          std::fprintf(stderr, "soak: decoded %.3f, rotor %.3f at %.6f s\n", static_cast<double>(NowPithchAngle),
                       std::fmod(expected_, 360.0), to_seconds(board().now()));
        }
      }
    }
    const double offset = static_cast<double>(AbPitchAngle) - expected_;
    if (have_offset_ && std::fabs(offset - offset_) > 180.0) {
      if (unclean_spells_ == spells_at_offset_) {
        ++report_.turn_slips;
      } else {
        ++report_.turn_resyncs;
      }
    }
    have_offset_ = true;
    offset_ = offset;
    spells_at_offset_ = unclean_spells_;
  }

  // The events of the second that starts at `second`, then the planner of
  // the next one.
  void plan(std::uint64_t second) {
    Board& b = board();
    const Ticks base = second * kTicksPerSecond;
    auto when = [&] { return base + ticks_of_seconds(random_.unit()); };
    // Rotor: a new speed now and then, a stop one time in five.
    for (int n = 0; n < 2; ++n) {
      if (!random_.chance(0.5)) continue;
      const double speed = random_.chance(0.2) ? 0.0 : random_.uniform(-kMaxSpeed, kMaxSpeed);
      b.at(when(), [this, &b, speed] {
        segments_[0] = segments_[1];
        segments_[1] = {b.now(), rotor_at(b.now()), speed};
        b.rotor().set(segments_[1].angle, speed, b.now());
      });
    }
    if (random_.chance(0.3)) {
      const Key key = random_.chance(0.5) ? Key::kRaise : Key::kLower;
      keys_->click(key, std::max<Ticks>(when(), ms(1)), ticks_of_seconds(random_.uniform(0.02, 0.2)));
      ++report_.presses;
    }
    if (random_.chance(0.1)) station_->flood(when(), ticks_of_seconds(random_.uniform(0.02, 0.3)), random_.next());
    // One and a half faults a second on average, 5 to 400 ms each.
    const int count = static_cast<int>(random_.below(4));
    for (int n = 0; n < count; ++n) {
      Fault f;
      f.kind = static_cast<FaultKind>(random_.below(kFaultKinds.size()));
      if (f.kind == FaultKind::kCrystalFails) f.kind = FaultKind::kPwmRunt;  // start-up only: not in a soak
      f.percent = f.kind == FaultKind::kPwmFrequency ? random_.uniform(-25.0, 25.0) : random_.uniform(1.0, 100.0);
      f.width_us = random_.log_uniform(0.2, 50.0);
      f.rate_hz = f.kind == FaultKind::kKeyChatter ? random_.log_uniform(5.0, 200.0) : random_.log_uniform(10.0, 2000.0);
      f.bounce_ms = random_.uniform(0.5, 9.0);
      f.key = random_.chance(0.5) ? Key::kRaise : Key::kLower;
      f.seed = random_.next();
      const Ticks from = std::max<Ticks>(when(), 1);
      const Ticks length = ticks_of_seconds(random_.uniform(0.005, 0.4));
      faults_->schedule(f, from, from + length);
      // Line disturbances show only on bytes that come in.
      if (f.kind == FaultKind::kUsartNoise || f.kind == FaultKind::kUsartFraming) station_->flood(from, length, f.seed);
    }
    b.at(base + kTicksPerSecond, [this, second] { plan(second + 1); });
  }

  void finish(Board& b) {
    const auto& stop = b.stop_info();
    report_.virtual_s = to_seconds(b.now());
    report_.bad_frames = decoder_.bad_frames();
    report_.fault_events = faults_->events();
    report_.flood_bytes = station_->bytes_sent();
    const auto& s = b.usart(3).stats();
    report_.serial_errors = s.noise_errors + s.framing_errors;
    report_.stalled = stop.stalled;
    report_.stopped_in_handler = stop.stopped_in_handler;
    report_.handler = stop.handler;
    for (int e = 3; e <= 6; ++e) {  // HardFault, MemManage, BusFault, UsageFault
      if (b.handler_entries(e) != 0) report_.stopped_in_handler = true;
    }
    b.on_exception_entry = nullptr;
    b.on_observe = nullptr;
    station_->on_byte = nullptr;
    faults_.reset();
    b.reset();
  }

  struct Segment {
    Ticks since;
    double angle;
    double speed;
  };
  std::array<Segment, 2> segments_{};  // the rotor before and since its last change of speed
  SoakOptions options_;
  Random random_;
  SoakReport report_{};
  std::unique_ptr<Faults> faults_;
  SensorPwm* pwm_ = nullptr;
  Keys* keys_ = nullptr;
  GroundStation* station_ = nullptr;
  telemetry::SensorFrameDecoder decoder_;
  std::uint64_t bytes_ = 0;
  Ticks frame_start_ = 0;
  bool have_frame_ = false;
  Ticks last_frame_ = 0;
  Ticks last_key_entry_ = kNever;
  Ticks clean_since_ = 0;
  std::uint64_t unclean_spells_ = 0;
  bool pending_ = false;
  std::uint32_t decoded_before_ = 0;
  double expected_ = 0.0;
  bool clean_ = false;
  bool have_offset_ = false;
  double offset_ = 0.0;
  std::uint64_t spells_at_offset_ = 0;
};

}  // namespace

SoakReport soak(const SoakOptions& options) { return Soak(options).run(); }

std::string SoakReport::summary() const {
  std::ostringstream o;
  char line[160];
  auto put = [&](const char* format, auto... v) {
    std::snprintf(line, sizeof line, format, v...);
    o << line << '\n';
  };
  put("virtual time          %.1f s", virtual_s);
  put("frames                %llu (%llu refused)", static_cast<unsigned long long>(frames),
      static_cast<unsigned long long>(bad_frames));
  put("max gap               %.3f ms (%.3f ms with no key interrupt in it; %llu over 5.15 ms)", to_us(max_gap) / 1000.0,
      to_us(max_gap_unexplained) / 1000.0, static_cast<unsigned long long>(gaps_over_5ms));
  put("key interrupts        %llu (%llu presses)", static_cast<unsigned long long>(key_interrupts),
      static_cast<unsigned long long>(presses));
  put("angle checks          %llu, worst %.3f degrees, %llu over 1 degree", static_cast<unsigned long long>(angle_checks),
      worst_angle_error, static_cast<unsigned long long>(angle_misses));
  put("turn slips            %llu on a clean line, %llu re-syncs after a line without an angle",
      static_cast<unsigned long long>(turn_slips), static_cast<unsigned long long>(turn_resyncs));
  put("faults applied        %llu (%llu runts, dropouts and spikes)", static_cast<unsigned long long>(faults_applied),
      static_cast<unsigned long long>(fault_events));
  o << "  by kind           ";
  for (const auto& k : kFaultKinds) {
    const auto n = faults_of_kind[static_cast<std::size_t>(k.kind)];
    if (n) o << ' ' << k.name << ' ' << n;
  }
  o << '\n';
  put("serial bytes in      %llu (%llu with NE or FE)", static_cast<unsigned long long>(flood_bytes),
      static_cast<unsigned long long>(serial_errors));
  put("stall                %s", stalled ? "yes" : "no");
  put("fault handler        %s", stopped_in_handler ? (handler.empty() ? "entered" : handler.c_str()) : "no");
  put("digest               %016llx", static_cast<unsigned long long>(digest));
  return o.str();
}

}  // namespace vboard
