// Named bits of the timer registers and the timers' pins, shared by the
// parts of the timer model (time base, capture, PWM output).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "vboard/tim_model.h"

namespace vboard::tim {

constexpr std::uint16_t CEN = 0x0001, UDIS = 0x0002, URS = 0x0004, OPM = 0x0008, DIR = 0x0010, CMS = 0x0060,
                        ARPE = 0x0080;
constexpr std::uint16_t UG = 0x0001, TG = 0x0040;
constexpr std::uint16_t UIF = 0x0001, TIF = 0x0040;
constexpr std::uint16_t kInterruptFlags = 0x005F;  // UIF, CC1IF..CC4IF, TIF

constexpr std::uint16_t cc_flag(int ch) { return static_cast<std::uint16_t>(1u << ch); }
constexpr std::uint16_t overcapture_flag(int ch) { return static_cast<std::uint16_t>(1u << (ch + 8)); }
constexpr std::uint32_t ccr_offset(int ch) { return Timer::kCCR1 + 4u * static_cast<std::uint32_t>(ch - 1); }
constexpr std::size_t slot(int ch) { return static_cast<std::size_t>(ch - 1); }


// Output-compare modes (OCxM) the model implements; the others (the match,
// toggle and forced modes) no firmware path uses.
constexpr unsigned kFrozen = 0, kPwm1 = 6, kPwm2 = 7;
// Slave modes (SMS) the model implements.
constexpr unsigned kSlaveOff = 0, kSlaveReset = 4;

// The pins of each channel on ports A to C, by timer (port 0: none).
struct PinRef {
  char port;
  int pin;
};
constexpr PinRef kNoPin{0, 0};
using ChannelPins = std::array<std::array<PinRef, 3>, 4>;
constexpr ChannelPins kTim2Pins{{{{{'A', 0}, {'A', 5}, {'A', 15}}},
                                 {{{'A', 1}, {'B', 3}, kNoPin}},
                                 {{{'A', 2}, {'B', 10}, kNoPin}},
                                 {{{'A', 3}, {'B', 11}, kNoPin}}}};
constexpr ChannelPins kTim3Pins{{{{{'A', 6}, {'B', 4}, {'C', 6}}},
                                 {{{'A', 7}, {'B', 5}, {'C', 7}}},
                                 {{{'B', 0}, {'C', 8}, kNoPin}},
                                 {{{'B', 1}, {'C', 9}, kNoPin}}}};
constexpr ChannelPins kTim5Pins{{{{{'A', 0}, kNoPin, kNoPin}},
                                 {{{'A', 1}, kNoPin, kNoPin}},
                                 {{{'A', 2}, kNoPin, kNoPin}},
                                 {{{'A', 3}, kNoPin, kNoPin}}}};

inline const ChannelPins* pins_of(int timer) {
  switch (timer) {
    case 2: return &kTim2Pins;
    case 3: return &kTim3Pins;
    case 5: return &kTim5Pins;
    default: return nullptr;
  }
}

// Alternate function that connects the timer to its pins.
inline unsigned af_of(int timer) { return timer == 2 ? 1u : 2u; }

constexpr unsigned kModeAlternate = 2;

}  // namespace vboard::tim
