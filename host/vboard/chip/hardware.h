// The board described once, as data: the on-chip devices the virtual board
// models (base address, interrupt line, clock gate), the chip's
// alternate-function map, and the board's wiring around the chip (which pin
// goes where, to which off-chip part). The board is built by walking these
// tables, and tests name hardware through them.
//
// The chip facts (addresses, interrupt numbers, clock-gate bits, alternate
// functions) are written out here as the reference manual and the
// datasheet give them, never taken from the firmware's headers: the board
// is there to catch a wrong constant in the firmware, not to repeat it. The
// register blocks' layouts (offsets, sizes and field masks) come from the
// device description the firmware and the board share (device.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "device.h"

namespace vboard::hw {

enum class Kind { nvic, scb, systick, rcc, pwr, flash, gpio, timer, spi, usart, syscfg, exti };

// An RCC enable register (its offset in the RCC block) and the bit that
// gates a device's clock; offset 0: always clocked. Made from the enable
// bit's number, as the manual lists it (APB1ENR bit 1: TIM3EN).
struct Gate {
  std::uint32_t offset;
  std::uint32_t bit;
  static constexpr Gate none() { return {0, 0}; }
  static constexpr Gate apb1(unsigned number) { return {offsetof(RCC_TypeDef, APB1ENR), 1u << number}; }
  static constexpr Gate apb2(unsigned number) { return {offsetof(RCC_TypeDef, APB2ENR), 1u << number}; }
  static constexpr Gate ahb1(unsigned number) { return {offsetof(RCC_TypeDef, AHB1ENR), 1u << number}; }
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

// Base addresses (the manual's memory map), interrupt numbers (the
// position in the vector table after the 16 system exceptions) and the
// enable bits of the clock gates (RCC_AHB1ENR, RCC_APB1ENR, RCC_APB2ENR).
inline constexpr DeviceRow kDevices[] = {
    // The NVIC's block reaches past the SCB (its STIR sits beyond it): it
    // is mapped first, so that the SCB's registers win inside it.
    {"NVIC", Kind::nvic, 0, 0xE000'E100u, sizeof(NVIC_Type), kNoIrq, Gate::none(), {}},
    {"SCB", Kind::scb, 0, 0xE000'ED00u, sizeof(SCB_Type), kNoIrq, Gate::none(), kScbReset},
    {"SysTick", Kind::systick, 0, 0xE000'E010u, sizeof(SysTick_Type), kNoIrq, Gate::none(), kSysTickReset},
    {"RCC", Kind::rcc, 0, 0x4002'3800u, sizeof(RCC_TypeDef), kNoIrq, Gate::none(), kRccReset},
    {"PWR", Kind::pwr, 0, 0x4000'7000u, sizeof(PWR_TypeDef), kNoIrq, Gate::apb1(28), kPwrReset},
    {"FLASH", Kind::flash, 0, 0x4002'3C00u, sizeof(FLASH_TypeDef), kNoIrq, Gate::none(), kFlashReset},
    {"GPIOA", Kind::gpio, 0, 0x4002'0000u, sizeof(GPIO_TypeDef), kNoIrq, Gate::ahb1(0), kGpioAReset},
    {"GPIOB", Kind::gpio, 1, 0x4002'0400u, sizeof(GPIO_TypeDef), kNoIrq, Gate::ahb1(1), kGpioBReset},
    {"GPIOC", Kind::gpio, 2, 0x4002'0800u, sizeof(GPIO_TypeDef), kNoIrq, Gate::ahb1(2), kGpioReset},
    {"TIM2", Kind::timer, 2, 0x4000'0000u, sizeof(TIM_TypeDef), 28, Gate::apb1(0), kTim32Reset},
    {"TIM3", Kind::timer, 3, 0x4000'0400u, sizeof(TIM_TypeDef), 29, Gate::apb1(1), kTim16Reset},
    {"TIM5", Kind::timer, 5, 0x4000'0C00u, sizeof(TIM_TypeDef), 50, Gate::apb1(3), kTim32Reset},
    // TIM6 shares its line with the DAC's underrun.
    {"TIM6", Kind::timer, 6, 0x4000'1000u, sizeof(TIM_TypeDef), 54, Gate::apb1(4), kTim16Reset},
    {"SPI2", Kind::spi, 2, 0x4000'3800u, sizeof(SPI_TypeDef), 36, Gate::apb1(14), kSpiReset},
    // USART3 is the ground station's link; the others are there for the
    // firmware's spare handler and for tests, unwired.
    {"USART1", Kind::usart, 1, 0x4001'1000u, sizeof(USART_TypeDef), 37, Gate::apb2(4), kUsartReset},
    {"USART2", Kind::usart, 2, 0x4000'4400u, sizeof(USART_TypeDef), 38, Gate::apb1(17), kUsartReset},
    {"USART3", Kind::usart, 3, 0x4000'4800u, sizeof(USART_TypeDef), 39, Gate::apb1(18), kUsartReset},
    {"USART6", Kind::usart, 6, 0x4001'1400u, sizeof(USART_TypeDef), 71, Gate::apb2(5), kUsartReset},
    {"SYSCFG", Kind::syscfg, 0, 0x4001'3800u, sizeof(SYSCFG_TypeDef), kNoIrq, Gate::apb2(14), {}},
    // EXTI's lines have interrupts of their own: kExtiIrqs.
    {"EXTI", Kind::exti, 0, 0x4001'3C00u, sizeof(EXTI_TypeDef), kNoIrq, Gate::none(), {}},
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
    {1u << 0, 6}, {1u << 1, 7}, {1u << 2, 8}, {1u << 3, 9}, {1u << 4, 10},
    {0x03E0u, 23},  // lines 5 to 9
    {0xFC00u, 40},  // lines 10 to 15
};

// The alternate-function numbers of the datasheet's map (AFRL and AFRH
// fields) for the modelled devices.
inline constexpr unsigned kAfTim1To2 = 1, kAfTim3To5 = 2, kAfSpi1To2 = 5, kAfUsart1To3 = 7, kAfUsart4To6 = 8;

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
    {"TIM2", "CH1", 'A', 0, kAfTim1To2},    {"TIM2", "CH1", 'A', 5, kAfTim1To2},
    {"TIM2", "CH1", 'A', 15, kAfTim1To2},   {"TIM2", "CH2", 'A', 1, kAfTim1To2},
    {"TIM2", "CH2", 'B', 3, kAfTim1To2},    {"TIM2", "CH3", 'A', 2, kAfTim1To2},
    {"TIM2", "CH3", 'B', 10, kAfTim1To2},   {"TIM2", "CH4", 'A', 3, kAfTim1To2},
    {"TIM2", "CH4", 'B', 11, kAfTim1To2},   {"TIM3", "CH1", 'A', 6, kAfTim3To5},
    {"TIM3", "CH1", 'B', 4, kAfTim3To5},    {"TIM3", "CH1", 'C', 6, kAfTim3To5},
    {"TIM3", "CH2", 'A', 7, kAfTim3To5},    {"TIM3", "CH2", 'B', 5, kAfTim3To5},
    {"TIM3", "CH2", 'C', 7, kAfTim3To5},    {"TIM3", "CH3", 'B', 0, kAfTim3To5},
    {"TIM3", "CH3", 'C', 8, kAfTim3To5},    {"TIM3", "CH4", 'B', 1, kAfTim3To5},
    {"TIM3", "CH4", 'C', 9, kAfTim3To5},    {"TIM5", "CH1", 'A', 0, kAfTim3To5},
    {"TIM5", "CH2", 'A', 1, kAfTim3To5},    {"TIM5", "CH3", 'A', 2, kAfTim3To5},
    {"TIM5", "CH4", 'A', 3, kAfTim3To5},    {"SPI2", "SCK", 'B', 13, kAfSpi1To2},
    {"SPI2", "MISO", 'B', 14, kAfSpi1To2},  {"SPI2", "MOSI", 'B', 15, kAfSpi1To2},
    {"USART1", "TX", 'A', 9, kAfUsart1To3}, {"USART1", "RX", 'A', 10, kAfUsart1To3},
    {"USART2", "TX", 'A', 2, kAfUsart1To3}, {"USART2", "RX", 'A', 3, kAfUsart1To3},
    {"USART3", "TX", 'B', 10, kAfUsart1To3}, {"USART3", "RX", 'B', 11, kAfUsart1To3},
    {"USART6", "TX", 'C', 6, kAfUsart4To6}, {"USART6", "RX", 'C', 7, kAfUsart4To6},
};

// The alternate function that puts `device`'s `signal` on a pin; a pin
// that cannot carry it does not compile in a constant expression.
constexpr unsigned af(std::string_view device, std::string_view signal, char port, int pin) {
  for (const AfPin& p : kAfPins)
    if (p.device == device && p.signal == signal && p.port == port && p.pin == pin) return p.af;
  throw "this pin cannot carry that signal";
}

// The modelled timer with a channel on a pin: its number, 0 when there is
// none, -1 when there is more than one.
constexpr int timer_on_pin(char port, int pin) {
  int found = 0;
  for (const AfPin& p : kAfPins)
    if (p.device.starts_with("TIM") && p.device.size() == 4 && p.port == port && p.pin == pin) {
      const int n = p.device[3] - '0';
      found = found == 0 || found == n ? n : -1;
    }
  return found;
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
    {"motor", "7 pole pairs; phases on the inverter's legs, as kDefaultWiring says (plant/motor_wiring.h)"},
    {"position sensor", "its magnet on the motor's shaft, as kDefaultWiring says (plant/motor_wiring.h)"},
};

constexpr const PinRow& pin(std::string_view signal) {
  for (const PinRow& row : kWiring)
    if (row.signal == signal) return row;
  throw "no such signal on this board";
}

}  // namespace vboard::hw
