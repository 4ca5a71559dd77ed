#include "sampler.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "board_time.h"
#include "device.h"
#include "global_variable.h"
#include "vboard/board/board.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/rotor.h"
#include "vboard/plant/inverter.h"
#include "vboard/plant/motor.h"

namespace run {

namespace {

constexpr double kRadPerSToRpm = 60.0 / (2.0 * 3.141592653589793);

// PWM compare over auto-reload of the phase timer TIM5 (centre-aligned).
double duty(const vboard::Board& board, std::uintptr_t ccr_offset) {
  const double arr = board.peek(TIM5_BASE + offsetof(TIM_TypeDef, ARR));
  return arr > 0 ? board.peek(TIM5_BASE + ccr_offset) / arr : 0.0;
}

// The Uq above which the zero vector means the drive is held off (the angle
// is stale), not a request too small for one count of the compare.
constexpr double kDrivingUq = 0.5;

// 0 when the last control work put out the zero vector (all three compare
// values alike) while the PID asked for a voltage, else 1.
double drive_on() {
  const bool zero_vector = MotorASVPWM.taOn == MotorASVPWM.tbOn && MotorASVPWM.tbOn == MotorASVPWM.tcOn;
  return zero_vector && std::abs(static_cast<double>(MotorAPark.Uq)) > kDrivingUq ? 0.0 : 1.0;
}

}  // namespace

void Sampler::start(vboard::Ticks interval, vboard::Ticks end, std::optional<double> scripted_dps) {
  scripted_dps_ = scripted_dps;
  series_.names = run_columns();
  interval_ = std::max<vboard::Ticks>(1, interval);
  end_ = end;
  next_ = interval_;
  action_ = [this] { take(); };
  board_.at(next_, action_);
}

void Sampler::take() {
  const vboard::Ticks now = board_.now();
  if (series_.rows.size() < kMaxRows) {
    auto& drive = board_.motor_drive();
    const vboard::Motor& m = drive.motor();
    const auto i = m.phase_currents_a();
    // Shaft angle and speed in the sensor's sense of rotation.
    const double shaft = scripted_dps_ ? board_.rotor().unwrapped(now) : drive.sensor_unwrapped_deg();
    const double rpm =
        scripted_dps_ ? *scripted_dps_ / 6.0 : m.speed_rad_s() * drive.wiring().sensor_direction * kRadPerSToRpm;
    std::vector<double> row(column::kCount);
    row[column::kTime] = seconds_of(now);
    row[column::kSetpoint] = frame_.wire_setpoint;
    row[column::kTelemetry] = frame_.wire_angle;
    row[column::kSetpointUnwrapped] = frame_.setpoint;
    row[column::kTelemetryUnwrapped] = frame_.angle;
    row[column::kShaft] = shaft;
    row[column::kError] = frame_.setpoint - frame_.angle;
    row[column::kUq] = static_cast<double>(MotorAPark.Uq);
    row[column::kDutyA] = duty(board_, offsetof(TIM_TypeDef, CCR1));
    row[column::kDutyB] = duty(board_, offsetof(TIM_TypeDef, CCR2));
    row[column::kDutyC] = duty(board_, offsetof(TIM_TypeDef, CCR3));
    row[column::kIa] = i[0];
    row[column::kIb] = i[1];
    row[column::kIc] = i[2];
    row[column::kTorque] = m.electromagnetic_torque_nm();
    row[column::kSpeed] = rpm;
    // What the windings get: the bridge's phase voltages as one vector.
    const auto v = vboard::clarke(drive.inverter().phase_voltages());
    row[column::kApplied] = std::hypot(v[0], v[1]);
    row[column::kDriveOn] = drive_on();
    series_.rows.push_back(std::move(row));
  } else {
    full_ = true;
  }
  next_ += interval_;
  if (next_ <= end_) board_.at(next_, action_);
}

}  // namespace run
