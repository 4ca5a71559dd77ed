// Runs the motor controller firmware on the virtual board, in virtual time,
// and reports what it does: the heartbeat, every telemetry frame the ground
// station decodes, the encoder reads, the key presses, a summary and the
// step response of each setpoint step. On request it records the time series
// as CSV and draws it.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "as5048a.h"
#include "global_variable.h"
#include "progress.h"
#include "run_options.h"
#include "scenario.h"
#include "sensor_frame.h"
#include "series.h"
#include "step_metrics.h"
#include "vboard/as5048a_model.h"
#include "vboard/board.h"
#include "vboard/gpio.h"
#include "vboard/ground_station.h"
#include "vboard/keys_model.h"
#include "vboard/motor_drive_model.h"
#include "work_monitor.h"
#include "vboard/sensor_pwm.h"

namespace {

using vboard::Ticks;

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();  // not measured on this board
constexpr std::size_t kMaxRows = 1'000'000;  // 112 MB of samples at most

// Times are at most run::kMaxSeconds, so the product stays far inside 64 bits.
Ticks ticks_of(double seconds) {
  return static_cast<Ticks>(std::llround(seconds * static_cast<double>(vboard::kTicksPerSecond)));
}

vboard::Key board_key(run::KeyName key) { return key == run::KeyName::kUp ? vboard::Key::kRaise : vboard::Key::kLower; }
const char* key_label(run::KeyName key) { return key == run::KeyName::kUp ? "up (PC7)" : "down (PC8)"; }

// PWM compare over auto-reload of the phase timer TIM5 (centre-aligned),
// read as a debugger would.
double duty(vboard::Board& board, std::uintptr_t ccr_offset) {
  constexpr std::uintptr_t kTim5 = 0x40000C00;
  const double arr = board.peek(kTim5 + 0x2C);
  return arr > 0 ? board.peek(kTim5 + ccr_offset) / arr : 0.0;
}

// Puts what the scenario asks of the board into its event queue: key
// presses, sensor faults with their start and end, serial floods.
void apply(vboard::Board& board, const run::Scenario& s, bool print_events) {
  auto* sensor = board.find<vboard::As5048a>();
  auto* pwm = board.find<vboard::SensorPwm>();
  auto* keys = board.find<vboard::Keys>();
  auto& station = vboard::GroundStation::of(board);

  for (const auto& p : s.presses) {
    const Ticks at = ticks_of(p.at_s);
    keys->click(board_key(p.key), at, ticks_of(p.hold_s));
    if (print_events) {
      const char* note = p.hold_s < run::kKeyDebounceS ? " (released within the debounce: not registered)" : "";
      board.at(at, [p, at, note] {
        std::printf("%10.3f ms  key %s pressed%s\n", vboard::to_ms(at), key_label(p.key), note);
      });
    }
  }
  const Ticks pwm_period = pwm->period();
  for (const auto& f : s.faults) {
    std::function<void(bool)> set;
    switch (f.kind) {
      case run::FaultKind::kNoSensor:
        set = [sensor, pwm](bool on) {
          sensor->set_absent(on);
          pwm->set_enabled(!on);
        };
        break;
      case run::FaultKind::kBadParity:
        set = [sensor](bool on) { sensor->set_bad_parity(on); };
        break;
      case run::FaultKind::kPwmCut:
        set = [pwm](bool on) { pwm->set_enabled(!on); };
        break;
      case run::FaultKind::kPwmFrequency: {
        const auto off = static_cast<Ticks>(std::llround(static_cast<double>(pwm_period) / (1.0 + f.percent / 100.0)));
        set = [pwm, off, pwm_period](bool on) { pwm->set_period(on ? off : pwm_period); };
        break;
      }
    }
    const char* name = run::fault_name(f.kind);
    auto change = [set, name, print_events](bool on, Ticks at) {
      if (print_events) std::printf("%10.3f ms  fault %s %s\n", vboard::to_ms(at), name, on ? "on" : "off");
      set(on);
    };
    // Faults present from power-on are set before the firmware starts.
    if (f.from_s == 0.0) {
      set(true);
    } else {
      const Ticks at = ticks_of(f.from_s);
      board.at(at, [change, at] { change(true, at); });
    }
    if (f.until_s) {
      const Ticks at = ticks_of(*f.until_s);
      board.at(at, [change, at] { change(false, at); });
    }
  }
  for (const auto& f : s.floods) station.flood(ticks_of(f.at_s), ticks_of(f.length_s), 1);
}

// What this board cannot act on yet is said, not silently dropped.
void note_unapplied(const run::Scenario& s) {
  const auto& m = s.motor_overrides;
  const bool motor = m.pole_pairs || m.phase_resistance_ohm || m.phase_inductance_h || m.torque_constant_nm_per_a ||
                     m.inertia_kg_m2 || m.viscous_nm_s_per_rad || m.coulomb_friction_nm || m.breakaway_torque_nm ||
                     m.cogging_torque_nm || m.supply_v;
  const bool gains = s.gains.kp || s.gains.ki || s.gains.kd;
  if (motor || !s.loads.empty() || gains) {
    std::fprintf(stderr, "note: the scenario's%s%s%s are not applied yet: the board runs the default motor and gains\n",
                 motor ? " motor parameters" : "", s.loads.empty() ? "" : " load steps", gains ? " gains" : "");
  }
}

}  // namespace

int main(int argc, char** argv) {
  run::RunOptions opt;
  if (auto code = run::parse_run_options(argc, argv, opt, std::cout, std::cerr)) return *code;
  for (const auto& w : opt.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
  const run::Scenario& scenario = opt.scenario;
  note_unapplied(scenario);
  const bool print_events = !opt.quiet;
  const bool print_frames = !opt.quiet && !opt.no_frames;
  const Ticks duration = ticks_of(scenario.duration_s);

  vboard::Board& board = vboard::board();
  vboard::BoardConfig config;
  config.crystal_fails = scenario.crystal_fails;
  board.reset(config);
  apply(board, scenario, print_events);
  // The motor's shaft stands where the sensor reads the start angle; a
  // rotor speed asks for the scripted rotor instead of the motor.
  auto& drive = board.motor_drive();
  drive.set_shaft_angle(vboard::shaft_angle_rad(scenario.start_angle_deg, drive.wiring(), drive.motor().params().pole_pairs));
  if (opt.rotor_speed_dps != 0.0) board.rotor().set(scenario.start_angle_deg, opt.rotor_speed_dps, 0);
  const bool scripted = board.rotor().forced();
  drive.set_setpoint_source([] { return static_cast<double>(MotorAPosition.Des); });
  auto& station = vboard::GroundStation::of(board);

  // The heartbeat LED.
  std::uint64_t toggles = 0;
  bool started = false;
  board.gpio('A').observe([&](int pin, bool level, Ticks t) {
    if (pin != 6) return;
    if (!started) {
      started = true;  // the LED set-up drives it high
      return;
    }
    ++toggles;
    if (print_events) std::printf("%10.3f ms  heartbeat LED PA6 %s\n", vboard::to_ms(t), level ? "on" : "off");
  }, 1u << 6);

  // Telemetry, decoded from the bytes the ground station hears.
  telemetry::SensorFrameDecoder decoder;
  double frame_angle = kNone;
  double frame_setpoint = kNone;
  station.set_recording(false);
  station.on_byte = [&](const vboard::GroundStation::Heard& byte) {
    if (auto frame = decoder.feed(static_cast<std::uint8_t>(byte.value))) {
      frame_angle = (*frame)[telemetry::kAx] / 100.0;
      frame_setpoint = (*frame)[telemetry::kAy] / 100.0;
      if (print_frames) {
        std::printf("%10.3f ms  frame  angle %9.2f deg  setpoint %8.2f deg\n", vboard::to_ms(byte.end), frame_angle,
                    frame_setpoint);
      }
    }
  };

  // The main loop's works, and the outcome of each encoder read.
  std::uint64_t reads_ok = 0;
  std::uint64_t reads_parity = 0;
  std::uint64_t reads_error = 0;
  vboard::WorkMonitor works;
  works.attach(board);
  works.on_run = [&](vboard::Work w, Ticks t) {
    if (w != vboard::Work::k100ms) return;
    const bool led = board.gpio('A').level(7);
    const char* outcome;
    if (!led) {
      ++reads_error;
      outcome = "sensor error flag: cleared, count 0";
    } else if (error_flag != 0) {
      ++reads_parity;
      outcome = "parity error";
    } else {
      ++reads_ok;
      outcome = "ok";
    }
    if (print_events) {
      std::printf("%10.3f ms  encoder read  %s (sensor at %.2f deg)\n", vboard::to_ms(t), outcome,
                  board.sensor_angle(t));
    }
  };
  Ticks start_done = 0;
  board.on_exception_entry = [&](int exception, Ticks t) {
    if (exception == 16 + 54 && start_done == 0) {
      start_done = t;
      if (print_events) std::printf("%10.3f ms  start-up done: first scheduler tick\n", vboard::to_ms(t));
    }
  };

  // A row of the series every sample interval, taken by a board action that
  // schedules the next one: the firmware keeps running between samples.
  run::Series series;
  series.names = run::run_columns();
  const Ticks interval = std::max<Ticks>(1, ticks_of(scenario.sample_interval_s));
  bool series_full = false;
  Ticks next_sample = interval;
  std::function<void()> sample = [&] {
    const Ticks now = board.now();
    if (series.rows.size() < kMaxRows) {
      const vboard::Motor& m = drive.motor();
      const auto i = m.phase_currents_a();
      // Shaft angle and speed in the sensor's sense of rotation.
      const double shaft = scripted ? board.rotor().unwrapped(now) : drive.sensor_unwrapped_deg();
      const double rpm = scripted ? opt.rotor_speed_dps / 6.0
                                  : m.speed_rad_s() * drive.wiring().sensor_direction * 60.0 / (2.0 * 3.141592653589793);
      series.rows.push_back({vboard::to_ms(now) / 1000.0, frame_setpoint, frame_angle, shaft, frame_setpoint - frame_angle,
                             static_cast<double>(MotorAPark.Uq), duty(board, 0x34), duty(board, 0x38), duty(board, 0x3C),
                             i[0], i[1], i[2], m.electromagnetic_torque_nm(), rpm});
    } else {
      series_full = true;
    }
    next_sample += interval;
    if (next_sample <= duration) board.at(next_sample, sample);
  };
  board.at(next_sample, sample);

  // The run, in slices of virtual time between which the progress line is drawn.
  run::Progress progress(scenario.duration_s, !opt.quiet && isatty(STDERR_FILENO));
  const auto wall_start = std::chrono::steady_clock::now();
  board.power_on();
  for (Ticks done = 0; done < duration;) {
    done = std::min(duration, done + vboard::ms(100));
    board.run_until(done);
    progress.update(vboard::to_ms(done) / 1000.0);
    if (board.stop_info().lost_control) break;  // reported below, not run on
  }
  progress.finish();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();

  const double seconds = vboard::to_ms(board.now()) / 1000.0;
  auto per_second = [&](std::uint64_t n) { return seconds > 0 ? static_cast<double>(n) / seconds : 0.0; };
  auto u = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
  std::printf("\nsummary: %.3f ms of virtual time in %.3f s of wall time (%.0f x real time)\n", vboard::to_ms(board.now()),
              wall, wall > 0 ? seconds / wall : 0.0);
  if (board.gap_count() != 0) {
    std::fprintf(stderr, "unmodelled accesses: %llu\n%s", static_cast<unsigned long long>(board.gap_count()),
                 board.gap_report().c_str());
  }
  std::printf("  start-up                %.3f ms to the first scheduler tick\n", vboard::to_ms(start_done));
  std::printf("  heartbeat LED toggles   %llu\n", u(toggles));
  for (std::size_t w = 0; w < 3; ++w) {
    const auto runs = works.runs(static_cast<vboard::Work>(w));
    std::printf("  %-22s  %llu runs (%.1f per second)\n", vboard::kWorkNames[w], u(runs), per_second(runs));
  }
  std::printf("  frames sent             %llu\n", u(works.runs(vboard::Work::k5ms)));
  std::printf("  frames decoded          %llu (bad frames %llu, garbage bytes %llu)\n", u(decoder.good_frames()),
              u(decoder.bad_frames()), u(decoder.garbage_bytes()));
  std::printf("  encoder reads           %llu ok, %llu parity errors, %llu sensor errors\n", u(reads_ok), u(reads_parity),
              u(reads_error));
  std::printf("  bytes from the station  %llu\n", u(station.bytes_sent()));
  std::printf("  setpoint                %.2f deg, absolute angle %.2f deg\n", static_cast<double>(MotorAPosition.Des),
              static_cast<double>(AbPitchAngle));
  std::printf("  interrupts taken        %llu\n", u(board.interrupts_taken()));
  const auto& stop = board.stop_info();
  if (stop.stopped_in_handler) {
    std::printf("  processor stopped in %s since %.3f ms\n", stop.handler.c_str(), vboard::to_ms(stop.since));
  }
  if (stop.stalled) {
    std::printf("  firmware stalled polling register 0x%08lx since %.3f ms\n",
                static_cast<unsigned long>(stop.stalled_address), vboard::to_ms(stop.since));
  }
  if (stop.lost_control) {
    std::printf("  %s, at %.3f ms\n", stop.lost_control_reason.c_str(), vboard::to_ms(stop.lost_control_at));
  }
  board.reset();

  // Step response, from the samples that have a decoded frame.
  std::vector<double> t, setpoint, angle;
  for (const auto& row : series.rows) {
    if (std::isnan(row[1]) || std::isnan(row[2])) continue;
    t.push_back(row[0]);
    setpoint.push_back(row[1]);
    angle.push_back(row[2]);
  }
  const auto steps = run::step_figures(t, setpoint, angle);
  if (!steps.empty()) std::printf("\nstep response (telemetry angle):\n%s", run::step_table(steps, nullptr).c_str());
  if (series_full) std::printf("  the series holds the first %zu samples only\n", kMaxRows);

  try {
    if (!opt.csv_path.empty()) {
      run::write_csv(opt.csv_path, series);
      std::printf("wrote %s (%zu samples)\n", opt.csv_path.c_str(), series.rows.size());
    }
    if (!opt.plot_path.empty()) {
      // gnuplot draws from a CSV: the one asked for, or a temporary one.
      std::string csv = opt.csv_path;
      if (csv.empty()) {
        csv = opt.plot_path + ".csv";
        run::write_csv(csv, series);
      }
      run::write_plot(opt.plot_path, csv, opt.scenario_path.empty() ? "vboard-run" : opt.scenario_path);
      if (opt.csv_path.empty()) std::remove(csv.c_str());
      std::printf("wrote %s\n", opt.plot_path.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
