// The names of the faults the virtual board can put on the firmware, with
// the parameter each takes. Header-only, so that the scenario reader can
// check names without the board (host/vboard/faults/faults.h switches them).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vboard {

enum class FaultKind : std::uint8_t {
  kNoSensor,      // no sensor at all: SPI data line high, no PWM signal
  kBadParity,     // every SPI reply carries the wrong parity bit
  kPwmCut,        // the PWM angle line is cut (the pin's pull decides)
  kPwmFrequency,  // the PWM signal's frequency is off by `percent`
  kPwmRunt,       // runt high pulses of `width` at `rate` on the PWM line
  kPwmDropout,    // dropouts (line low) of `width` at `rate` on the PWM line
  kPwmStuckHigh,  // the PWM line shorted to the supply
  kPwmStuckLow,   // the PWM line shorted to ground
  kSpiNoSensor,   // the sensor does not answer on SPI (data line high); PWM goes on
  kSpiErrorFlag,  // the sensor sets its error flag in every SPI reply
  kUsartNoise,    // `percent` of the received bytes carry noise (NE)
  kUsartFraming,  // `percent` of the received bytes have a stop bit low (FE)
  kUsartFlood,    // the ground station sends bytes back to back at line rate
  kKeyBounce,     // the key contacts bounce for `bounce` at every press and release
  kKeyChatter,    // a worn key: short low spikes on its pin at `rate`
  kCrystalFails,  // the 24 MHz crystal never starts (matters at start-up only)
};

// What a fault's parameter is.
enum class FaultParameter : std::uint8_t {
  kNone,
  kPercent,    // percent: pwm-frequency (signed), usart-noise and usart-framing (share of bytes)
  kWidthRate,  // width (microseconds) and rate (per second)
  kBounce,     // bounce time (milliseconds)
  kRate,       // events per second
};

struct FaultKindInfo {
  FaultKind kind;
  std::string_view name;  // as scenario files and reports spell it
  FaultParameter parameter;
};

inline constexpr std::array<FaultKindInfo, 16> kFaultKinds{{
    {FaultKind::kNoSensor, "no-sensor", FaultParameter::kNone},
    {FaultKind::kBadParity, "bad-parity", FaultParameter::kNone},
    {FaultKind::kPwmCut, "pwm-cut", FaultParameter::kNone},
    {FaultKind::kPwmFrequency, "pwm-frequency", FaultParameter::kPercent},
    {FaultKind::kPwmRunt, "pwm-runt", FaultParameter::kWidthRate},
    {FaultKind::kPwmDropout, "pwm-dropout", FaultParameter::kWidthRate},
    {FaultKind::kPwmStuckHigh, "pwm-stuck-high", FaultParameter::kNone},
    {FaultKind::kPwmStuckLow, "pwm-stuck-low", FaultParameter::kNone},
    {FaultKind::kSpiNoSensor, "spi-no-sensor", FaultParameter::kNone},
    {FaultKind::kSpiErrorFlag, "spi-error-flag", FaultParameter::kNone},
    {FaultKind::kUsartNoise, "usart-noise", FaultParameter::kPercent},
    {FaultKind::kUsartFraming, "usart-framing", FaultParameter::kPercent},
    {FaultKind::kUsartFlood, "usart-flood", FaultParameter::kNone},
    {FaultKind::kKeyBounce, "key-bounce", FaultParameter::kBounce},
    {FaultKind::kKeyChatter, "key-chatter", FaultParameter::kRate},
    {FaultKind::kCrystalFails, "crystal-fails", FaultParameter::kNone},
}};

constexpr const FaultKindInfo& fault_kind_info(FaultKind kind) { return kFaultKinds[static_cast<std::size_t>(kind)]; }
constexpr std::string_view fault_kind_name(FaultKind kind) { return fault_kind_info(kind).name; }
constexpr const FaultKindInfo* fault_kind_named(std::string_view name) {
  for (const auto& k : kFaultKinds)
    if (k.name == name) return &k;
  return nullptr;
}

constexpr bool indexed_by_kind() {
  for (std::size_t i = 0; i < kFaultKinds.size(); ++i)
    if (static_cast<std::size_t>(kFaultKinds[i].kind) != i) return false;
  return true;
}
static_assert(indexed_by_kind(), "the table is indexed by the kind");

}  // namespace vboard
