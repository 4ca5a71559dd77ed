// Runs the motor controller firmware on the virtual board, in virtual time,
// and reports what it does: a short summary and the step response of each
// setpoint step (every frame, heartbeat and encoder read with --verbose). On
// request it records the time series as CSV and draws it, sweeps the
// position loop's gains, or runs paced to the wall clock with USART3 on a
// pseudo-terminal and a live page.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "as5048a.h"
#include "device.h"
#include "gain_writer.h"
#include "input_checks.h"
#include "global_variable.h"
#include "live_server.h"
#include "progress.h"
#include "run_options.h"
#include "scenario.h"
#include "sensor_frame.h"
#include "serve_address.h"
#include "series.h"
#include "step_metrics.h"
#include "stop_signal.h"
#include "vboard/parts/as5048a.h"
#include "vboard/board/board.h"
#include "vboard/faults/faults.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/gpio.h"
#include "vboard/parts/ground_station.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/rotor.h"
#include "vboard/plant/motor.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/chip/usart.h"
#include "work_monitor.h"
// Last: it brings in <termios.h>, whose CR1..CR3 macros would hide the
// register names the board's headers use.
#include "run_live.h"

namespace {

using vboard::Ticks;

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();  // not measured on this board
// Presses from the page that may wait their turn (100 ms each, per key):
// a second of pressing; more are refused, not queued for minutes.
constexpr std::size_t kMaxWaitingPresses = 10;
constexpr std::uint64_t kInputBacklog = 50'000;  // bytes: a second of USART3 at 500000 baud
constexpr int kUqColumn = 7;                 // in run::run_columns()
constexpr int kIaColumn = 11;                // ia, ib, ic follow
constexpr double kRadPerSToRpm = 60.0 / (2.0 * 3.141592653589793);

// Times are at most run::kMaxSeconds, so the product stays far inside 64 bits.
Ticks ticks_of(double seconds) {
  return static_cast<Ticks>(std::llround(seconds * static_cast<double>(vboard::kTicksPerSecond)));
}
double seconds_of(Ticks t) { return vboard::to_ms(t) / 1000.0; }

vboard::Key board_key(run::KeyName key) { return key == run::KeyName::kUp ? vboard::Key::kRaise : vboard::Key::kLower; }
const char* key_label(run::KeyName key) { return key == run::KeyName::kUp ? "up (PC7)" : "down (PC8)"; }

// PWM compare over auto-reload of the phase timer TIM5 (centre-aligned),
// read as a debugger would.
double duty(const vboard::Board& board, std::uintptr_t ccr_offset) {
  const double arr = board.peek(TIM5_BASE + offsetof(TIM_TypeDef, ARR));
  return arr > 0 ? board.peek(TIM5_BASE + ccr_offset) / arr : 0.0;
}

vboard::PidGains pid_gains(const run::Gains& g) { return {g.kp, g.ki, g.kd}; }

// Event lines on stdout. On a terminal they share the screen with the
// progress line on stderr, which is cleared first so that no line is
// printed into it.
class Events {
 public:
  Events(bool on, run::Progress* progress) : on_(on), progress_(progress) {}
  bool on() const { return on_; }
  // NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute has the compiler check each call.
  void operator()(Ticks t, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    if (!on_) return;
    if (progress_) progress_->hide();
    std::printf("%10.3f ms  ", vboard::to_ms(t));
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

 private:
  bool on_;
  run::Progress* progress_;
};

// Puts what the scenario asks of the board into its event queue: key
// presses, the catalogue's faults with their start and end, serial floods.
void apply(vboard::Board& board, vboard::Faults& faults, const run::Scenario& s, Events& say) {
  auto* keys = board.find<vboard::Keys>();
  auto& station = board.ground_station();

  for (const auto& p : s.presses) {
    const Ticks at = ticks_of(p.at_s);
    keys->click(board_key(p.key), at, ticks_of(p.hold_s));
    if (say.on()) {
      const char* note = p.hold_s < run::kKeyDebounceS ? " (released within the debounce: not registered)" : "";
      board.at(at, [p, at, note, &say] { say(at, "key %s pressed%s", key_label(p.key), note); });
    }
  }
  std::uint64_t seed = 1;
  for (const auto& f : s.faults) {
    const vboard::Fault fault{.kind = f.kind,
                              .percent = f.percent,
                              .width_us = f.width_s * 1e6,
                              .rate_hz = f.rate_hz,
                              .bounce_ms = f.bounce_s * 1e3,
                              .key = board_key(f.key),
                              .seed = seed++};
    // Faults present from power-on are set before the firmware starts.
    faults.schedule(fault, f.from_s == 0.0 ? 0 : ticks_of(f.from_s), f.until_s ? ticks_of(*f.until_s) : vboard::kNever);
  }
  if (say.on()) {
    faults.on_change = [&say](const vboard::Fault& f, bool on, Ticks at) {
      if (at > 0) say(at, "fault %s %s", run::fault_name(f.kind), on ? "on" : "off");
    };
  }
  for (const auto& f : s.floods) station.flood(ticks_of(f.at_s), ticks_of(f.length_s), 1);
}

// The scenario's motor: its preset with the scenario's fields on top,
// checked; nothing when the name or a value is refused (said in `error`).
std::optional<vboard::MotorParams> scenario_motor(const run::Scenario& s, std::string& error) {
  auto at = [](const std::string& where) { return where.empty() ? where : where + ": "; };
  vboard::MotorParams p;
  try {
    p = vboard::motor_preset(s.motor);
  } catch (const std::invalid_argument& e) {
    error = at(s.motor_preset_where) + "motor.preset: " + e.what();
    return std::nullopt;
  }
  const auto& m = s.motor_overrides;
  auto put = [](auto& field, const auto& value) {
    if (value) field = *value;
  };
  put(p.pole_pairs, m.pole_pairs);
  put(p.phase_resistance_ohm, m.phase_resistance_ohm);
  put(p.phase_inductance_h, m.phase_inductance_h);
  put(p.torque_constant_nm_per_a, m.torque_constant_nm_per_a);
  put(p.inertia_kg_m2, m.inertia_kg_m2);
  put(p.viscous_nm_s_per_rad, m.viscous_nm_s_per_rad);
  put(p.coulomb_friction_nm, m.coulomb_friction_nm);
  put(p.breakaway_torque_nm, m.breakaway_torque_nm);
  put(p.cogging_torque_nm, m.cogging_torque_nm);
  put(p.supply_v, m.supply_v);
  try {
    p.validate();
  } catch (const std::invalid_argument& e) {
    error = at(s.motor_where) + "motor: " + e.what();
    return std::nullopt;
  }
  return p;
}

// The live side of a paced run: the pty, the terminal's keys, the page.
struct LiveIo {
  std::unique_ptr<live::PtyLine> pty;
  std::unique_ptr<live::TerminalKeys> keys;
  std::unique_ptr<station::LiveServer> server;
  std::mutex pressed_mutex;
  std::vector<run::KeyName> pressed;  // from the page's buttons, taken by the run loop
  std::array<std::size_t, 2> waiting{};  // per key: presses taken but not yet begun on the board
};

// One run of the firmware from reset, with everything it observes.
class Session {
 public:
  Session(const run::RunOptions& opt, const vboard::MotorParams& motor, const run::Gains& gains, Events& say,
          bool verbose)
      : opt_(opt), s_(opt.scenario), say_(say), verbose_(verbose), board_(vboard::board()) {
    vboard::BoardConfig config;
    config.crystal_fails = s_.crystal_fails;
    config.motor = motor;
    board_.reset(config);
    faults_ = std::make_unique<vboard::Faults>(board_);
    apply(board_, *faults_, s_, say_);
    // The motor's shaft stands where the sensor reads the start angle; a
    // rotor speed asks for the scripted rotor under the sensor instead.
    auto& drive = board_.motor_drive();
    drive.set_shaft_angle(vboard::shaft_angle_rad(s_.start_angle_deg, drive.wiring(), motor.pole_pairs));
    if (opt.rotor_speed_dps != 0.0) board_.rotor().set(s_.start_angle_deg, opt.rotor_speed_dps, 0);
    scripted_ = board_.rotor().forced();
    // The loss-of-control watch compares the shaft with the loop's setpoint.
    drive.set_setpoint_source([] { return static_cast<double>(MotorAPosition.Des); });
    for (const auto& l : s_.loads) {
      const Ticks at = ticks_of(l.at_s);
      board_.motor_drive().set_load_torque(at, l.torque_nm);
      if (say_.on()) board_.at(at, [this, at, nm = l.torque_nm] { say_(at, "load torque %g N m", nm); });
    }
    station_ = &board_.ground_station();
    keys_ = board_.find<vboard::Keys>();
    observe();
    vboard::write_gains_after_reset(board_, pid_gains(gains), [this](Ticks t) {
      say_(t, "gains written: Kp %g, Ki %g, Kd %g", static_cast<double>(MotorAPosition.Kp),
           static_cast<double>(MotorAPosition.Ki), static_cast<double>(MotorAPosition.Kd));
    });
  }

  // Runs to the scenario's end, as fast as the board goes, in slices
  // between which the progress line is drawn and a stop request is seen.
  void run(run::Progress& progress) {
    begin();
    const Ticks end = ticks_of(s_.duration_s);
    try {
      for (Ticks done = 0; done < end && !run::stop_requested();) {
        done = std::min(end, done + vboard::ms(100));
        board_.run_until(done);
        progress.update(seconds_of(done));
        if (lost_control()) break;  // reported in the summary, not run on
      }
    } catch (const vboard::MotorTooSlow& e) {
      failure_ = e.what();
    }
    finish();
  }

  // Runs paced to the wall clock, with the pty, the terminal's keys and the
  // live page, until the scenario's end or a stop request.
  void run_paced(run::Progress& progress, LiveIo& io) {
    if (io.pty) station_->on_byte = chain(station_->on_byte, [&io](const vboard::GroundStation::Heard& b) {
      io.pty->queue(static_cast<std::uint8_t>(b.value));
    });
    begin();
    const Ticks end = ticks_of(s_.duration_s);
    const auto wall_start = std::chrono::steady_clock::now();
    auto last_status = wall_start;
    std::uint64_t frames_at_status = 0;
    Ticks time_at_status = 0;
    double fps = 0.0;  // frames per second of virtual time, over the last status period
    try {
      while (board_.now() < end && !run::stop_requested() && !lost_control()) {
        // Bytes written into the pty queue up for USART3's receive side at
        // line rate; beyond a second's worth they are left in the pty, so a
        // writer faster than the line is held back there instead of filling
        // memory.
        const std::uint64_t backlog = station_->bytes_queued();
        const bool room = backlog < kInputBacklog;
        live::wait_for_input({io.pty && room ? io.pty->fd() : -1, io.keys && io.keys->active() ? STDIN_FILENO : -1},
                             std::chrono::milliseconds(1));
        // What came in while the board waited goes in at the present virtual time.
        if (io.pty && room) {
          const auto in = io.pty->take_input(kInputBacklog - backlog);
          if (!in.empty()) station_->send(in, board_.now());
        }
        if (io.keys) {
          for (const char c : io.keys->take()) {
            if (c == 'u' || c == 'U') press(run::KeyName::kUp, "terminal");
            if (c == 'd' || c == 'D') press(run::KeyName::kDown, "terminal");
          }
        }
        {
          // Taken and counted in one go, so the page's bound sees every press.
          std::lock_guard lock(io.pressed_mutex);
          for (const auto k : io.pressed) press(k, "live page");
          io.pressed.clear();
          for (const auto k : {run::KeyName::kUp, run::KeyName::kDown}) io.waiting[static_cast<std::size_t>(k)] = presses_waiting(k);
        }
        const auto now = std::chrono::steady_clock::now();
        const Ticks allowed = std::min(end, ticks_of(std::chrono::duration<double>(now - wall_start).count()));
        if (allowed > board_.now()) board_.run_until(allowed);
        if (io.pty) io.pty->flush();
        if (io.server && now - last_status >= std::chrono::milliseconds(250)) {
          const double span = seconds_of(board_.now() - time_at_status);
          if (span > 0) fps = static_cast<double>(decoder_.good_frames() - frames_at_status) / span;
          io.server->publish_status(status_json(board_.now(), fps, false, io.server->dropped()));
          last_status = now;
          frames_at_status = decoder_.good_frames();
          time_at_status = board_.now();
        }
        char extra[96] = "";
        if (have_frame_) std::snprintf(extra, sizeof extra, "  setpoint %.2f deg  angle %.2f deg", setpoint_, angle_);
        progress.update(seconds_of(board_.now()), extra);
      }
    } catch (const vboard::MotorTooSlow& e) {
      failure_ = e.what();
    }
    finish();
    if (io.server) io.server->publish_status(status_json(stopped_at_, fps, true, io.server->dropped()));
  }

  // Sends decoded frames to the live page as well.
  void feed(station::LiveServer& server) {
    on_frame_ = [&server](double t, const telemetry::SensorFrame& f) {
      server.publish({t, f.angle_unwrapped_deg(), f.setpoint_unwrapped_deg()});
    };
  }

  void print_summary(const std::string& csv_path) const;
  // The run's exit status so far: 1 when it could not go on, 3 after a loss of control.
  int status() const { return !failure_.empty() ? 1 : stop_.lost_control ? 3 : 0; }
  const std::string& failure() const { return failure_; }
  const run::Series& series() const { return series_; }
  bool series_full() const { return series_full_; }

  // The figures of each step, with the largest phase current (or |Uq|) in
  // the step as its peak.
  std::vector<run::StepFigures> steps(bool peak_uq = false) const {
    // From the samples that have a decoded frame, on the unwrapped view.
    std::vector<double> t, setpoint, angle;
    for (const auto& row : series_.rows) {
      if (std::isnan(row[3]) || std::isnan(row[4])) continue;
      t.push_back(row[0]);
      setpoint.push_back(row[3]);
      angle.push_back(row[4]);
    }
    std::vector<double> current;
    for (const auto& row : series_.rows) {
      if (std::isnan(row[3]) || std::isnan(row[4])) continue;
      current.push_back(peak_uq ? std::abs(row[kUqColumn]) : peak_current(row));
    }
    return run::step_figures(t, setpoint, angle, current);
  }

 private:
  // The motor ran away from the loop. Not with the scripted rotor under the
  // sensor: the loop then acts on the script, and the unseen motor on the
  // bridge runs as it may.
  bool lost_control() const { return !scripted_ && board_.stop_info().lost_control; }

  // The largest phase current magnitude of a row.
  static double peak_current(const std::vector<double>& row) {
    return std::max({std::abs(row[kIaColumn]), std::abs(row[kIaColumn + 1]), std::abs(row[kIaColumn + 2])});
  }

  template <typename F, typename G>
  static std::function<void(const vboard::GroundStation::Heard&)> chain(F first, G then) {
    return [first, then](const vboard::GroundStation::Heard& b) {
      if (first) first(b);
      then(b);
    };
  }

  void observe();
  void begin() {
    wall_start_ = std::chrono::steady_clock::now();
    board_.power_on();
  }
  void finish() {
    wall_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start_).count();
    interrupted_ = run::stop_requested();
    stopped_at_ = board_.now();
    frames_sent_ = works_.runs(vboard::Work::k5ms);
    for (std::size_t w = 0; w < 3; ++w) work_runs_[w] = works_.runs(static_cast<vboard::Work>(w));
    bytes_from_station_ = station_->bytes_sent();
    usart_rx_ = board_.usart(3).stats();
    interrupts_ = board_.interrupts_taken();
    stop_ = board_.stop_info();
    if (scripted_) stop_.lost_control = false;
    gap_count_ = board_.gap_count();
    if (gap_count_ != 0) gap_report_ = board_.gap_report();
    final_setpoint_ = MotorAPosition.Des;
    final_angle_ = AbPitchAngle;
    if (failure_.empty()) {
      // Where the shaft is, in the sensor's sense, and how fast it turns.
      auto& drive = board_.motor_drive();
      final_shaft_ = scripted_ ? board_.rotor().unwrapped(stopped_at_) : drive.sensor_unwrapped_deg();
      final_speed_dps_ = scripted_ ? opt_.rotor_speed_dps : drive.motor().speed_rad_s() * 180.0 / 3.141592653589793;
    }
    board_.reset();  // ends the firmware's thread
  }

  // Presses of `key` scheduled on the board that have not begun yet.
  std::size_t presses_waiting(run::KeyName key) const {
    const Ticks free = key_free_[static_cast<std::size_t>(key)];
    return free > board_.now() ? static_cast<std::size_t>((free - board_.now()) / kPressSpacing) : 0;
  }

  // A press typed while the last one of the same key is still held (or
  // bouncing on release) follows it, so that every press registers.
  static constexpr Ticks kPressSpacing = vboard::ms(100);
  void press(run::KeyName key, const char* from) {
    constexpr Ticks kHold = vboard::ms(80);  // a firm press
    Ticks& free = key_free_[static_cast<std::size_t>(key)];
    const Ticks at = std::max(board_.now(), free);
    keys_->click(board_key(key), at, kHold);
    free = at + kPressSpacing;
    say_(at, "key %s pressed (%s)", key_label(key), from);
  }

  std::string status_json(Ticks now, double fps, bool ended, std::uint64_t dropped) const {
    const char* state =
        ended ? (run::stop_requested() ? "stopped" : stop_.lost_control ? "lost control" : "run done") : "running";
    const nlohmann::ordered_json status = {{"source", "virtual board, USART3"},
                                   {"state", state},
                                   {"virtual_s", std::round(seconds_of(now) * 1000.0) / 1000.0},
                                   {"frames", decoder_.good_frames()},
                                   {"fps", std::round(fps)},
                                   {"bad_frames", decoder_.bad_frames()},
                                   {"garbage_bytes", decoder_.garbage_bytes()},
                                   {"bytes", decoder_.bytes_fed()},
                                   {"angle", wire_angle_},  // NaN (no frame yet) is written as null
                                   {"setpoint", wire_setpoint_},
                                   {"angle_unwrapped", angle_},
                                   {"angle_wraps", decoder_.angle_wraps()},
                                   {"dropped", dropped},
                                   {"ended", ended}};
    return status.dump();
  }

  const run::RunOptions& opt_;
  const run::Scenario& s_;
  Events& say_;
  bool verbose_;
  vboard::Board& board_;
  std::unique_ptr<vboard::Faults> faults_;
  vboard::GroundStation* station_ = nullptr;
  vboard::Keys* keys_ = nullptr;
  bool scripted_ = false;  // the sensor reads the scripted rotor, not the motor
  std::array<Ticks, 2> key_free_{};  // when each key may be pressed again
  vboard::WorkMonitor works_;
  telemetry::SensorFrameDecoder decoder_;
  std::function<void(double, const telemetry::SensorFrame&)> on_frame_;

  bool have_frame_ = false;
  double angle_ = kNone;  // unwrapped
  double setpoint_ = kNone;
  double wire_angle_ = kNone;  // as the frame carries it
  double wire_setpoint_ = kNone;
  std::uint64_t toggles_ = 0;
  std::uint64_t reads_ok_ = 0, reads_parity_ = 0, reads_error_ = 0;
  Ticks start_done_ = 0;
  run::Series series_;
  bool series_full_ = false;
  Ticks next_sample_ = 0;
  std::function<void()> sample_;

  std::chrono::steady_clock::time_point wall_start_{};
  double wall_ = 0.0;
  bool interrupted_ = false;
  Ticks stopped_at_ = 0;
  std::uint64_t frames_sent_ = 0;
  std::array<std::uint64_t, 3> work_runs_{};
  std::uint64_t bytes_from_station_ = 0;
  vboard::Usart::Stats usart_rx_{};
  std::uint64_t interrupts_ = 0;
  vboard::StopInfo stop_{};
  std::uint64_t gap_count_ = 0;
  std::string gap_report_;
  float final_setpoint_ = 0.0f;
  float final_angle_ = 0.0f;
  double final_shaft_ = kNone;
  double final_speed_dps_ = 0.0;
  std::string failure_;  // why the run could not go on; empty when it could
};

void Session::observe() {
  const bool frames = verbose_ && !opt_.no_frames;

  // The heartbeat LED.
  bool started = false;
  board_.gpio('A').observe([this, started](int pin, bool level, Ticks t) mutable {
    if (pin != 6) return;
    if (!started) {
      started = true;  // the LED set-up drives it high
      return;
    }
    ++toggles_;
    if (verbose_) say_(t, "heartbeat LED PA6 %s", level ? "on" : "off");
  }, 1u << 6);  // the heartbeat LED only: PA0..PA2's edges stay unscheduled

  // Telemetry, decoded from the bytes the ground station hears; the angle
  // and setpoint are followed across the wire's 16-bit range.
  station_->set_recording(false);
  station_->on_byte = [this, frames](const vboard::GroundStation::Heard& byte) {
    auto frame = decoder_.feed(static_cast<std::uint8_t>(byte.value));
    if (!frame) return;
    have_frame_ = true;
    wire_angle_ = frame->angle_deg();
    wire_setpoint_ = frame->setpoint_deg();
    angle_ = frame->angle_unwrapped_deg();
    setpoint_ = frame->setpoint_unwrapped_deg();
    if (frames) {
      say_(byte.end, "frame  angle %9.2f deg  setpoint %8.2f deg%s", wire_angle_, wire_setpoint_,
           frame->unwrapped ? "  (unwrapped below)" : "");
      if (frame->unwrapped) say_(byte.end, "       unwrapped %9.2f deg  setpoint %8.2f deg", angle_, setpoint_);
    }
    if (on_frame_) on_frame_(seconds_of(byte.end), *frame);
  };

  // The main loop's works, and the outcome of each encoder read.
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
    if (verbose_) say_(t, "encoder read  %s (sensor at %.2f deg)", outcome, board_.rotor().sensor_angle(t));
  };
  board_.on_exception_entry = [this](int exception, Ticks t) {
    if (exception == vboard::kExcIrq0 + TIM6_DAC_IRQn && start_done_ == 0) {
      start_done_ = t;
      if (verbose_) say_(t, "start-up done: first scheduler tick");
    }
  };

  // A row of the series every sample interval, taken by a board action that
  // schedules the next one: the firmware keeps running between samples.
  series_.names = run::run_columns();
  const Ticks interval = std::max<Ticks>(1, ticks_of(s_.sample_interval_s));
  const Ticks end = ticks_of(s_.duration_s);
  next_sample_ = interval;
  sample_ = [this, interval, end] {
    const Ticks now = board_.now();
    if (series_.rows.size() < run::kMaxRows) {
      auto& drive = board_.motor_drive();
      const vboard::Motor& m = drive.motor();
      const auto i = m.phase_currents_a();
      // Shaft angle and speed in the sensor's sense of rotation.
      const double shaft = scripted_ ? board_.rotor().unwrapped(now) : drive.sensor_unwrapped_deg();
      const double rpm = scripted_ ? opt_.rotor_speed_dps / 6.0
                                   : m.speed_rad_s() * drive.wiring().sensor_direction * kRadPerSToRpm;
      series_.rows.push_back({seconds_of(now), wire_setpoint_, wire_angle_, setpoint_, angle_, shaft,
                              setpoint_ - angle_, static_cast<double>(MotorAPark.Uq), duty(board_, offsetof(TIM_TypeDef, CCR1)),
                              duty(board_, offsetof(TIM_TypeDef, CCR2)), duty(board_, offsetof(TIM_TypeDef, CCR3)), i[0], i[1], i[2], m.electromagnetic_torque_nm(),
                              rpm});
    } else {
      series_full_ = true;
    }
    next_sample_ += interval;
    if (next_sample_ <= end) board_.at(next_sample_, sample_);
  };
  board_.at(next_sample_, sample_);
}

void Session::print_summary(const std::string& csv_path) const {
  const double seconds = seconds_of(stopped_at_);
  auto per_second = [&](std::uint64_t n) { return seconds > 0 ? static_cast<double>(n) / seconds : 0.0; };
  auto u = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
  std::printf("\nsummary: %.3f ms of virtual time in %.3f s of wall time (%.0f x real time)%s\n", vboard::to_ms(stopped_at_),
              wall_, wall_ > 0 ? seconds / wall_ : 0.0, interrupted_ ? ", interrupted" : "");
  if (gap_count_ != 0) std::fprintf(stderr, "unmodelled accesses: %llu\n%s", u(gap_count_), gap_report_.c_str());
  if (verbose_) {
    std::printf("  start-up                %.3f ms to the first scheduler tick\n", vboard::to_ms(start_done_));
    std::printf("  heartbeat LED toggles   %llu\n", u(toggles_));
    for (std::size_t w = 0; w < 3; ++w) {
      std::printf("  %-22s  %llu runs (%.1f per second)\n", vboard::kWorkNames[w], u(work_runs_[w]),
                  per_second(work_runs_[w]));
    }
    std::printf("  interrupts taken        %llu\n", u(interrupts_));
  }
  std::printf("  frames                  %llu sent, %llu decoded (bad frames %llu, garbage bytes %llu)\n", u(frames_sent_),
              u(decoder_.good_frames()), u(decoder_.bad_frames()), u(decoder_.garbage_bytes()));
  std::printf("  encoder reads           %llu ok, %llu parity errors, %llu sensor errors\n", u(reads_ok_),
              u(reads_parity_), u(reads_error_));
  if (verbose_ || bytes_from_station_ != 0) {
    std::printf("  bytes from the station  %llu (read by the firmware %llu, overruns %llu, missed with the receiver off %llu)\n",
                u(bytes_from_station_), u(usart_rx_.bytes_read), u(usart_rx_.overruns), u(usart_rx_.frames_missed));
  }
  std::printf("  setpoint                %.2f deg, absolute angle %.2f deg (firmware), shaft %.2f deg\n",
              static_cast<double>(final_setpoint_), static_cast<double>(final_angle_), final_shaft_);
  // The firmware's angle trails a turning shaft by up to a few sensor
  // periods: beyond a degree plus 10 ms of the shaft's turning, it is not
  // following the shaft.
  const double off = static_cast<double>(final_angle_) - final_shaft_;
  if (std::abs(off) > 1.0 + std::abs(final_speed_dps_) * 0.01) {
    std::printf("  the firmware's angle is %.2f deg off the shaft's: it does not see the shaft (a sensor fault, a cut "
                "wire)\n", off);
  }
  if (decoder_.angle_wraps() + decoder_.setpoint_wraps() > 0) {
    auto times = [](std::uint64_t n) { return n == 1 ? "time" : "times"; };
    std::printf("  telemetry unwrapped     past the frame's +-327.67 deg: setpoint crossed %llu %s, angle %llu %s;\n"
                "                          the step table%s follows both by continuity\n",
                u(decoder_.setpoint_wraps()), times(decoder_.setpoint_wraps()), u(decoder_.angle_wraps()),
                times(decoder_.angle_wraps()),
                csv_path.empty() ? "" : " (and the CSV's *_unwrapped_deg columns)");
  }
  if (stop_.stopped_in_handler) {
    std::printf("  processor stopped in %s since %.3f ms\n", stop_.handler.c_str(), vboard::to_ms(stop_.since));
  }
  if (stop_.stalled) {
    std::printf("  firmware stalled polling register 0x%08lx since %.3f ms\n",
                static_cast<unsigned long>(stop_.stalled_address), vboard::to_ms(stop_.since));
  }
  if (stop_.lost_control) {
    std::printf("  %s, at %.3f ms: the run stopped at the end of that 100 ms slice, %.3f ms\n",
                stop_.lost_control_reason.c_str(), vboard::to_ms(stop_.lost_control_at), vboard::to_ms(stopped_at_));
  }
  if (!failure_.empty()) std::printf("  the run could not go on: %s\n", failure_.c_str());
}

// Files asked for; false (after saying why) when one cannot be written.
bool write_files(const run::RunOptions& opt, const run::Series& series) {
  const std::string title = opt.scenario_path.empty() ? "vboard-run" : opt.scenario_path;
  bool ok = true;
  auto attempt = [&ok](const char* option, const std::function<void()>& write) {
    try {
      write();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "error: %s %s\n", option, e.what());
      ok = false;
    }
  };
  if (!opt.csv_path.empty()) {
    attempt("--csv", [&] {
      run::write_csv(opt.csv_path, series);
      std::printf("wrote %s (%zu samples)\n", opt.csv_path.c_str(), series.rows.size());
    });
  }
  if (!opt.plot_path.empty()) {
    attempt("--plot", [&] {
      // gnuplot draws from the CSV asked for, or from a private one.
      if (!opt.csv_path.empty() && ok) {
        run::write_plot(opt.plot_path, opt.csv_path, title);
      } else {
        run::write_plot_of(opt.plot_path, series, title);
      }
      std::printf("wrote %s\n", opt.plot_path.c_str());
    });
  }
  return ok;
}

int sweep(const run::RunOptions& opt, const vboard::MotorParams& motor) {
  std::vector<run::SweepRow> rows;
  std::vector<std::string> notes;
  bool failed = false;
  bool lost = false;
  std::size_t done = 0;
  Events quiet(false, nullptr);
  for (std::size_t i = 0; i < opt.sweep.size() && !run::stop_requested(); ++i) {
    const run::Gains& g = opt.sweep[i];
    run::Progress progress(opt.scenario.duration_s, !opt.quiet && isatty(STDERR_FILENO));
    Session session(opt, motor, g, quiet, false);
    session.run(progress);
    progress.finish();
    if (run::stop_requested()) break;  // a cut-short run would compare unfairly
    ++done;
    const auto steps = session.steps();
    const auto uq = session.steps(true);
    if (steps.empty()) rows.push_back({*g.kp, *g.ki, *g.kd, 0, {}, std::nullopt});
    for (std::size_t k = 0; k < steps.size(); ++k) rows.push_back({*g.kp, *g.ki, *g.kd, k + 1, steps[k], uq[k].peak_extra});
    char gains[96];
    std::snprintf(gains, sizeof gains, "%g,%g,%g", *g.kp, *g.ki, *g.kd);
    if (!session.failure().empty()) notes.push_back(std::string(gains) + ": the run could not go on: " + session.failure());
    if (session.status() == 3) notes.push_back(std::string(gains) + ": the motor ran out of control; the run stopped there");
    failed = failed || session.status() == 1;
    lost = lost || session.status() == 3;
  }
  std::printf("gain sweep, %zu run%s from reset, one row per setpoint step (telemetry angle, unwrapped):\n%s", done,
              done == 1 ? "" : "s", run::sweep_table(rows).c_str());
  for (const auto& n : notes) std::printf("  %s\n", n.c_str());
  if (done < opt.sweep.size()) std::printf("interrupted: %zu of %zu settings run\n", done, opt.sweep.size());
  return failed ? 1 : lost ? 3 : 0;
}

int run_main(int argc, char** argv) {
  run::install_stop_signals();
  run::RunOptions opt;
  if (auto code = run::parse_run_options(argc, argv, opt, std::cout, std::cerr)) return *code;
  std::string motor_error;
  const auto motor = scenario_motor(opt.scenario, motor_error);
  if (!motor) {
    std::fprintf(stderr, "error: %s\n", motor_error.c_str());
    return 2;
  }
  const run::MotorFigures figures{motor->stall_torque_nm(), motor->no_load_speed_rad_s() * 180.0 / 3.141592653589793,
                                  motor->supply_v};
  auto check = run::check_against_motor(opt.scenario, opt.rotor_speed_dps, figures);
  if (!check.error.empty()) {
    std::fprintf(stderr, "error: %s\n", check.error.c_str());
    return 2;
  }
  for (const auto& w : opt.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
  for (const auto& w : check.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
  if (!opt.sweep.empty()) return sweep(opt, *motor);

  // The live side of a paced run, set up before the board starts.
  LiveIo io;
  if (opt.pty) {
    io.pty = std::make_unique<live::PtyLine>();
    std::string error;
    if (!io.pty->open(error)) {
      std::fprintf(stderr, "error: --pty: %s\n", error.c_str());
      return 1;
    }
  }
  if (!opt.serve.empty()) {
    station::ServeAddress where;
    station::parse_serve(opt.serve, where);
    station::LiveServer::Options options;
    options.address = where.address;
    options.port = where.port;
    options.title = "Virtual board";
    io.server = std::make_unique<station::LiveServer>(options);
    for (const auto key : {run::KeyName::kUp, run::KeyName::kDown}) {
      io.server->add_action(run::key_name(key), key == run::KeyName::kUp ? "Up (PC7)" : "Down (PC8)",
                            [&io, key]() -> station::ActionReply {
                              std::lock_guard lock(io.pressed_mutex);
                              const auto waiting = static_cast<std::size_t>(std::count(io.pressed.begin(), io.pressed.end(), key)) +
                                                   io.waiting[static_cast<std::size_t>(key)];
                              if (waiting >= kMaxWaitingPresses)
                                return {std::string("key ") + key_label(key) + " not pressed: " + std::to_string(waiting) +
                                            " presses are already waiting (at most " + std::to_string(kMaxWaitingPresses) +
                                            ", one each 100 ms)",
                                        429};
                              io.pressed.push_back(key);
                              return {std::string("key ") + key_label(key) + " pressed"};
                            });
    }
    std::string error;
    if (!io.server->start(error)) {
      std::fprintf(stderr, "error: --serve %s: %s\n", opt.serve.c_str(), error.c_str());
      return 2;
    }
    std::fprintf(stderr, "live page at %s\n", io.server->url().c_str());
    std::fprintf(stderr, "scripts press its buttons with the header %s: %s\n", station::LiveServer::kTokenHeader,
                 io.server->token().c_str());
  }

  if (io.pty) {
    std::printf("USART3 on %s (500000 baud, 8N1)\n", io.pty->path().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "waiting for a program to open %s (e.g. groundstation %s); Ctrl-C ends\n",
                 io.pty->path().c_str(), io.pty->path().c_str());
    if (!io.pty->wait_for_reader()) {
      std::fprintf(stderr, "stopped before a program opened the line\n");
      return 0;
    }
  }

  const bool interactive = !opt.quiet && isatty(STDERR_FILENO);
  run::Progress progress(opt.until_interrupted ? 0.0 : opt.scenario.duration_s, interactive);
  Events say(!opt.quiet, &progress);
  Session session(opt, *motor, opt.scenario.gains, say, opt.verbose && !opt.quiet);
  if (io.server) session.feed(*io.server);
  if (opt.realtime) {
    io.keys = std::make_unique<live::TerminalKeys>();
    if (io.keys->active()) std::fprintf(stderr, "keys: u = up (PC7), d = down (PC8); Ctrl-C ends the run\n");
    session.run_paced(progress, io);
    if (io.pty) io.pty->drain(std::chrono::milliseconds(500));
    io.keys.reset();  // the terminal as it was
  } else {
    session.run(progress);
  }
  progress.finish();
  session.print_summary(opt.csv_path);
  if (io.pty && io.pty->bytes_dropped() != 0) {
    std::printf("  pty                     %llu bytes not taken by the reader (dropped)\n",
                static_cast<unsigned long long>(io.pty->bytes_dropped()));
  }

  const auto steps = session.steps();
  if (!steps.empty()) {
    std::printf("\nstep response (telemetry angle):\n%s", run::step_table(steps, "peak |i| A").c_str());
    std::printf("  time s: the press + 10 ms debounce + up to a 5 ms frame; peak |i|: largest phase current (--help)\n");
  }
  if (session.series_full()) std::printf("  the series holds the first %zu samples only\n", run::kMaxRows);
  const bool written = write_files(opt, session.series());
  if (io.server) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the page gets the final status
    io.server->stop();
  }
  return written ? session.status() : 1;
}

}  // namespace

// Anything thrown that the run did not expect ends it with a message, not an abort.
int main(int argc, char** argv) {
  try {
    return run_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vboard-run: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vboard-run: error: an unknown exception\n");
  }
  return 1;
}
