#include "vboard/parts/as5048a.h"

#include <bit>
#include <cmath>

#include "vboard/chip/hardware.h"

namespace vboard {

namespace {
constexpr std::uint16_t kParityBit = 0x8000, kErrorFlag = 0x4000, kReadBit = 0x4000, kData = 0x3FFF;
constexpr char kCsPort = hw::pin("sensor chip select").port;
constexpr int kCsPin = hw::pin("sensor chip select").pin;

bool even_parity(std::uint16_t w) { return (std::popcount(w) & 1) == 0; }
}  // namespace

As5048a::As5048a(const Context& context, Spi& spi, GpioPorts& ports, Rotor& rotor)
    : Part(context, "AS5048A"), ports_(ports), rotor_(rotor) {
  spi.attach(this, kCsPort, kCsPin);
}

void As5048a::reset() {
  absent_ = false;
  bad_parity_ = false;
  error_forced_ = false;
  error_flag_ = false;
  error_bits_ = 0;
  write_next_ = false;
  write_address_ = 0;
  written_.clear();
  commands_.clear();
  pending_ = reply(0);
}

void As5048a::set_angle(double degrees, double degrees_per_second) {
  rotor_.set(degrees, degrees_per_second, ctx_.now());
}

std::uint16_t As5048a::count_of(double degrees) {
  const long counts = static_cast<long>(round_half_away(degrees / 360.0 * 16384.0) % 16384);
  return static_cast<std::uint16_t>(counts < 0 ? counts + 16384 : counts);
}

std::vector<std::uint16_t> As5048a::command_words() const {
  std::vector<std::uint16_t> words;
  words.reserve(commands_.size());
  for (const auto& c : commands_) words.push_back(c.word);
  return words;
}

bool As5048a::selected() const { return !ports_[kCsPort].level(kCsPin); }

void As5048a::raise_error(std::uint16_t bits) {
  error_flag_ = true;
  error_bits_ = static_cast<std::uint16_t>(error_bits_ | bits);
}

std::uint16_t As5048a::reply(std::uint16_t data) const {
  std::uint16_t w = static_cast<std::uint16_t>(data & kData);
  if (error_flag_ || error_forced_) w = static_cast<std::uint16_t>(w | kErrorFlag);
  if (!even_parity(w)) w = static_cast<std::uint16_t>(w | kParityBit);
  if (bad_parity_) w = static_cast<std::uint16_t>(w ^ kParityBit);
  return w;
}

std::uint16_t As5048a::read_register(std::uint16_t address, Ticks now) {
  switch (address) {
    case kRegNop: return 0;
    case kRegClearError: return error_bits_;
    case kRegDiagnostics: return kDiagnostics;
    case kRegMagnitude: return kMagnitude;
    case kRegAngle: return count_of(rotor_.sensor_angle(now));
    default:
      for (const auto& [a, v] : written_)
        if (a == address) return v;
      return 0;
  }
}

std::uint16_t As5048a::exchange(std::uint16_t mosi, const SpiFormat& format, Ticks now) {
  if (absent_) return 0xFFFF;  // nothing drives the line
  const std::uint16_t out = pending_;
  const bool parity_ok = even_parity(mosi);
  commands_.push_back({now, mosi, parity_ok});

  if (format.bits != 16 || format.mode() != 1) {
    // Clocked in the wrong shape: the word is not understood.
    write_next_ = false;
    raise_error(kFramingError);
    pending_ = reply(0);
    return out;
  }

  if (write_next_) {
    // The data frame of a write.
    write_next_ = false;
    if (!parity_ok) {
      raise_error(kParityError);
      pending_ = reply(0);
      return out;
    }
    const std::uint16_t value = static_cast<std::uint16_t>(mosi & kData);
    bool stored = false;
    for (auto& [a, v] : written_) {
      if (a == write_address_) {
        v = value;
        stored = true;
      }
    }
    if (!stored) written_.emplace_back(write_address_, value);
    pending_ = reply(value);
    return out;
  }

  if (!parity_ok) {
    raise_error(kParityError);
    pending_ = reply(0);
    return out;
  }

  const std::uint16_t address = static_cast<std::uint16_t>(mosi & kData);
  if (mosi & kReadBit) {
    pending_ = reply(read_register(address, now));
    if (address == kRegClearError) {
      // The reply carries the error register with the flag as it stood.
      error_flag_ = false;
      error_bits_ = 0;
    }
    return out;
  }

  // A write command: its data comes in the next frame.
  switch (address) {
    case kRegNop:
    case kRegClearError:
    case kRegDiagnostics:
    case kRegMagnitude:
    case kRegAngle:
      raise_error(kInvalidCommand);  // read-only
      pending_ = reply(0);
      return out;
    default:
      write_next_ = true;
      write_address_ = address;
      pending_ = reply(read_register(address, now));
      return out;
  }
}

void As5048a::select(bool /*active*/, bool mid_frame, Ticks /*now*/) {
  if (absent_) return;
  if (mid_frame) raise_error(kFramingError);
}

}  // namespace vboard
