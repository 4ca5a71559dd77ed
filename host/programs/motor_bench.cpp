// Cost of the motor model per 10 ms control period, as the board will use
// it: the phase voltages change once a period, the sensor looks at the shaft
// every millisecond. Prints host microseconds and integration steps per
// period (processor time), and the resulting speed over real time, for a
// few typical states.
#include <charconv>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <numbers>
#include <string_view>

#include "vboard/plant/motor.h"

namespace {

using vboard::Motor;

std::array<double, 3> vector_volts(double volts, double angle_rad) {
  return vboard::inverse_clarke(volts * std::cos(angle_rad), volts * std::sin(angle_rad));
}

// Processor time of this process: the machine may be shared, and waiting
// for a core is not the model's cost.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Case {
  const char* name;
  // Phase voltages for the next period, given the motor as it stands.
  std::function<std::array<double, 3>(const Motor&, int period)> drive;
};

void run(const Case& c, int periods) {
  Motor m;
  double sink = 0.0;
  const double start = cpu_seconds();
  for (int k = 0; k < periods; ++k) {
    // Whole milliseconds, so that a period's end and the next one's start agree.
    m.set_phase_voltages(k * 10 * 1e-3, c.drive(m, k));
    for (int s = 1; s <= 10; ++s) {
      m.advance_to((k * 10 + s) * 1e-3);
      sink += m.shaft_angle_rad();
    }
  }
  const double us = (cpu_seconds() - start) * 1e6 / periods;
  std::printf("%-34s %8.2f us/period %7.1f steps/period %9.0f x real time  (end speed %.1f rad/s%s)\n", c.name, us,
              static_cast<double>(m.steps()) / periods, 1e4 / us, m.speed_rad_s(), std::isfinite(sink) ? "" : "!");
}

int bench_main(int argc, char** argv) {
  // atoi would read "abc" as 0 periods, and a figure per period divides by them.
  int periods = 2000;
  if (argc > 1) {
    const std::string_view text(argv[1]);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), periods);
    if (ec != std::errc{} || end != text.data() + text.size() || periods < 1) {
      std::fprintf(stderr, "error: periods: '%s' is not a whole number above 0\n", argv[1]);
      return 2;
    }
  }
  const double half_pi = std::numbers::pi / 2.0;
  std::printf("motor model, %d periods of 10 ms, 10 shaft looks per period\n", periods);
  run({"at rest, no drive", [](const Motor&, int) { return std::array<double, 3>{}; }}, periods);
  run({"holding against a fixed vector", [](const Motor&, int) { return vector_volts(2.0, 0.3); }}, periods);
  run({"commutated once a period",
       [&](const Motor& m, int) { return vector_volts(3.0, m.electrical_angle_rad() + half_pi); }},
      periods);
  run({"stepping vector (a swinging rotor)",
       [](const Motor&, int k) { return vector_volts(3.0, 0.5 * ((k / 20) % 4)); }},
      periods);
  return 0;
}

}  // namespace

// Anything thrown ends the program with a message, not an abort.
int main(int argc, char** argv) {
  try {
    return bench_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "motor-bench: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "motor-bench: error: an unknown exception\n");
  }
  return 1;
}
