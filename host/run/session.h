// One run of the firmware from reset on the virtual board, for a scenario
// with given gains and motor: the scenario's events go into the board's
// queue, the run goes to the scenario's end (or a loss of control, or a stop
// request), and what it observed comes back as the sampled time series
// (columns named by run_columns()), the figures of each setpoint step and
// the run's counters. Nothing is printed: event lines go to a sink, if one
// is given.
//
// The board is the process's one virtual board: one session at a time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sampler.h"
#include "scenario.h"
#include "scenario_board.h"
#include "sensor_frame.h"
#include "series.h"
#include "setpoint_writer.h"
#include "step_metrics.h"
#include "vboard/board/board.h"
#include "vboard/chip/usart.h"
#include "vboard/plant/motor.h"
#include "work_monitor.h"

namespace vboard {
class Faults;
class GroundStation;
class Keys;
}  // namespace vboard

namespace run {

struct SessionOptions {
  // Not 0: the sensor reads a scripted rotor turning at this speed, degrees
  // per second, instead of the motor's shaft.
  double rotor_speed_dps = 0.0;
  // Told key presses, faults, load steps and the gains' write; none: no
  // event lines are made.
  EventSink events;
  bool verbose = false;  // with events: the heartbeat LED, encoder reads, start-up
  bool frames = false;   // with verbose: every decoded frame
  // Asked between slices of the run; none: a SIGINT or SIGTERM (stop_signal.h).
  std::function<bool()> stop;
};

// The run's counters, taken when it ended.
struct RunSummary {
  vboard::Ticks stopped_at = 0;
  double wall_s = 0.0;
  bool interrupted = false;  // by a stop request
  vboard::Ticks start_done = 0;  // the first scheduler tick
  std::uint64_t toggles = 0;     // of the heartbeat LED
  std::array<std::uint64_t, 3> work_runs{};  // by vboard::Work
  std::uint64_t interrupts = 0;
  std::uint64_t frames_sent = 0;
  std::uint64_t frames_decoded = 0, bad_frames = 0, garbage_bytes = 0;
  std::uint64_t angle_wraps = 0, setpoint_wraps = 0;  // the telemetry's crossings of the frame's range
  std::uint64_t reads_ok = 0, reads_parity = 0, reads_error = 0;  // encoder reads
  std::uint64_t bytes_from_station = 0;
  vboard::Usart::Stats usart_rx{};
  vboard::StopInfo stop{};  // lost_control only with the motor under the sensor
  std::uint64_t gap_count = 0;
  std::string gap_report;
  float final_setpoint = 0.0f;  // the firmware's, degrees
  float final_angle = 0.0f;
  double final_shaft = kNotMeasured;  // in the sensor's sense; not measured after a failure
  double final_speed_dps = 0.0;
  std::string failure;  // why the run could not go on; empty when it could

  // 1 when the run could not go on, 3 after a loss of control, else 0.
  int status() const { return !failure.empty() ? 1 : stop.lost_control ? 3 : 0; }
};

class Session {
 public:
  // Resets the board with the scenario's motor and crystal and schedules
  // the scenario. `gains` are written into the firmware's RAM after reset
  // (the scenario's own [gains] are not used); unset ones keep the image's.
  Session(const Scenario& scenario, const vboard::MotorParams& motor, const Gains& gains, SessionOptions options = {});
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Runs from power-on to the scenario's end as fast as the board goes, in
  // 100 ms slices; `slice_done` is told the virtual seconds done after each.
  // Ends early at a loss of control (the slice's end) or a stop request.
  void run(const std::function<void(double)>& slice_done = {});

  // The same in steps, for a caller that paces the run itself: begin(),
  // advance() as often as it likes, finish().
  void begin();
  // False when the run cannot go on (the motor model gave up: failure()).
  bool advance(vboard::Ticks to);
  void finish();

  vboard::Ticks now() const { return board_.now(); }
  vboard::Ticks end() const;
  bool stop_requested() const;
  // The motor ran away from the loop. Never with the scripted rotor under
  // the sensor: the loop then acts on the script, and the unseen motor on
  // the bridge runs as it may.
  bool lost_control() const { return !scripted_ && board_.stop_info().lost_control; }
  vboard::GroundStation& station() { return *station_; }
  // For what a caller adds to the run before begin(): its own board actions
  // or observers (a reset clears them).
  vboard::Board& board() { return board_; }
  // A press of `key` now, or right after the last one of the same key so
  // that every press registers; told as from `from`.
  void press(KeyName key, const char* from);
  // Presses of `key` scheduled that have not begun yet.
  std::size_t presses_waiting(KeyName key) const;
  const LatestFrame& latest() const { return latest_; }
  const telemetry::SensorFrameDecoder& decoder() const { return decoder_; }
  // Told each decoded frame, at its virtual time in seconds.
  std::function<void(double, const telemetry::SensorFrame&)> on_frame;

  // What the run gave (after finish()).
  const Series& series() const { return sampler_.series(); }
  bool series_full() const { return sampler_.full(); }
  const RunSummary& summary() const { return summary_; }
  // The figures of each setpoint and load step. The small steps of a
  // scenario's ramps, sines and chirps (to 20 ms after each ends, the
  // telemetry's lag) start no row.
  RunFigures figures(StepPeak peak = StepPeak::kPhaseCurrent) const;
  // The control periods: the scenario's setpoint profile is written there;
  // a caller may put its own profile and watch each period's RAM.
  vboard::ControlPeriods& control_periods() { return periods_; }

 private:
  void set_up(const Scenario& scenario, const vboard::MotorParams& motor);
  void observe_heartbeat();
  void observe_telemetry();
  void observe_works();
  void take_summary();
  bool telling() const { return static_cast<bool>(options_.events); }
  // NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute has the compiler check each call.
  void say(vboard::Ticks t, const char* format, ...) const __attribute__((format(printf, 3, 4)));

  static constexpr vboard::Ticks kPressSpacing = vboard::ms(100);

  Scenario s_;
  SessionOptions options_;
  vboard::Board& board_;
  std::unique_ptr<vboard::Faults> faults_;
  vboard::GroundStation* station_ = nullptr;
  vboard::Keys* keys_ = nullptr;
  bool scripted_ = false;  // the sensor reads the scripted rotor, not the motor
  std::array<vboard::Ticks, 2> key_free_{};  // when each key may be pressed again
  vboard::WorkMonitor works_;
  vboard::ControlPeriods periods_;
  telemetry::SensorFrameDecoder decoder_;
  LatestFrame latest_;
  Sampler sampler_;
  std::uint64_t toggles_ = 0;
  std::uint64_t reads_ok_ = 0, reads_parity_ = 0, reads_error_ = 0;
  vboard::Ticks start_done_ = 0;
  std::chrono::steady_clock::time_point wall_start_{};
  std::string failure_;
  bool finished_ = false;
  RunSummary summary_;
};

}  // namespace run
