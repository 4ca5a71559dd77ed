// The phase drive around the chip: a three-phase inverter whose legs follow
// TIM5's channels 1..3 (PA0..PA2), and the brushless motor on its phases,
// with the position sensor's magnet on the shaft.
//
// The inverter is averaged over a PWM period, so its duties change only when
// what TIM5's outputs do on average changes (a compare value taking effect
// at an update event, a channel switched on or off). The motor is advanced
// lazily, from one input change or look to the next: a sensor PWM period
// start, an SPI angle read, a compare update, a load step, a test's look,
// the watch below. Between them its integrator takes the steps it needs and
// no more.
//
// The sensor reads the shaft through the board's wiring (motor_wiring.h),
// quantised to the sensor's 14 bits. A watch every millisecond looks for a
// loss of control (loss_of_control.h) and reports it in the board's stop
// information.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "vboard/chip/gpio.h"
#include "vboard/chip/hardware.h"
#include "vboard/plant/inverter.h"
#include "vboard/plant/loss_of_control.h"
#include "vboard/plant/motor.h"
#include "vboard/plant/motor_wiring.h"
#include "vboard/sim/model.h"

namespace vboard {

class Timer;

class MotorDrive : public Part {
 public:
  // Follows `timer`'s channels 1..3 (TIM5's: kTimer) on their pins among `ports`.
  MotorDrive(const Context& context, Timer& timer, GpioPorts& ports);
  // The motor and wiring that a reset puts on the board (the board's
  // configuration): from the next reset on.
  void configure(const MotorParams& params, const MotorWiring& wiring) {
    configured_params_ = params;
    configured_wiring_ = wiring;
  }
  // A motor of the configured parameters and wiring, at rest at shaft
  // angle 0, no load, the bridge's legs all low.
  void reset() override;
  void on_event(int kind) override;

  // ---- Set-up (each takes effect now) ----
  // A new motor of `params` at rest where the shaft stands; throws
  // std::invalid_argument for parameters out of range.
  void set_params(const MotorParams& params);
  void set_wiring(const MotorWiring& wiring);
  // Places the shaft at rest at `rad` (scenario set-up).
  void set_shaft_angle(double rad);
  // The load's torque on the shaft from `at` on (positive in the shaft's
  // positive direction); at a time already past, from now on.
  void set_load_torque(Ticks at, double nm);
  // Where the position loop asks the rotor to be, in the sensor's unwrapped
  // degrees, for the loss-of-control watch's distance test. Without one the
  // watch tests the speed only. Kept across reset.
  void set_setpoint_source(std::function<double()> setpoint_deg) { setpoint_deg_ = std::move(setpoint_deg); }

  // ---- Observation (each advances the motor to now) ----
  Motor& motor();
  const Inverter& inverter() const { return *inverter_; }
  const MotorWiring& wiring() const { return wiring_; }
  // The sensor's mechanical angle for the shaft as it stands now, quantised
  // to 14 bits, in [0, 360); and unwrapped (not quantised), counted from the
  // turn the shaft started in.
  double sensor_angle_deg();
  double sensor_unwrapped_deg();
  // Current out of each bridge leg (TIM5 channel 1..3) and from the supply.
  std::array<double, 3> leg_currents_a();
  double supply_current_a();
  const std::optional<LossOfControlDetector::Trip>& loss_of_control() const { return watch_->trip(); }

  static constexpr int kTimer = 5;
  // The pins of legs 1..3, TIM5 channels 1..3.
  static constexpr std::array<hw::PinRow, 3> kLegs{hw::pin("phase A"), hw::pin("phase B"), hw::pin("phase C")};
  static constexpr Ticks kWatchPeriod = kTicksPerMs;

 private:
  enum Event { kWatch = 0 };
  void advance();
  void drive_changed(Ticks t);
  void apply_duties(double t_s);
  void new_motor(const MotorParams& params, double shaft_rad);
  void rebase_unwrap(double shaft_rad);  // unwrap_base_deg_ for the shaft at `shaft_rad`

  Timer* tim_ = nullptr;
  GpioPorts& ports_;
  MotorParams configured_params_{};
  MotorWiring configured_wiring_ = kDefaultWiring;
  MotorWiring wiring_ = kDefaultWiring;
  std::unique_ptr<Motor> motor_;
  std::unique_ptr<Inverter> inverter_;
  std::unique_ptr<LossOfControlDetector> watch_;
  std::function<double()> setpoint_deg_;
  double unwrap_base_deg_ = 0.0;  // whole turns taken off the sensor's unwrapped angle
  double drive_fraction_ = 0.0;   // the bridge's voltage vector over the largest unclipped one
  // The sensor's quantised angle for the shaft angle it was last computed
  // for (bit for bit) with the present wiring and motor: a shaft at rest
  // stands at the same angle look after look.
  bool sensor_known_ = false;
  std::uint64_t sensor_shaft_bits_ = 0;
  double sensor_deg_ = 0.0;
};

}  // namespace vboard
