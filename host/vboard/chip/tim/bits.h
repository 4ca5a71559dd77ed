// Named bits of the timer registers and the timers' pins, shared by the
// parts of the timer model (time base, capture, PWM output).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "device.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/tim/timer.h"

namespace vboard::tim {

constexpr std::uint16_t CEN = TIM_CR1_CEN, UDIS = TIM_CR1_UDIS, URS = TIM_CR1_URS, OPM = TIM_CR1_OPM, DIR = TIM_CR1_DIR,
                        CMS = TIM_CR1_CMS, ARPE = TIM_CR1_ARPE;
constexpr std::uint16_t UG = TIM_EGR_UG, TG = TIM_EGR_TG;
constexpr std::uint16_t UIF = TIM_SR_UIF, TIF = TIM_SR_TIF;
// UIF, CC1IF..CC4IF, TIF: the flags whose interrupt enables sit in DIER at
// the same places.
constexpr std::uint16_t kInterruptFlags =
    TIM_DIER_UIE | TIM_DIER_CC1IE | TIM_DIER_CC2IE | TIM_DIER_CC3IE | TIM_DIER_CC4IE | TIM_DIER_TIE;

constexpr std::uint16_t cc_flag(int ch) { return static_cast<std::uint16_t>(1u << ch); }
constexpr std::uint16_t overcapture_flag(int ch) { return static_cast<std::uint16_t>(1u << (ch + 8)); }
constexpr std::uint32_t ccr_offset(int ch) { return Timer::kCCR1 + 4u * static_cast<std::uint32_t>(ch - 1); }
constexpr std::size_t slot(int ch) { return static_cast<std::size_t>(ch - 1); }


// Output-compare modes (OCxM) the model implements; the others (the match,
// toggle and forced modes) no firmware path uses.
constexpr unsigned kFrozen = 0, kPwm1 = 6, kPwm2 = 7;
// Slave modes (SMS) the model implements.
constexpr unsigned kSlaveOff = 0, kSlaveReset = 4;

// The pins of each channel on ports A to C, by timer (port 0: none), from
// the chip's alternate-function map in the board's table.
struct PinRef {
  char port;
  int pin;
};
constexpr PinRef kNoPin{0, 0};
using ChannelPins = std::array<std::array<PinRef, 3>, 4>;

constexpr ChannelPins channel_pins(std::string_view timer) {
  ChannelPins pins{};
  for (std::size_t ch = 0; ch < 4; ++ch) {
    std::size_t n = 0;
    for (const hw::AfPin& p : hw::kAfPins)
      if (p.device == timer && p.signal.size() == 3 && p.signal.starts_with("CH") && static_cast<std::size_t>(p.signal[2] - '1') == ch)
        pins[ch].at(n++) = {p.port, p.pin};
  }
  return pins;
}
constexpr ChannelPins kTim2Pins = channel_pins("TIM2");
constexpr ChannelPins kTim3Pins = channel_pins("TIM3");
constexpr ChannelPins kTim5Pins = channel_pins("TIM5");

inline const ChannelPins* pins_of(int timer) {
  switch (timer) {
    case 2: return &kTim2Pins;
    case 3: return &kTim3Pins;
    case 5: return &kTim5Pins;
    default: return nullptr;
  }
}

// Alternate function that connects the timer to its pins.
inline unsigned af_of(int timer) {
  static constexpr unsigned kTim2 = hw::af_pin("TIM2", "CH1")->af, kOthers = hw::af_pin("TIM3", "CH1")->af;
  static_assert(kOthers == hw::af_pin("TIM5", "CH1")->af);
  return timer == 2 ? kTim2 : kOthers;
}

constexpr unsigned kModeAlternate = GpioPort::kModeAlternate;

}  // namespace vboard::tim
