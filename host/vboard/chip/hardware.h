// The board described once, as data: the on-chip devices the virtual board
// models (base address, interrupt line, clock gate), and the board's wiring
// around the chip (which pin goes where, to which off-chip part). Every
// number comes from the firmware's device description; the board is built
// by walking these tables, and tests name hardware through them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
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

enum class Kind { nvic, scb, systick, rcc, pwr, flash, gpio, timer, spi, usart, syscfg, exti };

// An RCC enable register (its offset in the RCC block) and the bit that
// gates a device's clock; offset 0: always clocked.
struct Gate {
  std::uint32_t offset;
  std::uint32_t bit;
  static constexpr Gate none() { return {0, 0}; }
  static constexpr Gate apb1(std::uint32_t bit) { return {offsetof(RCC_TypeDef, APB1ENR), bit}; }
  static constexpr Gate apb2(std::uint32_t bit) { return {offsetof(RCC_TypeDef, APB2ENR), bit}; }
  static constexpr Gate ahb1(std::uint32_t bit) { return {offsetof(RCC_TypeDef, AHB1ENR), bit}; }
  constexpr bool on_apb2() const { return offset == offsetof(RCC_TypeDef, APB2ENR); }
};

inline constexpr int kNoIrq = -1;

// A register's value after a power-on reset, as the reference manual gives
// it: the register's offset in its block and the value. `defined` holds the
// bits the manual fixes; the others (an "x" there) come from the part or
// the pins, and the model sets them as it sees fit. Registers not listed
// reset to 0.
struct ResetValue {
  std::uint32_t offset;
  std::uint32_t value;
  std::uint32_t defined = 0xFFFFFFFFu;
};

// Reset-value bits the device description does not name, as the manual
// spells them.
inline constexpr std::uint32_t SCB_CCR_STKALIGN = 1u << 9;
// TENMS is not exact; NOREF (bit 31) stays 0: the reference clock, HCLK/8, is there.
inline constexpr std::uint32_t SysTick_CALIB_SKEW = 1u << 30;
inline constexpr std::uint32_t RCC_AHB1ENR_CCMDATARAMEN = 1u << 20;
inline constexpr std::uint32_t RCC_CSR_BORRSTF = 1u << 25, RCC_CSR_PINRSTF = 1u << 26, RCC_CSR_PORRSTF = 1u << 27;
inline constexpr std::uint32_t PWR_CR_VOS_SCALE1 = 1u << 14;  // VOS is bit 14 alone on this part; 15 is reserved
inline constexpr std::uint32_t FLASH_CR_LOCK = 1u << 31;

// The reset values that are not 0, by device kind, and by instance where
// instances differ.
inline constexpr ResetValue kScbReset[] = {
    {offsetof(SCB_Type, CPUID), 0x410FC241u},  // Cortex-M4 r0p1
    {offsetof(SCB_Type, AIRCR), 0xFA050000u},  // VECTKEYSTAT; PRIGROUP 0
    {offsetof(SCB_Type, CCR), SCB_CCR_STKALIGN},
};
// TENMS: 1 ms at HCLK/8 with the 168 MHz system clock (21 MHz).
inline constexpr ResetValue kSysTickReset[] = {
    {offsetof(SysTick_Type, CALIB), SysTick_CALIB_SKEW | 20999u},
};
inline constexpr ResetValue kRccReset[] = {
    // HSION, HSIRDY, HSITRIM 16; HSICAL is the part's own calibration.
    {offsetof(RCC_TypeDef, CR), 0x00000083u, ~RCC_CR_HSICAL},
    // PLLM 16, PLLN 192, PLLP 2, PLLQ 4, bit 29 (reserved) 1.
    {offsetof(RCC_TypeDef, PLLCFGR), 0x24003010u},
    {offsetof(RCC_TypeDef, AHB1ENR), RCC_AHB1ENR_CCMDATARAMEN},
    {offsetof(RCC_TypeDef, AHB1LPENR), 0x7E6791FFu},
    {offsetof(RCC_TypeDef, AHB2LPENR), 0x000000F1u},
    {offsetof(RCC_TypeDef, AHB3LPENR), 0x00000001u},
    {offsetof(RCC_TypeDef, APB1LPENR), 0x36FEC9FFu},
    {offsetof(RCC_TypeDef, APB2LPENR), 0x00075F33u},
    // The reset flags of a power-on reset.
    {offsetof(RCC_TypeDef, CSR), RCC_CSR_PORRSTF | RCC_CSR_PINRSTF | RCC_CSR_BORRSTF},
    // PLLI2SN 192, PLLI2SR 2.
    {offsetof(RCC_TypeDef, PLLI2SCFGR), 0x20003000u},
};
inline constexpr ResetValue kPwrReset[] = {
    {offsetof(PWR_TypeDef, CR), PWR_CR_VOS_SCALE1},
};
inline constexpr ResetValue kFlashReset[] = {
    {offsetof(FLASH_TypeDef, CR), FLASH_CR_LOCK},
    {offsetof(FLASH_TypeDef, OPTCR), 0x0FFFAAEDu},  // the factory option bytes
};
// Ports A and B come out of reset as the debug port: PA13 (SWDIO), PA14
// (SWCLK), PA15 (JTDI), PB3 (JTDO/SWO) and PB4 (NJTRST) in their alternate
// function, with their pulls and speeds. IDR follows the pins.
inline constexpr std::uint32_t kIdrPins = 0x0000FFFFu;
inline constexpr ResetValue kGpioAReset[] = {
    {offsetof(GPIO_TypeDef, MODER), 0xA8000000u},
    {offsetof(GPIO_TypeDef, OSPEEDR), 0x0C000000u},
    {offsetof(GPIO_TypeDef, PUPDR), 0x64000000u},
    {offsetof(GPIO_TypeDef, IDR), 0, ~kIdrPins},
};
inline constexpr ResetValue kGpioBReset[] = {
    {offsetof(GPIO_TypeDef, MODER), 0x00000280u},
    {offsetof(GPIO_TypeDef, OSPEEDR), 0x000000C0u},
    {offsetof(GPIO_TypeDef, PUPDR), 0x00000100u},
    {offsetof(GPIO_TypeDef, IDR), 0, ~kIdrPins},
};
inline constexpr ResetValue kGpioReset[] = {
    {offsetof(GPIO_TypeDef, IDR), 0, ~kIdrPins},
};
// The auto-reload register is all ones, as wide as the counter.
inline constexpr ResetValue kTim32Reset[] = {
    {offsetof(TIM_TypeDef, ARR), 0xFFFFFFFFu},
};
inline constexpr ResetValue kTim16Reset[] = {
    {offsetof(TIM_TypeDef, ARR), 0x0000FFFFu},
};
inline constexpr ResetValue kSpiReset[] = {
    {offsetof(SPI_TypeDef, SR), SPI_SR_TXE},
    {offsetof(SPI_TypeDef, CRCPR), 0x0007u},  // CRCPOLY 7
    {offsetof(SPI_TypeDef, I2SPR), 0x0002u},  // I2SDIV 2
};
inline constexpr ResetValue kUsartReset[] = {
    {offsetof(USART_TypeDef, SR), USART_SR_TXE | USART_SR_TC},
};

// One row per modelled on-chip instance, in the order the board builds
// them (the order of their resets).
struct DeviceRow {
  std::string_view name;
  Kind kind;
  int number;  // instance number (the port's index for GPIO: A = 0)
  std::uintptr_t base;
  std::uint32_t size;  // the register block
  int irq;             // the device's interrupt line (IRQn), or kNoIrq
  Gate gate;
  std::span<const ResetValue> reset;  // its registers' reset values that are not 0
};

inline constexpr DeviceRow kDevices[] = {
    // The NVIC's block reaches past the SCB (its STIR sits beyond it): it
    // is mapped first, so that the SCB's registers win inside it.
    {"NVIC", Kind::nvic, 0, NVIC_BASE, sizeof(NVIC_Type), kNoIrq, Gate::none(), {}},
    {"SCB", Kind::scb, 0, SCB_BASE, sizeof(SCB_Type), kNoIrq, Gate::none(), kScbReset},
    {"SysTick", Kind::systick, 0, SysTick_BASE, sizeof(SysTick_Type), kNoIrq, Gate::none(), kSysTickReset},
    {"RCC", Kind::rcc, 0, RCC_BASE, sizeof(RCC_TypeDef), kNoIrq, Gate::none(), kRccReset},
    {"PWR", Kind::pwr, 0, PWR_BASE, sizeof(PWR_TypeDef), kNoIrq, Gate::apb1(RCC_APB1ENR_PWREN), kPwrReset},
    {"FLASH", Kind::flash, 0, FLASH_R_BASE, sizeof(FLASH_TypeDef), kNoIrq, Gate::none(), kFlashReset},
    {"GPIOA", Kind::gpio, 0, GPIOA_BASE, sizeof(GPIO_TypeDef), kNoIrq, Gate::ahb1(RCC_AHB1Periph_GPIOA), kGpioAReset},
    {"GPIOB", Kind::gpio, 1, GPIOB_BASE, sizeof(GPIO_TypeDef), kNoIrq, Gate::ahb1(RCC_AHB1Periph_GPIOB), kGpioBReset},
    {"GPIOC", Kind::gpio, 2, GPIOC_BASE, sizeof(GPIO_TypeDef), kNoIrq, Gate::ahb1(RCC_AHB1Periph_GPIOC), kGpioReset},
    {"TIM2", Kind::timer, 2, TIM2_BASE, sizeof(TIM_TypeDef), TIM2_IRQn, Gate::apb1(RCC_APB1Periph_TIM2), kTim32Reset},
    {"TIM3", Kind::timer, 3, TIM3_BASE, sizeof(TIM_TypeDef), TIM3_IRQn, Gate::apb1(RCC_APB1Periph_TIM3), kTim16Reset},
    {"TIM5", Kind::timer, 5, TIM5_BASE, sizeof(TIM_TypeDef), TIM5_IRQn, Gate::apb1(RCC_APB1Periph_TIM5), kTim32Reset},
    {"TIM6", Kind::timer, 6, TIM6_BASE, sizeof(TIM_TypeDef), TIM6_DAC_IRQn, Gate::apb1(RCC_APB1Periph_TIM6), kTim16Reset},
    {"SPI2", Kind::spi, 2, SPI2_BASE, sizeof(SPI_TypeDef), SPI2_IRQn, Gate::apb1(RCC_APB1Periph_SPI2), kSpiReset},
    // USART3 is the ground station's link; the others are there for the
    // firmware's spare handler and for tests, unwired.
    {"USART1", Kind::usart, 1, USART1_BASE, sizeof(USART_TypeDef), USART1_IRQn, Gate::apb2(RCC_APB2Periph_USART1), kUsartReset},
    {"USART2", Kind::usart, 2, USART2_BASE, sizeof(USART_TypeDef), USART2_IRQn, Gate::apb1(RCC_APB1Periph_USART2), kUsartReset},
    {"USART3", Kind::usart, 3, USART3_BASE, sizeof(USART_TypeDef), USART3_IRQn, Gate::apb1(RCC_APB1Periph_USART3), kUsartReset},
    {"USART6", Kind::usart, 6, USART6_BASE, sizeof(USART_TypeDef), USART6_IRQn, Gate::apb2(RCC_APB2Periph_USART6), kUsartReset},
    {"SYSCFG", Kind::syscfg, 0, SYSCFG_BASE, sizeof(SYSCFG_TypeDef), kNoIrq, Gate::apb2(RCC_APB2Periph_SYSCFG), {}},
    // EXTI's lines have interrupts of their own: kExtiIrqs.
    {"EXTI", Kind::exti, 0, EXTI_BASE, sizeof(EXTI_TypeDef), kNoIrq, Gate::none(), {}},
};

// Each reset value names a whole register inside its device's block, once,
// and sets no bit the manual leaves open.
constexpr bool reset_values_well_formed() {
  for (const DeviceRow& row : kDevices)
    for (const ResetValue& r : row.reset) {
      if (r.offset % 4 != 0 || r.offset + 4 > row.size || (r.value & ~r.defined) != 0) return false;
      for (const ResetValue& other : row.reset)
        if (&other != &r && other.offset == r.offset) return false;
    }
  return true;
}
static_assert(reset_values_well_formed());

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

// EXTI's interrupt lines: a group of its lines 0 to 15 and the line they share.
struct ExtiIrq {
  std::uint32_t lines;
  int irq;
};
inline constexpr ExtiIrq kExtiIrqs[] = {
    {1u << 0, EXTI0_IRQn},          {1u << 1, EXTI1_IRQn}, {1u << 2, EXTI2_IRQn}, {1u << 3, EXTI3_IRQn},
    {1u << 4, EXTI4_IRQn},          {0x03E0u, EXTI9_5_IRQn},  // lines 5 to 9
    {0xFC00u, EXTI15_10_IRQn},  // lines 10 to 15
};

// The chip's alternate-function map for the modelled devices' signals:
// which pins can carry a signal, and the function number that connects it.
struct AfPin {
  std::string_view device;
  std::string_view signal;
  char port;
  int pin;
  unsigned af;
};

inline constexpr AfPin kAfPins[] = {
    {"TIM2", "CH1", 'A', 0, GPIO_AF_TIM2},    {"TIM2", "CH1", 'A', 5, GPIO_AF_TIM2},
    {"TIM2", "CH1", 'A', 15, GPIO_AF_TIM2},   {"TIM2", "CH2", 'A', 1, GPIO_AF_TIM2},
    {"TIM2", "CH2", 'B', 3, GPIO_AF_TIM2},    {"TIM2", "CH3", 'A', 2, GPIO_AF_TIM2},
    {"TIM2", "CH3", 'B', 10, GPIO_AF_TIM2},   {"TIM2", "CH4", 'A', 3, GPIO_AF_TIM2},
    {"TIM2", "CH4", 'B', 11, GPIO_AF_TIM2},   {"TIM3", "CH1", 'A', 6, GPIO_AF_TIM3},
    {"TIM3", "CH1", 'B', 4, GPIO_AF_TIM3},    {"TIM3", "CH1", 'C', 6, GPIO_AF_TIM3},
    {"TIM3", "CH2", 'A', 7, GPIO_AF_TIM3},    {"TIM3", "CH2", 'B', 5, GPIO_AF_TIM3},
    {"TIM3", "CH2", 'C', 7, GPIO_AF_TIM3},    {"TIM3", "CH3", 'B', 0, GPIO_AF_TIM3},
    {"TIM3", "CH3", 'C', 8, GPIO_AF_TIM3},    {"TIM3", "CH4", 'B', 1, GPIO_AF_TIM3},
    {"TIM3", "CH4", 'C', 9, GPIO_AF_TIM3},    {"TIM5", "CH1", 'A', 0, GPIO_AF_TIM5},
    {"TIM5", "CH2", 'A', 1, GPIO_AF_TIM5},    {"TIM5", "CH3", 'A', 2, GPIO_AF_TIM5},
    {"TIM5", "CH4", 'A', 3, GPIO_AF_TIM5},    {"SPI2", "SCK", 'B', 13, GPIO_AF_SPI2},
    {"SPI2", "MISO", 'B', 14, GPIO_AF_SPI2},  {"SPI2", "MOSI", 'B', 15, GPIO_AF_SPI2},
    {"USART1", "TX", 'A', 9, GPIO_AF_USART1}, {"USART1", "RX", 'A', 10, GPIO_AF_USART1},
    {"USART2", "TX", 'A', 2, GPIO_AF_USART2}, {"USART2", "RX", 'A', 3, GPIO_AF_USART2},
    {"USART3", "TX", 'B', 10, GPIO_AF_USART3}, {"USART3", "RX", 'B', 11, GPIO_AF_USART3},
    {"USART6", "TX", 'C', 6, GPIO_AF_USART6}, {"USART6", "RX", 'C', 7, GPIO_AF_USART6},
};

// The alternate function that puts `device`'s `signal` on a pin; a pin
// that cannot carry it does not compile in a constant expression.
constexpr unsigned af(std::string_view device, std::string_view signal, char port, int pin) {
  for (const AfPin& p : kAfPins)
    if (p.device == device && p.signal == signal && p.port == port && p.pin == pin) return p.af;
  throw "this pin cannot carry that signal";
}

// The first pin that can carry `device`'s `signal` (the one a device with a
// single choice uses), or nullptr.
constexpr const AfPin* af_pin(std::string_view device, std::string_view signal) {
  for (const AfPin& p : kAfPins)
    if (p.device == device && p.signal == signal) return &p;
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

inline constexpr PinRow kWiring[] = {
    {"sensor PWM", 'C', 6, af("TIM3", "CH1", 'C', 6), "position sensor, PWM output (TIM3 CH1)"},
    {"key up", 'C', 7, 0, "key panel"},
    {"key down", 'C', 8, 0, "key panel"},
    {"heartbeat LED", 'A', 6, 0, "LED"},
    {"status LED", 'A', 7, 0, "LED"},
    {"USART3 TX", 'B', 10, af("USART3", "TX", 'B', 10), "ground station, receive line"},
    {"USART3 RX", 'B', 11, af("USART3", "RX", 'B', 11), "ground station, transmit line"},
    {"SPI2 SCK", 'B', 13, af("SPI2", "SCK", 'B', 13), "position sensor, SPI"},
    {"SPI2 MISO", 'B', 14, af("SPI2", "MISO", 'B', 14), "position sensor, SPI"},
    {"SPI2 MOSI", 'B', 15, af("SPI2", "MOSI", 'B', 15), "position sensor, SPI"},
    {"sensor chip select", 'B', 12, 0, "position sensor, SPI"},
    {"phase A", 'A', 0, af("TIM5", "CH1", 'A', 0), "inverter, leg 1 (TIM5 CH1)"},
    {"phase B", 'A', 1, af("TIM5", "CH2", 'A', 1), "inverter, leg 2 (TIM5 CH2)"},
    {"phase C", 'A', 2, af("TIM5", "CH3", 'A', 2), "inverter, leg 3 (TIM5 CH3)"},
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
