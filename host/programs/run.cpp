// Runs the firmware on the virtual board and reports what it does.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>

#include "vboard/board.h"
#include "vboard/gpio.h"
#include "vboard/monitor.h"

namespace {

// Parses a virtual duration such as "2s", "250ms", "1500us" or "3" (seconds).
vboard::Ticks parse_duration(const std::string& text) {
  std::size_t used = 0;
  const double value = std::stod(text, &used);
  const std::string unit = text.substr(used);
  double ticks_per_unit = static_cast<double>(vboard::kTicksPerSecond);
  if (unit == "ms") ticks_per_unit = static_cast<double>(vboard::kTicksPerMs);
  else if (unit == "us") ticks_per_unit = static_cast<double>(vboard::kTicksPerUs);
  else if (unit != "s" && !unit.empty()) throw std::invalid_argument("unknown time unit '" + unit + "'");
  if (value < 0) throw std::invalid_argument("negative duration");
  return static_cast<vboard::Ticks>(value * ticks_per_unit + 0.5);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs the motor controller firmware on the virtual board, in virtual time."};
  std::string duration_text = "1s";
  bool quiet = false;
  bool crystal_fails = false;
  app.add_option("-d,--duration", duration_text, "virtual time to run, e.g. 2s, 500ms (default 1s)");
  app.add_flag("-q,--quiet", quiet, "print only the summary");
  app.add_flag("--crystal-fails", crystal_fails, "the 24 MHz crystal never starts (internal 16 MHz oscillator)");
  CLI11_PARSE(app, argc, argv);

  vboard::Ticks duration = 0;
  try {
    duration = parse_duration(duration_text);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: bad duration '%s': %s\n", duration_text.c_str(), e.what());
    return 2;
  }

  vboard::Board& board = vboard::board();
  vboard::BoardConfig config;
  config.crystal_fails = crystal_fails;
  board.reset(config);

  std::uint64_t toggles = 0;
  vboard::Ticks last_toggle = 0;
  board.gpio('A').observe([&](int pin, bool level, vboard::Ticks t) {
    if (pin != 6) return;
    ++toggles;
    if (!quiet) {
      std::printf("%10.3f ms  heartbeat LED PA6 %s", vboard::to_ms(t), level ? "on " : "off");
      if (toggles > 1) std::printf("  (+%.3f ms)", vboard::to_ms(t - last_toggle));
      std::printf("\n");
    }
    last_toggle = t;
  });
  vboard::WorkMonitor works;
  works.attach(board);

  const auto wall_start = std::chrono::steady_clock::now();
  board.power_on();
  board.run_for(duration);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();

  const double seconds = vboard::to_ms(board.now()) / 1000.0;
  std::printf("\nsummary after %.3f ms of virtual time (%.3f s of wall time)\n", vboard::to_ms(board.now()), wall);
  std::printf("  heartbeat LED toggles   %llu\n", static_cast<unsigned long long>(toggles));
  for (std::size_t w = 0; w < 3; ++w) {
    const auto runs = works.runs(static_cast<vboard::Work>(w));
    std::printf("  %-22s  %llu runs (%.1f per second)\n", vboard::kWorkNames[w], static_cast<unsigned long long>(runs),
                seconds > 0 ? static_cast<double>(runs) / seconds : 0.0);
  }
  std::printf("  interrupts taken        %llu\n", static_cast<unsigned long long>(board.interrupts_taken()));
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
