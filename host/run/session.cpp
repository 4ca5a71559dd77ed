#include "session.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "as5048a.h"
#include "board_time.h"
#include "gain_writer.h"
#include "global_variable.h"
#include "stop_signal.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/faults/faults.h"
#include "vboard/parts/ground_station.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/rotor.h"

namespace run {

using vboard::Ticks;

Session::Session(const Scenario& scenario, const vboard::MotorParams& motor, const Gains& gains, SessionOptions options)
    : s_(scenario), options_(std::move(options)), board_(vboard::board()), sampler_(board_, latest_) {
  set_up(s_, motor);
  observe_heartbeat();
  observe_telemetry();
  observe_works();
  periods_.attach(board_);
  if (!s_.setpoints.empty()) {
    periods_.profile = [entries = s_.setpoints](double t) { return setpoint_profile(entries, t); };
  }
  sampler_.start(ticks_of(s_.sample_interval_s), end(),
                 scripted_ ? std::optional<double>(options_.rotor_speed_dps) : std::nullopt);
  vboard::write_gains_after_reset(board_, {gains.kp, gains.ki, gains.kd}, [this](Ticks t) {
    say(t, "gains written: Kp %g, Ki %g, Kd %g", static_cast<double>(MotorAPosition.Kp),
        static_cast<double>(MotorAPosition.Ki), static_cast<double>(MotorAPosition.Kd));
  });
}

// A session that did not finish leaves no action of its own on the board.
Session::~Session() {
  if (!finished_) board_.reset();
}

void Session::set_up(const Scenario& s, const vboard::MotorParams& motor) {
  vboard::BoardConfig config;
  config.crystal_fails = s.crystal_fails;
  config.motor = motor;
  board_.reset(config);
  faults_ = std::make_unique<vboard::Faults>(board_);
  schedule_scenario(board_, *faults_, s, options_.events);
  // The motor's shaft stands where the sensor reads the start angle; a
  // rotor speed asks for the scripted rotor under the sensor instead.
  auto& drive = board_.motor_drive();
  drive.set_shaft_angle(vboard::shaft_angle_rad(s.start_angle_deg, drive.wiring(), motor.pole_pairs));
  if (options_.rotor_speed_dps != 0.0) board_.rotor().set(s.start_angle_deg, options_.rotor_speed_dps, 0);
  scripted_ = board_.rotor().forced();
  // The loss-of-control watch compares the shaft with the loop's setpoint.
  drive.set_setpoint_source([] { return static_cast<double>(MotorAPosition.Des); });
  for (const auto& l : s.loads) {
    const Ticks at = ticks_of(l.at_s);
    drive.set_load_torque(at, l.torque_nm);
    if (telling()) board_.at(at, [this, at, nm = l.torque_nm] { say(at, "load torque %g N m", nm); });
  }
  station_ = &board_.ground_station();
  keys_ = board_.find<vboard::Keys>();
}

void Session::observe_heartbeat() {
  bool started = false;
  board_.gpio('A').observe([this, started](int pin, bool level, Ticks t) mutable {
    if (pin != 6) return;
    if (!started) {
      started = true;  // the LED set-up drives it high
      return;
    }
    ++toggles_;
    if (options_.verbose) say(t, "heartbeat LED PA6 %s", level ? "on" : "off");
  }, 1u << 6);  // the heartbeat LED only: PA0..PA2's edges stay unscheduled
}

// Telemetry, decoded from the bytes the ground station hears; the angle and
// setpoint are followed across the wire's 16-bit range.
void Session::observe_telemetry() {
  const bool frames = options_.verbose && options_.frames;
  station_->set_recording(false);
  station_->on_byte = [this, frames](const vboard::GroundStation::Heard& byte) {
    auto frame = decoder_.feed(static_cast<std::uint8_t>(byte.value));
    if (!frame) return;
    latest_.any = true;
    latest_.wire_angle = frame->angle_deg();
    latest_.wire_setpoint = frame->setpoint_deg();
    latest_.angle = frame->angle_unwrapped_deg();
    latest_.setpoint = frame->setpoint_unwrapped_deg();
    if (frames) {
      say(byte.end, "frame  angle %9.2f deg  setpoint %8.2f deg%s", latest_.wire_angle, latest_.wire_setpoint,
          frame->unwrapped ? "  (unwrapped below)" : "");
      if (frame->unwrapped) say(byte.end, "       unwrapped %9.2f deg  setpoint %8.2f deg", latest_.angle, latest_.setpoint);
    }
    if (on_frame) on_frame(seconds_of(byte.end), *frame);
  };
}

// The main loop's works, the outcome of each encoder read, and the end of
// the start-up.
void Session::observe_works() {
  works_.attach(board_);
  works_.on_run = [this](vboard::Work w, Ticks t) {
    if (w != vboard::Work::k100ms) return;
    const vboard::hw::PinRow& status = vboard::hw::pin("status LED");
    const bool led = board_.gpio(status.port).level(status.pin);
    const char* outcome;
    if (!led) {
      ++reads_error_;
      outcome = "sensor error flag: cleared, count 0";
    } else if (error_flag != 0) {
      ++reads_parity_;
      outcome = "parity error";
    } else {
      ++reads_ok_;
      outcome = "ok";
    }
    if (options_.verbose) say(t, "encoder read  %s (sensor at %.2f deg)", outcome, board_.rotor().sensor_angle(t));
  };
  board_.on_exception_entry = [this](int exception, Ticks t) {
    if (exception == vboard::kExcIrq0 + TIM6_DAC_IRQn && start_done_ == 0) {
      start_done_ = t;
      if (options_.verbose) say(t, "start-up done: first scheduler tick");
    }
  };
}

RunFigures Session::figures(StepPeak peak) const {
  RunFigures f = series_figures(series(), s_.loads, peak);
  constexpr double kTelemetryLagS = 0.02;
  std::erase_if(f.steps, [this](const StepFigures& step) { return setpoint_moving(s_.setpoints, step.at_s, kTelemetryLagS); });
  return f;
}

Ticks Session::end() const { return ticks_of(s_.duration_s); }

bool Session::stop_requested() const { return options_.stop ? options_.stop() : run::stop_requested(); }

void Session::run(const std::function<void(double)>& slice_done) {
  begin();
  const Ticks last = end();
  for (Ticks done = 0; done < last && !stop_requested();) {
    done = std::min(last, done + vboard::ms(100));
    if (!advance(done)) break;
    if (slice_done) slice_done(seconds_of(done));
    if (lost_control()) break;  // reported in the summary, not run on
  }
  finish();
}

void Session::begin() {
  wall_start_ = std::chrono::steady_clock::now();
  board_.power_on();
}

bool Session::advance(Ticks to) {
  try {
    board_.run_until(to);
    return true;
  } catch (const vboard::MotorTooSlow& e) {
    failure_ = e.what();
    return false;
  }
}

void Session::finish() {
  take_summary();
  board_.reset();  // ends the firmware's thread
  finished_ = true;
  // Nothing is heard after the reset: the decoder's counts are final.
  RunSummary& r = summary_;
  r.frames_decoded = decoder_.good_frames();
  r.bad_frames = decoder_.bad_frames();
  r.garbage_bytes = decoder_.garbage_bytes();
  r.angle_wraps = decoder_.angle_wraps();
  r.setpoint_wraps = decoder_.setpoint_wraps();
}

void Session::take_summary() {
  RunSummary& r = summary_;
  r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start_).count();
  r.interrupted = stop_requested();
  r.stopped_at = board_.now();
  r.frames_sent = works_.runs(vboard::Work::k5ms);
  for (std::size_t w = 0; w < 3; ++w) r.work_runs[w] = works_.runs(static_cast<vboard::Work>(w));
  r.bytes_from_station = station_->bytes_sent();
  r.usart_rx = board_.usart(3).stats();
  r.interrupts = board_.interrupts_taken();
  r.stop = board_.stop_info();
  if (scripted_) r.stop.lost_control = false;
  r.gap_count = board_.gap_count();
  if (r.gap_count != 0) r.gap_report = board_.gap_report();
  r.final_setpoint = MotorAPosition.Des;
  r.final_angle = AbPitchAngle;
  if (failure_.empty()) {
    // Where the shaft is, in the sensor's sense, and how fast it turns.
    auto& drive = board_.motor_drive();
    r.final_shaft = scripted_ ? board_.rotor().unwrapped(r.stopped_at) : drive.sensor_unwrapped_deg();
    r.final_speed_dps = scripted_ ? options_.rotor_speed_dps : drive.motor().speed_rad_s() * 180.0 / 3.141592653589793;
  }
  r.failure = failure_;
  r.start_done = start_done_;
  r.toggles = toggles_;
  r.reads_ok = reads_ok_;
  r.reads_parity = reads_parity_;
  r.reads_error = reads_error_;
}

std::size_t Session::presses_waiting(KeyName key) const {
  const Ticks free = key_free_[static_cast<std::size_t>(key)];
  return free > board_.now() ? static_cast<std::size_t>((free - board_.now()) / kPressSpacing) : 0;
}

void Session::press(KeyName key, const char* from) {
  constexpr Ticks kHold = vboard::ms(80);  // a firm press
  Ticks& free = key_free_[static_cast<std::size_t>(key)];
  const Ticks at = std::max(board_.now(), free);
  keys_->click(board_key(key), at, kHold);
  free = at + kPressSpacing;
  say(at, "key %s pressed (%s)", key_label(key), from);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose (see the declaration).
void Session::say(Ticks t, const char* format, ...) const {
  if (!options_.events) return;
  char line[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof line) {
    options_.events(t, line);
    return;
  }
  std::string longer(static_cast<std::size_t>(n) + 1, '\0');
  va_start(args, format);
  (void)std::vsnprintf(longer.data(), longer.size(), format, args);  // the length is known from the first pass
  va_end(args);
  longer.resize(static_cast<std::size_t>(n));
  options_.events(t, longer);
}

}  // namespace run
