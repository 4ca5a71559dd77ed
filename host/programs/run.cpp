// Runs the motor controller firmware on the virtual board, in virtual time,
// and reports what it does: the heartbeat, every telemetry frame the ground
// station decodes, the encoder reads, the key presses, and a summary.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "as5048a.h"
#include "global_variable.h"
#include "sensor_frame.h"
#include "vboard/as5048a.h"
#include "vboard/board.h"
#include "vboard/gpio.h"
#include "vboard/ground_station.h"
#include "vboard/keys.h"
#include "vboard/monitor.h"
#include "vboard/sensor_pwm.h"

namespace {

using vboard::Ticks;

// A virtual duration such as "2s", "250ms", "1500us" or "3" (seconds).
Ticks parse_duration(const std::string& text) {
  std::size_t used = 0;
  const double value = std::stod(text, &used);
  const std::string unit = text.substr(used);
  double ticks_per_unit = static_cast<double>(vboard::kTicksPerSecond);
  if (unit == "ms") {
    ticks_per_unit = static_cast<double>(vboard::kTicksPerMs);
  } else if (unit == "us") {
    ticks_per_unit = static_cast<double>(vboard::kTicksPerUs);
  } else if (unit != "s" && !unit.empty()) {
    throw std::invalid_argument("unknown time unit '" + unit + "' (use s, ms or us)");
  }
  if (!(value >= 0)) throw std::invalid_argument("not a positive duration");
  // Far below the virtual clock's 64 bits (2^62 ticks, about 435 years), so
  // that the conversion and the run's end time both stay in range.
  const double ticks = value * ticks_per_unit + 0.5;
  if (!(ticks < 0x1p62)) throw std::invalid_argument("duration too long");
  return static_cast<Ticks>(ticks);
}

struct KeyPress {
  vboard::Key key;
  Ticks at;
};

// "up@500ms" or "down@1.2s".
KeyPress parse_press(const std::string& text) {
  const auto at = text.find('@');
  if (at == std::string::npos) throw std::invalid_argument("expected KEY@TIME, e.g. up@500ms");
  const std::string name = text.substr(0, at);
  vboard::Key key;
  if (name == "up" || name == "raise" || name == "PC7") {
    key = vboard::Key::kRaise;
  } else if (name == "down" || name == "lower" || name == "PC8") {
    key = vboard::Key::kLower;
  } else {
    throw std::invalid_argument("unknown key '" + name + "' (use up or down)");
  }
  return {key, parse_duration(text.substr(at + 1))};
}

const char* key_name(vboard::Key key) { return key == vboard::Key::kRaise ? "up (PC7)" : "down (PC8)"; }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs the motor controller firmware on the virtual board, in virtual time, and reports what it does."};
  app.get_formatter()->column_width(34);
  std::string duration_text = "1s";
  std::vector<std::string> press_texts;
  std::string hold_text = "80ms";
  double rotor_angle = 0.0;
  double rotor_speed = 0.0;
  bool quiet = false;
  bool no_frames = false;
  bool crystal_fails = false;
  bool no_sensor = false;
  bool bad_parity = false;
  std::string flood_text;
  app.add_option("-d,--duration", duration_text, "virtual time to run: 2s, 500ms, 1500us (default 1s)");
  app.add_option("-p,--press", press_texts, "press a key at a time: up@500ms, down@1.2s (repeatable)");
  app.add_option("--hold", hold_text, "how long each key press is held (default 80ms)");
  app.add_option("--rotor-angle", rotor_angle, "rotor's mechanical angle at the start, degrees (default 0)");
  app.add_option("--rotor-speed", rotor_speed, "rotor speed, degrees per second (default 0)");
  app.add_flag("--no-sensor", no_sensor, "no position sensor: the SPI data line stays high, no PWM signal");
  app.add_flag("--bad-parity", bad_parity, "the sensor's SPI replies carry a wrong parity bit");
  app.add_option("--flood", flood_text, "the ground station sends bytes at full line rate: START:LENGTH, e.g. 0.2s:1s");
  app.add_flag("--crystal-fails", crystal_fails, "the 24 MHz crystal never starts (internal 16 MHz oscillator)");
  app.add_flag("--no-frames", no_frames, "do not print each telemetry frame");
  app.add_flag("-q,--quiet", quiet, "print only the summary");
  CLI11_PARSE(app, argc, argv);

  Ticks duration = 0;
  Ticks hold = 0;
  std::vector<KeyPress> presses;
  Ticks flood_start = 0;
  Ticks flood_length = 0;
  try {
    duration = parse_duration(duration_text);
    hold = parse_duration(hold_text);
    for (const auto& p : press_texts) presses.push_back(parse_press(p));
    if (!flood_text.empty()) {
      const auto colon = flood_text.find(':');
      if (colon == std::string::npos) throw std::invalid_argument("--flood expects START:LENGTH");
      flood_start = parse_duration(flood_text.substr(0, colon));
      flood_length = parse_duration(flood_text.substr(colon + 1));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 2;
  }
  const bool print_events = !quiet;
  const bool print_frames = !quiet && !no_frames;

  vboard::Board& board = vboard::board();
  vboard::BoardConfig config;
  config.crystal_fails = crystal_fails;
  board.reset(config);
  board.rotor().set(rotor_angle, rotor_speed, 0);
  auto* sensor = board.find<vboard::As5048a>();
  auto* pwm = board.find<vboard::SensorPwm>();
  auto* keys = board.find<vboard::Keys>();
  auto& station = vboard::GroundStation::of(board);
  if (no_sensor) {
    sensor->set_absent(true);
    pwm->set_enabled(false);
  }
  sensor->set_bad_parity(bad_parity);
  for (const auto& p : presses) {
    keys->click(p.key, p.at, hold);
    if (print_events) {
      board.at(p.at, [p] { std::printf("%10.3f ms  key %s pressed\n", vboard::to_ms(p.at), key_name(p.key)); });
    }
  }
  if (flood_length > 0) station.flood(flood_start, flood_length, 1);

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
  });

  // Telemetry, decoded from the bytes the ground station hears.
  telemetry::SensorFrameDecoder decoder;
  station.set_recording(false);
  station.on_byte = [&](const vboard::GroundStation::Heard& byte) {
    if (auto frame = decoder.feed(static_cast<std::uint8_t>(byte.value)); frame && print_frames) {
      std::printf("%10.3f ms  frame  angle %9.2f deg  setpoint %8.2f deg\n", vboard::to_ms(byte.end),
                  (*frame)[telemetry::kAx] / 100.0, (*frame)[telemetry::kAy] / 100.0);
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
                  board.rotor().angle(t));
    }
  };
  Ticks start_done = 0;
  board.on_exception_entry = [&](int exception, Ticks t) {
    if (exception == 16 + 54 && start_done == 0) {
      start_done = t;
      if (print_events) std::printf("%10.3f ms  start-up done: first scheduler tick\n", vboard::to_ms(t));
    }
  };

  const auto wall_start = std::chrono::steady_clock::now();
  board.power_on();
  board.run_for(duration);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();

  const double seconds = vboard::to_ms(board.now()) / 1000.0;
  auto per_second = [&](std::uint64_t n) { return seconds > 0 ? static_cast<double>(n) / seconds : 0.0; };
  auto u = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
  std::printf("\nsummary: %.3f ms of virtual time in %.3f s of wall time (%.0f x real time)\n", vboard::to_ms(board.now()),
              wall, wall > 0 ? seconds / wall : 0.0);
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
  board.reset();
  return 0;
}
