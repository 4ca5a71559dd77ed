// Speed of the virtual board: virtual time over wall time for a long run of
// the firmware, with the motor in the loop holding its position (or, with
// --scripted-rotor, a still rotor under the sensor: the board without the
// shaft's motion).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>

#include "board_time.h"
#include "run_options.h"
#include "stop_signal.h"

#include "vboard/board/board.h"
#include "vboard/parts/ground_station.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/rotor.h"
#include "vboard/chip/tim/timer.h"

namespace {

struct TimedRun {
  double wall = 0.0;
  unsigned long long accesses = 0;
  unsigned long long interrupts = 0;
};

void say_scripted_rotor() { std::printf("sensor           reads a scripted rotor standing at 0 deg, not the shaft\n"); }

// The default board from power-on; the ground station listens without
// keeping every byte, as the run program does.
vboard::Board& powered_board(bool scripted_rotor) {
  vboard::Board& board = vboard::board();
  board.reset();
  board.ground_station().set_recording(false);
  board.power_on();
  if (scripted_rotor) board.rotor().set(0.0, 0.0, board.now());
  return board;
}

// A free run goes in slices this long, between which a stop request is
// seen: a few milliseconds of wall time each.
constexpr vboard::Ticks kSlice = vboard::kTicksPerSecond;

// Runs the board to `end` in slices, until a stop request; false when stopped.
bool run_to(vboard::Board& board, vboard::Ticks end) {
  while (board.now() < end && !run::stop_requested()) board.run_until(std::min(end, board.now() + kSlice));
  return board.now() >= end;
}

// The default board run for `length`, in one run_for or in `step` pieces;
// nothing when a stop was requested before the end.
std::optional<TimedRun> timed_run(vboard::Ticks length, vboard::Ticks step, bool scripted_rotor) {
  vboard::Board& board = powered_board(scripted_rotor);
  const vboard::Ticks end = board.now() + length;
  const auto start = std::chrono::steady_clock::now();
  if (step == 0) {
    if (!run_to(board, end)) return std::nullopt;
  } else {
    while (board.now() < end && !run::stop_requested()) board.run_for(std::min(step, end - board.now()));
    if (board.now() < end) return std::nullopt;
  }
  TimedRun r;
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.accesses = board.register_accesses();
  r.interrupts = board.interrupts_taken();
  board.reset();
  return r;
}

// A caller that runs the board in short steps (a test, a co-simulation)
// hands the turn to the firmware and back once a step; this measures what
// that costs against a free run of the same length. Free and stepped runs
// alternate and the fastest of each counts, so that a busy machine weighs on
// both alike.
int bench_stepped(const run::BenchOptions& o) {
  const double seconds = o.seconds;
  const vboard::Ticks length = run::ticks_of(seconds);
  const vboard::Ticks step = std::max<vboard::Ticks>(1, run::ticks_of(o.step_seconds));
  constexpr int kRounds = 3;
  TimedRun free, stepped;
  free.wall = stepped.wall = 1e300;
  int rounds = 0;
  for (; rounds < kRounds; ++rounds) {
    const auto fr = timed_run(length, 0, o.scripted_rotor);
    const auto sr = fr ? timed_run(length, step, o.scripted_rotor) : std::nullopt;
    if (!sr) break;
    const TimedRun& f = *fr;
    const TimedRun& s = *sr;
    if (f.accesses != s.accesses || f.interrupts != s.interrupts) {
      std::fprintf(stderr, "the stepped run differs from the free run: %llu/%llu accesses, %llu/%llu interrupts\n",
                   s.accesses, f.accesses, s.interrupts, f.interrupts);
      return 1;
    }
    free = f.wall < free.wall ? f : free;
    stepped = s.wall < stepped.wall ? s : stepped;
  }
  if (rounds == 0) {
    std::printf("interrupted before a free and a stepped run were done: nothing to compare\n");
    return 0;
  }
  const double steps = std::ceil(static_cast<double>(length) / static_cast<double>(step));
  std::printf("virtual time     %.3f s, steps of %.3f ms (%.0f steps); fastest of %d runs each%s\n", seconds,
              vboard::to_ms(step), steps, rounds, rounds < kRounds ? " (interrupted)" : "");
  if (o.scripted_rotor) say_scripted_rotor();
  std::printf("free run         %.3f s wall, %.0f x real time\n", free.wall, seconds / free.wall);
  std::printf("stepped run      %.3f s wall, %.0f x real time\n", stepped.wall, seconds / stepped.wall);
  std::printf("stepped / free   %.2f (%.3f us more a step)\n", stepped.wall / free.wall,
              (stepped.wall - free.wall) / steps * 1e6);
  return 0;
}

int bench_main(int argc, char** argv) {
  run::install_stop_signals();
  run::BenchOptions o;
  if (auto code = run::parse_bench_options(argc, argv, o, std::cout, std::cerr)) return *code;
  if (o.step_seconds > 0.0) return bench_stepped(o);
  const double seconds = o.seconds;
  vboard::Board& board = powered_board(o.scripted_rotor);
  const auto start = std::chrono::steady_clock::now();
  // Stopped early, the figures are those of the time run so far.
  if (!run_to(board, board.now() + run::ticks_of(seconds))) std::printf("interrupted\n");
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double simulated = run::seconds_of(board.now());
  std::printf("virtual time     %.3f s\n", simulated);
  std::printf("wall time        %.3f s\n", wall);
  std::printf("register accesses %llu, interrupts %llu\n", static_cast<unsigned long long>(board.register_accesses()),
              static_cast<unsigned long long>(board.interrupts_taken()));
  const vboard::Motor& motor = board.motor_drive().motor();
  std::printf("motor            %ld integration steps, shaft at %.2f deg\n", motor.steps(),
              board.motor_drive().sensor_unwrapped_deg());
  if (o.scripted_rotor) say_scripted_rotor();
  std::printf("TIM5 events      %llu (phase PWM edges and update events)\n",
              static_cast<unsigned long long>(board.tim(5).events_handled()));
  std::printf("speed            %.0f x real time\n", simulated / wall);
  board.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return bench_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vboard-bench: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vboard-bench: error: an unknown exception\n");
  }
  return 1;
}
