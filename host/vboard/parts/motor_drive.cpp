#include "vboard/parts/motor_drive.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "vboard/parts/as5048a.h"
#include "vboard/plant/degrees.h"
#include "vboard/chip/tim/timer.h"

namespace vboard {

// No registers: the bridge and the motor are outside the chip.
MotorDrive::MotorDrive(const Context& context, Timer& timer, GpioPorts& ports)
    : Part(context, "phase drive"), tim_(&timer), ports_(ports) {
  tim_->set_on_drive_change([this](Ticks t) { drive_changed(t); });
}

void MotorDrive::reset() {
  wiring_ = configured_wiring_;
  new_motor(configured_params_, 0.0);
  ctx_.schedule(this, kWatch, kWatchPeriod);
}

void MotorDrive::new_motor(const MotorParams& params, double shaft_rad) {
  auto motor = std::make_unique<Motor>(params);  // validates
  const double t_s = to_seconds(ctx_.now());
  motor->set_shaft_angle(t_s, shaft_rad);
  motor_ = std::move(motor);
  sensor_known_ = false;
  inverter_ = std::make_unique<Inverter>(params.supply_v);
  watch_ = std::make_unique<LossOfControlDetector>(params.no_load_speed_rad_s());
  rebase_unwrap(shaft_rad);
  apply_duties(t_s);
}

void MotorDrive::advance() { motor_->advance_to(std::max(to_seconds(ctx_.now()), motor_->time_s())); }

Motor& MotorDrive::motor() {
  advance();
  return *motor_;
}

void MotorDrive::set_params(const MotorParams& params) {
  advance();
  new_motor(params, motor_->shaft_angle_rad());
}

void MotorDrive::set_wiring(const MotorWiring& wiring) {
  advance();
  wiring_ = wiring;
  sensor_known_ = false;
  rebase_unwrap(motor_->shaft_angle_rad());
  apply_duties(motor_->time_s());
}

void MotorDrive::set_shaft_angle(double rad) {
  advance();
  motor_->set_shaft_angle(motor_->time_s(), rad);
  rebase_unwrap(rad);
}

void MotorDrive::rebase_unwrap(double shaft_rad) {
  // The sensor's unwrapped angle counts from the turn the shaft stands in.
  unwrap_base_deg_ =
      360.0 * std::floor(vboard::sensor_angle_deg(shaft_rad, wiring_, motor_->params().pole_pairs) / 360.0);
}

void MotorDrive::set_load_torque(Ticks at, double nm) {
  if (!std::isfinite(nm)) throw std::invalid_argument("load torque must be finite");
  ctx_.at(at, [this, nm] {
    advance();
    motor_->set_external_torque(motor_->time_s(), nm);
  });
}

void MotorDrive::drive_changed(Ticks t) {
  if (!motor_) return;  // the board is still being built
  // An update event may be handled after its time, when the timer catches
  // up at a register access; the motor never goes back.
  apply_duties(std::max(to_seconds(t), motor_->time_s()));
}

void MotorDrive::apply_duties(double t_s) {
  // A leg follows its channel only while the pin is in TIM5's alternate
  // function; otherwise the gate driver's input is not driven and the leg's
  // low side conducts.
  std::array<double, 3> duties{};
  for (int ch = 1; ch <= 3; ++ch) {
    const hw::PinRow& leg = kLegs[static_cast<std::size_t>(ch - 1)];
    const GpioPort& port = ports_[leg.port];
    if (port.mode(leg.pin) == GpioPort::kModeAlternate && port.alternate_function(leg.pin) == leg.af)
      duties[static_cast<std::size_t>(ch - 1)] = tim_->duty(ch);
  }
  inverter_->set_duties(duties);
  motor_->set_phase_voltages(t_s, motor_phase_voltages(inverter_->phase_voltages(), wiring_));
  // How hard the bridge drives, for the watch: a fraction of the largest
  // voltage vector it can apply without clipping.
  const auto v = clarke(inverter_->phase_voltages());
  drive_fraction_ = std::hypot(v[0], v[1]) / (inverter_->supply_v() / std::sqrt(3.0));
}

double MotorDrive::sensor_angle_deg() {
  advance();
  const double shaft = motor_->shaft_angle_rad();
  const auto bits = std::bit_cast<std::uint64_t>(shaft);
  if (sensor_known_ && bits == sensor_shaft_bits_) return sensor_deg_;
  const double a = vboard::sensor_angle_deg(shaft, wiring_, motor_->params().pole_pairs);
  // The sensor resolves 14 bits of a turn.
  sensor_deg_ = As5048a::count_of(fmod_360(fmod_360(a) + 360.0)) * (360.0 / 16384.0);
  sensor_shaft_bits_ = bits;
  sensor_known_ = true;
  return sensor_deg_;
}

double MotorDrive::sensor_unwrapped_deg() {
  advance();
  return vboard::sensor_angle_deg(motor_->shaft_angle_rad(), wiring_, motor_->params().pole_pairs) - unwrap_base_deg_;
}

std::array<double, 3> MotorDrive::leg_currents_a() {
  advance();
  return channel_currents(motor_->phase_currents_a(), wiring_);
}

double MotorDrive::supply_current_a() { return inverter_->supply_current_a(leg_currents_a()); }

void MotorDrive::on_event(int kind) {
  if (kind != kWatch) return;
  const Ticks now = ctx_.now();
  const double angle = sensor_unwrapped_deg();
  // Without a setpoint the distance test never fires: the rotor stands where
  // it is asked to be.
  const double setpoint = setpoint_deg_ ? setpoint_deg_() : angle;
  if (watch_->update(motor_->time_s(), motor_->speed_rad_s(), angle, setpoint, drive_fraction_)) {
    ctx_.lost_control(now, watch_->trip()->reason);
    return;  // the verdict stands; no more watching
  }
  ctx_.schedule(this, kWatch, now + kWatchPeriod);
}

}  // namespace vboard
