#include "sensor_frame.h"

#include <algorithm>

namespace telemetry {

namespace {
constexpr std::size_t kChecksumAt = kSensorFrameSize - 1;
}  // namespace

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (const std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  return sum;
}

SensorFrameBytes build_sensor_frame(const SensorValues& values) {
  SensorFrameBytes out{};
  std::copy(kSensorHeader.begin(), kSensorHeader.end(), out.begin());
  std::size_t at = kSensorHeader.size();
  for (const std::int16_t v : values) {
    const auto u = static_cast<std::uint16_t>(v);
    out[at++] = static_cast<std::uint8_t>(u >> 8);
    out[at++] = static_cast<std::uint8_t>(u & 0xFFu);
  }
  out[kChecksumAt] = checksum(std::span<const std::uint8_t>(out.data(), kChecksumAt));
  return out;
}

std::optional<SensorValues> parse_sensor_frame(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kSensorFrameSize) return std::nullopt;
  if (!std::equal(kSensorHeader.begin(), kSensorHeader.end(), bytes.begin())) return std::nullopt;
  if (checksum(bytes.first(kChecksumAt)) != bytes[kChecksumAt]) return std::nullopt;
  SensorValues values{};
  for (std::size_t i = 0; i < kSensorValueCount; ++i) {
    const std::size_t at = kSensorHeader.size() + 2 * i;
    values[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]));
  }
  return values;
}

std::int64_t Unwrapper::feed(std::int16_t wire) {
  if (!started_) {
    started_ = true;
    last_ = wire;
  } else {
    // The step taken the short way round: -32768 .. 32767 counts.
    const auto step = static_cast<std::int16_t>(static_cast<std::uint16_t>(wire - previous_));
    const std::int64_t naive = static_cast<std::int64_t>(wire) - previous_;
    if (naive != step) ++wraps_;
    last_ += step;
  }
  previous_ = wire;
  return last_;
}

SensorFrame SensorFrameDecoder::complete(const SensorValues& values) {
  SensorFrame frame{values, fed_ - kSensorFrameSize};
  frame.angle_unwrapped = angle_.feed(values[kAx]);
  frame.setpoint_unwrapped = setpoint_.feed(values[kAy]);
  frame.unwrapped = frame.angle_unwrapped != values[kAx] || frame.setpoint_unwrapped != values[kAy];
  return frame;
}

void SensorFrameDecoder::reset() { *this = SensorFrameDecoder{}; }

void SensorFrameDecoder::drop_first() {
  std::copy(buffer_.begin() + 1, buffer_.begin() + static_cast<std::ptrdiff_t>(held_), buffer_.begin());
  --held_;
  ++garbage_;
}

std::optional<SensorFrame> SensorFrameDecoder::feed(std::uint8_t byte) {
  buffer_[held_++] = byte;
  ++fed_;
  while (held_ > 0) {
    // The held bytes must begin like a header.
    const std::size_t check = std::min(held_, kSensorHeader.size());
    if (!std::equal(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(check), kSensorHeader.begin())) {
      drop_first();
      continue;
    }
    if (held_ < kSensorFrameSize) return std::nullopt;
    if (auto values = parse_sensor_frame(buffer_)) {
      held_ = 0;
      ++good_;
      return complete(*values);
    }
    // Bad checksum: look again from the byte after this candidate's first.
    ++bad_;
    drop_first();
  }
  return std::nullopt;
}

std::vector<SensorFrame> SensorFrameDecoder::feed(std::span<const std::uint8_t> bytes) {
  std::vector<SensorFrame> frames;
  for (const std::uint8_t b : bytes) {
    if (auto frame = feed(b)) frames.push_back(*frame);
  }
  return frames;
}

}  // namespace telemetry
