// The board described once, as data: the on-chip devices the virtual board
// models (base address, interrupt line, clock gate), and the board's wiring
// around the chip (which pin goes where, to which off-chip part). Every
// number comes from the firmware's device description; the board is built
// by walking these tables, and tests name hardware through them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "device.h"
#include "drv_gpio.h"
#include "drv_rcc.h"

namespace vboard {

// How a three-phase motor hangs on the phase outputs and carries the
// position sensor's magnet.
struct MotorWiring {
  // Motor phase (0 = A, 1 = B, 2 = C) on TIM5 channels 1, 2, 3 (PA0, PA1, PA2).
  std::array<int, 3> phase_of_channel;
  // -1: the sensor angle rises when the shaft turns backwards (against the
  // motor's electrical rotation A -> B -> C).
  int sensor_direction;
  // The sensor angle at shaft angle 0, in electrical degrees (times the pole
  // pairs): where the sensor's magnet sits relative to the rotor's poles.
  double magnet_offset_elec_deg;
};

}  // namespace vboard

namespace vboard::hw {

enum class Kind { timer, spi, usart };

// An RCC enable register (its offset in the RCC block) and the bit that
// gates a device's clock.
struct Gate {
  std::uint32_t offset;
  std::uint32_t bit;
  static constexpr Gate apb1(std::uint32_t bit) { return {offsetof(RCC_TypeDef, APB1ENR), bit}; }
  static constexpr Gate apb2(std::uint32_t bit) { return {offsetof(RCC_TypeDef, APB2ENR), bit}; }
  static constexpr Gate ahb1(std::uint32_t bit) { return {offsetof(RCC_TypeDef, AHB1ENR), bit}; }
};

// One row per modelled on-chip instance the firmware uses.
struct DeviceRow {
  std::string_view name;
  Kind kind;
  int number;
  std::uintptr_t base;
  int irq;  // the device's interrupt line (IRQn)
  Gate gate;
};

inline constexpr DeviceRow kDevices[] = {
    {"TIM2", Kind::timer, 2, TIM2_BASE, TIM2_IRQn, Gate::apb1(RCC_APB1Periph_TIM2)},
    {"TIM3", Kind::timer, 3, TIM3_BASE, TIM3_IRQn, Gate::apb1(RCC_APB1Periph_TIM3)},
    {"TIM5", Kind::timer, 5, TIM5_BASE, TIM5_IRQn, Gate::apb1(RCC_APB1Periph_TIM5)},
    {"TIM6", Kind::timer, 6, TIM6_BASE, TIM6_DAC_IRQn, Gate::apb1(RCC_APB1Periph_TIM6)},
    {"SPI2", Kind::spi, 2, SPI2_BASE, SPI2_IRQn, Gate::apb1(RCC_APB1Periph_SPI2)},
    {"USART3", Kind::usart, 3, USART3_BASE, USART3_IRQn, Gate::apb1(RCC_APB1Periph_USART3)},
};

// The row of a device by name; a name not in the table does not compile
// where it is used in a constant expression.
constexpr const DeviceRow& device(std::string_view name) {
  for (const DeviceRow& row : kDevices)
    if (row.name == name) return row;
  throw "no such device on this board";
}

// The row of a device by kind and instance number, or nullptr.
constexpr const DeviceRow* find(Kind kind, int number) {
  for (const DeviceRow& row : kDevices)
    if (row.kind == kind && row.number == number) return &row;
  return nullptr;
}

// The board's wiring: a pin of the chip, the alternate function that
// connects it (0: the pin is a plain input or output), and the off-chip part
// at its other end.
struct PinRow {
  std::string_view signal;
  char port;
  int pin;
  unsigned af;
  std::string_view part;
};

// TIM3 shares its alternate function number with TIM5 (AF2).
inline constexpr unsigned kAfTim3 = GPIO_AF_TIM5, kAfTim5 = GPIO_AF_TIM5, kAfSpi2 = GPIO_AF_SPI2, kAfUsart3 = GPIO_AF_USART3;

inline constexpr PinRow kWiring[] = {
    {"sensor PWM", 'C', 6, kAfTim3, "position sensor, PWM output (TIM3 CH1)"},
    {"key up", 'C', 7, 0, "key panel"},
    {"key down", 'C', 8, 0, "key panel"},
    {"heartbeat LED", 'A', 6, 0, "LED"},
    {"status LED", 'A', 7, 0, "LED"},
    {"USART3 TX", 'B', 10, kAfUsart3, "ground station, receive line"},
    {"USART3 RX", 'B', 11, kAfUsart3, "ground station, transmit line"},
    {"SPI2 SCK", 'B', 13, kAfSpi2, "position sensor, SPI"},
    {"SPI2 MISO", 'B', 14, kAfSpi2, "position sensor, SPI"},
    {"SPI2 MOSI", 'B', 15, kAfSpi2, "position sensor, SPI"},
    {"sensor chip select", 'B', 12, 0, "position sensor, SPI"},
    {"phase A", 'A', 0, kAfTim5, "inverter, leg 1 (TIM5 CH1)"},
    {"phase B", 'A', 1, kAfTim5, "inverter, leg 2 (TIM5 CH2)"},
    {"phase C", 'A', 2, kAfTim5, "inverter, leg 3 (TIM5 CH3)"},
};

// The off-chip parts that hang on other parts rather than on pins.
struct PartRow {
  std::string_view name;
  std::string_view connection;
};

inline constexpr PartRow kParts[] = {
    {"inverter", "three half-bridges on the motor supply; legs 1..3 follow PA0..PA2"},
    {"motor", "7 pole pairs; phases on the inverter's legs, as kMotorWiring says"},
    {"position sensor", "its magnet on the motor's shaft, as kMotorWiring says"},
};

// The motor supply across the inverter, volts (the figure the firmware's
// modulation stage assumes).
inline constexpr double kMotorSupplyV = 12.0;

// Why the default wiring closes the position loop with negative feedback
// (angles in degrees; p = 7 pole pairs):
//
// Firmware. The decoder's mechanical angle is s = raw - AngleComp, where raw
// is the sensor's own reading and AngleComp (40) its mechanical zero offset;
// the board's sensor models add the 40 back, so s is the sensor angle used
// below. The electrical angle is E = p s (mod 360) and the transform angle
// Theta = 360 - E. With Ud = 0 the inverse Park gives
//   (UAlpha, UBeta) = Uq (-sin Theta, cos Theta) = Uq (cos(Theta + 90), sin(Theta + 90)),
// a vector at Theta + 90 = 90 - E in the frame whose alpha axis is channel 1
// (PA0) and which turns towards channel 2 (PA1): the modulation stage puts
// channels 1, 2, 3 at 0, 120 and 240.
//
// Motor. Its d axis (the magnets' flux) is at theta_e = p theta_m in the
// frame of its phases A, B, C at 0, 120, 240; torque follows the voltage
// component at theta_e + 90 (positive Uq of the motor), and is largest when
// the whole vector lies there.
//
// Wiring. Channels to phases in sequence (sigma = +1) or with two swapped
// (sigma = -1: a channel-frame angle phi lands at -phi, plus a multiple of
// 120); the sensor counts s = kappa theta_m + s0 (kappa = +1 with the motor's
// positive rotation, -1 against it); delta = p s0 is the sensor magnet's
// offset in electrical degrees. The voltage vector relative to the d axis:
//   sigma (90 - p (kappa theta_m + s0)) - p theta_m
//     = sigma 90 - (sigma kappa + 1) p theta_m - sigma delta.
// It stands still relative to the rotor only if sigma kappa = -1: the phase
// sequence and the sensor's direction must disagree (the decoder's 360 - E
// is that disagreement). Take the phases in sequence, sigma = +1, and the
// sensor counting against the motor's rotation, kappa = -1. Then the vector
// sits at 90 - delta from the d axis. A positive Uq must raise s, that is
// turn the shaft backwards (kappa = -1), so the vector must be at -90
// (largest torque, backwards): 90 - delta = -90, delta = 180 electrical
// (s0 = 180/7 = 25.714 mechanical degrees, or that plus a multiple of 360/7).
//
// Misfits: two phases swapped (sigma kappa = +1) leave the vector turning at
// twice the electrical angle against the rotor, so the torque changes sign
// every quarter of an electrical turn; a magnet off by 90 electrical puts
// the whole vector on the d axis (current, no torque at rest); off by 180
// reverses the feedback.
inline constexpr MotorWiring kMotorWiring{{0, 1, 2}, -1, 180.0};

constexpr const PinRow& pin(std::string_view signal) {
  for (const PinRow& row : kWiring)
    if (row.signal == signal) return row;
  throw "no such signal on this board";
}

}  // namespace vboard::hw
