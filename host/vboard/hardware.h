// The board described once, as data: the on-chip devices the virtual board
// models (base address, interrupt line, clock gate), and the board's wiring
// around the chip (which pin goes where, to which off-chip part). Every
// number comes from the firmware's device description; the board is built
// by walking these tables, and tests name hardware through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "device.h"
#include "drv_gpio.h"
#include "drv_rcc.h"

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
    {"phase A", 'A', 0, kAfTim5, "phase drive (TIM5 CH1)"},
    {"phase B", 'A', 1, kAfTim5, "phase drive (TIM5 CH2)"},
    {"phase C", 'A', 2, kAfTim5, "phase drive (TIM5 CH3)"},
};

constexpr const PinRow& pin(std::string_view signal) {
  for (const PinRow& row : kWiring)
    if (row.signal == signal) return row;
  throw "no such signal on this board";
}

}  // namespace vboard::hw
