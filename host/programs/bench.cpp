// Speed of the virtual board: virtual time over wall time for a long run of
// the firmware, with the motor in the loop holding its position.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "run_options.h"

#include "vboard/board.h"
#include "vboard/ground_station.h"
#include "vboard/motor_drive_model.h"
#include "vboard/tim_model.h"

int main(int argc, char** argv) {
  double seconds = 60.0;
  if (auto code = run::parse_bench_seconds(argc, argv, seconds, std::cout, std::cerr)) return *code;
  vboard::Board& board = vboard::board();
  board.reset();
  // The ground station listens without keeping every byte, as the run program does.
  vboard::GroundStation::of(board).set_recording(false);
  board.power_on();
  const auto start = std::chrono::steady_clock::now();
  board.run_for(static_cast<vboard::Ticks>(std::llround(seconds * static_cast<double>(vboard::kTicksPerSecond))));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double simulated = vboard::to_ms(board.now()) / 1000.0;
  std::printf("virtual time     %.3f s\n", simulated);
  std::printf("wall time        %.3f s\n", wall);
  std::printf("register accesses %llu, interrupts %llu\n", static_cast<unsigned long long>(board.register_accesses()),
              static_cast<unsigned long long>(board.interrupts_taken()));
  const vboard::Motor& motor = board.motor();
  std::printf("motor            %ld integration steps, shaft at %.2f deg\n", motor.steps(),
              board.motor_drive().sensor_unwrapped_deg());
  std::printf("TIM5 events      %llu (phase PWM edges and update events)\n",
              static_cast<unsigned long long>(board.tim(5).events_handled()));
  std::printf("speed            %.0f x real time\n", simulated / wall);
  board.reset();
  return 0;
}
