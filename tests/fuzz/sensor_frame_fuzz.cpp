// Fuzz target for the ground station's sensor-frame search. From one input
// it checks three things and aborts on the first that fails:
//  - the input as a stream, fed in chunks whose lengths the input picks:
//    every byte is accounted for (23 x good + garbage + pending = fed), and
//    every frame reported parses back to its values at its offset;
//  - a frame built from the input's first 18 bytes, put between the rest
//    (as garbage before it) and the same garbage after it, is found at its
//    offset, unless a false frame (garbage whose 8-bit sum happens to match)
//    began before it and overlaps it;
//  - the same frame with any one byte changed parses as nothing and yields
//    no frame from the stream search.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "sensor_frame.h"

namespace {

using telemetry::kSensorFrameSize;
using telemetry::SensorFrameDecoder;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "sensor frame fuzz: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

void check_accounting(const SensorFrameDecoder& d) {
  check(d.bytes_fed() == kSensorFrameSize * d.good_frames() + d.garbage_bytes() + d.pending(),
        "bytes fed != 23 x good + garbage + pending");
  check(d.pending() < kSensorFrameSize, "a whole frame's worth of bytes pending");
}

// Feeds `stream` in chunks of 1 to 32 bytes as `sizes` picks them; returns
// the frames found and checks each against the bytes at its offset.
std::vector<telemetry::SensorFrame> feed_all(SensorFrameDecoder& d, std::span<const std::uint8_t> stream,
                                             std::span<const std::uint8_t> sizes) {
  std::vector<telemetry::SensorFrame> found;
  std::size_t at = 0;
  std::size_t pick = 0;
  std::uint64_t last_end = 0;
  while (at < stream.size()) {
    std::size_t n = sizes.empty() ? 1 : 1 + sizes[pick++ % sizes.size()] % 32;
    if (n > stream.size() - at) n = stream.size() - at;
    for (const auto& f : d.feed(stream.subspan(at, n))) {
      check(f.offset >= last_end, "frames overlap or go backwards");
      check(f.offset + kSensorFrameSize <= at + n, "frame reported before its last byte");
      const auto values = telemetry::parse_sensor_frame(stream.subspan(f.offset, kSensorFrameSize));
      check(values.has_value() && *values == f.values, "reported frame does not parse to its values");
      last_end = f.offset + kSensorFrameSize;
      found.push_back(f);
    }
    at += n;
    check_accounting(d);
  }
  check(d.bytes_fed() == stream.size(), "bytes fed miscounted");
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);

  SensorFrameDecoder stream_decoder;
  feed_all(stream_decoder, input, input);

  // A frame in garbage.
  telemetry::SensorValues values{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint8_t hi = 2 * i < size ? data[2 * i] : 0;
    const std::uint8_t lo = 2 * i + 1 < size ? data[2 * i + 1] : 0;
    values[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((hi << 8) | lo));
  }
  const auto frame = telemetry::build_sensor_frame(values);
  const std::span<const std::uint8_t> garbage = size > 18 ? input.subspan(18) : std::span<const std::uint8_t>{};
  std::vector<std::uint8_t> stream(garbage.begin(), garbage.end());
  stream.insert(stream.end(), frame.begin(), frame.end());
  stream.insert(stream.end(), garbage.begin(), garbage.end());
  SensorFrameDecoder d;
  const auto found = feed_all(d, stream, input.first(size < 4 ? size : 4));
  bool seen = false;
  bool shadowed = false;
  for (const auto& f : found) {
    if (f.offset == garbage.size()) seen = f.values == values;
    if (f.offset < garbage.size() && f.offset + kSensorFrameSize > garbage.size()) shadowed = true;
  }
  check(seen || shadowed, "a valid frame after garbage was not found");

  // One byte changed: rejected by the parser and by the stream search.
  if (size >= 2) {
    auto bad = frame;
    const std::size_t at = data[0] % kSensorFrameSize;
    const auto to = static_cast<std::uint8_t>(data[1] == bad[at] ? bad[at] ^ 0x01u : data[1]);
    bad[at] = to;
    check(!telemetry::parse_sensor_frame(bad).has_value(), "a frame with one byte changed parses");
    SensorFrameDecoder one;
    check(one.feed(bad).empty(), "a frame with one byte changed is found in the stream");
    check_accounting(one);
  }
  return 0;
}
