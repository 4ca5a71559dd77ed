// The ground station's frame library: building frames, and finding them in
// streams that are clean, cut, damaged or buried in noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "sensor_frame.h"
#include "vectors/frame_vectors.h"

namespace {

using telemetry::build_sensor_frame;
using telemetry::parse_sensor_frame;
using telemetry::SensorFrame;
using telemetry::SensorFrameDecoder;
using telemetry::SensorValues;

using Bytes = std::vector<std::uint8_t>;

SensorValues values_of(const frame_vectors::FrameVector& v) {
  SensorValues out{};
  std::copy(std::begin(v.values), std::end(v.values), out.begin());
  return out;
}

Bytes bytes_of(const frame_vectors::FrameVector& v) { return Bytes(std::begin(v.bytes), std::end(v.bytes)); }

Bytes frame_bytes(const SensorValues& values) {
  const auto f = build_sensor_frame(values);
  return Bytes(f.begin(), f.end());
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// Everything the decoder found in `stream`, fed one byte at a time.
std::vector<SensorFrame> decode(SensorFrameDecoder& d, const Bytes& stream) {
  std::vector<SensorFrame> out;
  for (const std::uint8_t b : stream)
    if (auto frame = d.feed(b)) out.push_back(*frame);
  return out;
}

void expect_accounted(const SensorFrameDecoder& d) {
  EXPECT_EQ(d.bytes_fed(), 23 * d.good_frames() + d.garbage_bytes() + d.pending());
}

// The search written out over a whole stream at once: at each place, a
// complete frame with a good checksum is taken whole, anything else moves
// the search on by one byte. The decoder must find exactly these.
struct Reference {
  std::vector<SensorFrame> frames;
  std::uint64_t bad = 0;
};
Reference reference_search(const Bytes& s) {
  Reference r;
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t left = s.size() - at;
    const std::size_t check = std::min<std::size_t>(left, 4);
    if (!std::equal(s.begin() + static_cast<std::ptrdiff_t>(at), s.begin() + static_cast<std::ptrdiff_t>(at + check),
                    telemetry::kSensorHeader.begin())) {
      ++at;
      continue;
    }
    if (left < 23) break;
    if (auto v = parse_sensor_frame(std::span<const std::uint8_t>(s.data() + at, 23))) {
      r.frames.push_back(SensorFrame{*v, at});
      at += 23;
    } else {
      ++r.bad;
      ++at;
    }
  }
  return r;
}

void expect_same_frames(const std::vector<SensorFrame>& got, const std::vector<SensorFrame>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].values, want[i].values) << "frame " << i;
    EXPECT_EQ(got[i].offset, want[i].offset) << "frame " << i;
  }
}

// ---------------------------------------------------------------------------
// Building and parsing one frame

TEST(SensorFrameBuilder, MatchesTheVectors) {
  for (const auto& v : frame_vectors::kFrames) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(frame_bytes(values_of(v)), bytes_of(v));
    const auto parsed = parse_sensor_frame(std::span<const std::uint8_t>(v.bytes));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, values_of(v));
    EXPECT_EQ(telemetry::checksum(std::span<const std::uint8_t>(v.bytes, 22)), v.bytes[22]);
  }
}

TEST(SensorFrameBuilder, ParseRejectsShortWrongHeaderAndWrongChecksum) {
  const Bytes good = bytes_of(frame_vectors::kFrames[7]);
  EXPECT_FALSE(parse_sensor_frame(std::span<const std::uint8_t>(good.data(), 22)).has_value());
  for (std::size_t i = 0; i < good.size(); ++i) {
    SCOPED_TRACE(i);
    for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes damaged = good;
      damaged[i] = static_cast<std::uint8_t>(damaged[i] ^ flip);
      EXPECT_FALSE(parse_sensor_frame(damaged).has_value());
    }
  }
  // Two changes that cancel in the sum pass the checksum: the frame cannot tell.
  Bytes swapped = good;
  swapped[5] = static_cast<std::uint8_t>(swapped[5] + 1);
  swapped[7] = static_cast<std::uint8_t>(swapped[7] - 1);
  EXPECT_TRUE(parse_sensor_frame(swapped).has_value());
}

// ---------------------------------------------------------------------------
// Streams

TEST(SensorFrameDecoder, CleanStreamFedInAnyPieces) {
  Bytes stream;
  std::vector<SensorFrame> want;
  for (int round = 0; round < 3; ++round) {
    for (const auto& v : frame_vectors::kFrames) {
      want.push_back(SensorFrame{values_of(v), stream.size()});
      append(stream, bytes_of(v));
    }
  }
  // One byte at a time.
  {
    SensorFrameDecoder d;
    expect_same_frames(decode(d, stream), want);
    EXPECT_EQ(d.good_frames(), want.size());
    EXPECT_EQ(d.bad_frames(), 0u);
    EXPECT_EQ(d.garbage_bytes(), 0u);
    EXPECT_EQ(d.pending(), 0u);
  }
  // Whole.
  {
    SensorFrameDecoder d;
    expect_same_frames(d.feed(stream), want);
  }
  // Pieces of seeded random sizes, 0 to 40 bytes.
  for (std::uint32_t seed = 1; seed <= 5; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> piece(0, 40);
    SensorFrameDecoder d;
    std::vector<SensorFrame> got;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min(piece(rng), stream.size() - at);
      const auto frames = d.feed(std::span<const std::uint8_t>(stream.data() + at, n));
      got.insert(got.end(), frames.begin(), frames.end());
      at += n;
    }
    expect_same_frames(got, want);
    expect_accounted(d);
  }
}

TEST(SensorFrameDecoder, GarbageBetweenFramesIsSkippedAndCounted) {
  const Bytes a = bytes_of(frame_vectors::kFrames[1]);
  const Bytes b = bytes_of(frame_vectors::kFrames[7]);
  struct Case {
    const char* name;
    Bytes garbage;
  };
  const Case cases[] = {
      {"plain bytes", {0x00, 0x12, 0x02, 0xFF}},
      {"a lone header byte", {0xAA}},
      {"the header's first three bytes", {0xAA, 0xAA, 0x02}},
      {"a header that breaks off", {0xAA, 0xAA, 0x02, 0x13, 0x00}},
      {"header bytes out of order", {0x12, 0x02, 0xAA, 0x02, 0xAA, 0x12}},
      {"three header bytes in a row", {0xAA, 0xAA}},  // then the frame's own AA AA
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes stream = c.garbage;
    append(stream, a);
    append(stream, c.garbage);
    append(stream, b);
    append(stream, c.garbage);
    SensorFrameDecoder d;
    const auto frames = decode(d, stream);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].values, values_of(frame_vectors::kFrames[1]));
    EXPECT_EQ(frames[0].offset, c.garbage.size());
    EXPECT_EQ(frames[1].values, values_of(frame_vectors::kFrames[7]));
    EXPECT_EQ(frames[1].offset, 2 * c.garbage.size() + 23);
    EXPECT_EQ(d.bad_frames(), 0u);
    // The trailing garbage may still be held as the start of a header.
    EXPECT_EQ(d.garbage_bytes() + d.pending(), 3 * c.garbage.size());
    expect_accounted(d);
  }
}

TEST(SensorFrameDecoder, TruncatedFrameDoesNotSwallowTheNextOne) {
  const Bytes cut_from = bytes_of(frame_vectors::kFrames[7]);
  const Bytes next = bytes_of(frame_vectors::kFrames[1]);
  for (std::size_t cut = 1; cut < 23; ++cut) {
    SCOPED_TRACE(cut);
    Bytes stream(cut_from.begin(), cut_from.begin() + static_cast<std::ptrdiff_t>(cut));
    append(stream, next);
    SensorFrameDecoder d;
    const auto frames = decode(d, stream);
    const Reference r = reference_search(stream);
    expect_same_frames(frames, r.frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].values, values_of(frame_vectors::kFrames[1]));
    EXPECT_EQ(frames[0].offset, cut);
    EXPECT_EQ(d.garbage_bytes(), cut);
    EXPECT_EQ(d.bad_frames(), r.bad);
    EXPECT_LE(d.bad_frames(), 1u);
    EXPECT_EQ(d.pending(), 0u);
  }
  // Cut off at the end of the stream: held, not counted yet.
  SensorFrameDecoder d;
  EXPECT_TRUE(decode(d, Bytes(cut_from.begin(), cut_from.begin() + 15)).empty());
  EXPECT_EQ(d.pending(), 15u);
  EXPECT_EQ(d.good_frames() + d.bad_frames() + d.garbage_bytes(), 0u);
}

TEST(SensorFrameDecoder, BadChecksumIsCountedAndTheSearchGoesOn) {
  const Bytes good = bytes_of(frame_vectors::kFrames[1]);
  for (std::size_t damaged_at : {4u, 10u, 21u, 22u}) {
    SCOPED_TRACE(damaged_at);
    Bytes bad = good;
    bad[damaged_at] = static_cast<std::uint8_t>(bad[damaged_at] ^ 0x40);
    Bytes stream = bad;
    append(stream, good);
    SensorFrameDecoder d;
    const auto frames = decode(d, stream);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].offset, 23u);
    EXPECT_EQ(d.bad_frames(), 1u);
    EXPECT_EQ(d.garbage_bytes(), 23u);
    expect_accounted(d);
  }
}

TEST(SensorFrameDecoder, GoodFrameStartingInsideADamagedOneIsFound) {
  const Bytes inner = bytes_of(frame_vectors::kFrames[7]);
  // A frame whose payload begins with a whole good frame: its own checksum
  // cannot match the bytes where it expects it.
  Bytes stream = {0xAA, 0xAA, 0x02, 0x12};
  append(stream, inner);
  append(stream, bytes_of(frame_vectors::kFrames[0]));
  SensorFrameDecoder d;
  const auto frames = decode(d, stream);
  expect_same_frames(frames, reference_search(stream).frames);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].offset, 4u);
  EXPECT_EQ(frames[0].values, values_of(frame_vectors::kFrames[7]));
  EXPECT_EQ(frames[1].offset, 27u);
  EXPECT_EQ(d.bad_frames(), 1u);
  EXPECT_EQ(d.garbage_bytes(), 4u);

  // A frame carrying header bytes in its payload decodes whole when intact...
  const Bytes tricky = bytes_of(frame_vectors::kFrames[8]);
  SensorFrameDecoder whole;
  const auto one = decode(whole, tricky);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].values, values_of(frame_vectors::kFrames[8]));
  // ...and, damaged, does not hide the frame after it.
  Bytes damaged = tricky;
  damaged[22] = static_cast<std::uint8_t>(damaged[22] + 1);
  Bytes stream2 = damaged;
  append(stream2, inner);
  SensorFrameDecoder d2;
  const auto after = decode(d2, stream2);
  expect_same_frames(after, reference_search(stream2).frames);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].offset, 23u);
  EXPECT_GE(d2.bad_frames(), 1u);
  expect_accounted(d2);
}

TEST(SensorFrameDecoder, RandomNoiseWithEmbeddedFrames) {
  for (std::uint32_t seed : {11u, 12u, 13u, 14u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto byte = [&] { return static_cast<std::uint8_t>(rng() & 0xFFu); };
    // Noise and payloads without 0xAA: a header can then only begin where
    // a frame was put. A cut frame is followed by enough noise to complete
    // its candidate, never into a good checksum; so every intact frame must
    // be found, and nothing else.
    auto not_header = [&] {
      std::uint8_t b = byte();
      return b == 0xAA ? std::uint8_t{0xAB} : b;
    };
    Bytes stream;
    std::vector<SensorFrame> intact;
    for (int n = 0; n < 400; ++n) {
      const int noise = static_cast<int>(rng() % 30);
      for (int i = 0; i < noise; ++i) stream.push_back(not_header());
      SensorValues v{};
      for (auto& x : v) x = static_cast<std::int16_t>((not_header() << 8) | not_header());
      Bytes frame = frame_bytes(v);
      switch (rng() % 4) {
        case 0:  // damaged
          frame[4 + rng() % 19] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
          append(stream, frame);
          break;
        case 1: {  // cut short, then noise that does not complete it into a good frame
          const std::size_t start = stream.size();
          frame.resize(1 + rng() % 22);
          append(stream, frame);
          while (stream.size() < start + 23) stream.push_back(not_header());
          if (parse_sensor_frame(std::span<const std::uint8_t>(stream.data() + start, 23))) {
            std::uint8_t& last = stream[start + 22];
            last = static_cast<std::uint8_t>(last + (last == 0xA9 ? 2 : 1));
          }
          break;
        }
        default:
          intact.push_back(SensorFrame{v, stream.size()});
          append(stream, frame);
      }
    }
    const Reference r = reference_search(stream);
    SensorFrameDecoder d;
    const auto frames = decode(d, stream);
    expect_same_frames(frames, r.frames);
    EXPECT_EQ(d.bad_frames(), r.bad);
    expect_accounted(d);
    expect_same_frames(frames, intact);
  }
}

TEST(SensorFrameDecoder, ResetStartsAFreshStream) {
  SensorFrameDecoder d;
  const Bytes f = bytes_of(frame_vectors::kFrames[2]);
  decode(d, Bytes(f.begin(), f.begin() + 10));
  d.reset();
  EXPECT_EQ(d.pending(), 0u);
  EXPECT_EQ(d.bytes_fed(), 0u);
  const auto frames = decode(d, f);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].offset, 0u);
  EXPECT_EQ(frames[0][telemetry::kAx], -50);
}

// The wire carries hundredths of a degree in 16 bits; the decoder's second
// view follows the angle and the setpoint across the wrap at +-327.68 deg.
// The angle as the firmware puts it on the wire: truncated, low 16 bits.
std::int16_t on_wire(double degrees) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::int32_t>(degrees * 100.0)));
}

TEST(SensorFrameDecoder, UnwrapsAnExcursionBeyondTheWireRange) {
  // 300 -> 400 -> -400 -> 0 deg at up to 1 deg per frame (200 deg/s), the
  // setpoint stepping 100 deg at a time past both ends; damaged frames between.
  std::vector<std::pair<double, double>> path;
  for (double a = 300.0; a <= 400.0; a += 0.75) path.push_back({a, a > 350.0 ? 400.0 : 300.0});
  for (double a = 400.0; a >= -400.0; a -= 1.0) path.push_back({a, std::round(a / 100.0) * 100.0});
  for (double a = -400.0; a <= 0.0; a += 1.0) path.push_back({a, std::round(a / 100.0) * 100.0});
  Bytes stream;
  for (std::size_t i = 0; i < path.size(); ++i) {
    SensorValues v{};
    v[telemetry::kAx] = on_wire(path[i].first);
    v[telemetry::kAy] = on_wire(path[i].second);
    if (i % 7 == 0) {  // a damaged copy first, with a wild angle
      Bytes damaged = frame_bytes(v);
      damaged[4] ^= 0x40;
      append(stream, damaged);
    }
    append(stream, frame_bytes(v));
  }
  SensorFrameDecoder d;
  const auto frames = decode(d, stream);
  ASSERT_EQ(frames.size(), path.size());
  std::size_t beyond = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(frames[i].angle_unwrapped_deg(), path[i].first, 0.011);
    EXPECT_NEAR(frames[i].setpoint_unwrapped_deg(), path[i].second, 0.011);
    const bool outside = std::abs(path[i].first) >= 327.68 || std::abs(path[i].second) >= 327.68;
    EXPECT_EQ(frames[i].unwrapped, outside);
    if (outside) ++beyond;
  }
  EXPECT_GT(beyond, 100u);
  EXPECT_GT(d.bad_frames(), 100u);
  // Out past +327.68 and back, then out past -327.68 and back.
  EXPECT_EQ(d.angle_wraps(), 4u);
  EXPECT_EQ(d.setpoint_wraps(), 4u);
}

TEST(SensorFrameDecoder, UnwrapsTheEdgesOfTheRangeAndStartsAfreshOnReset) {
  telemetry::Unwrapper u;
  // The first value is taken as it is, even at the range's edge.
  EXPECT_EQ(u.feed(-32768), -32768);
  EXPECT_EQ(u.wraps(), 0u);
  u.reset();
  EXPECT_EQ(u.feed(32767), 32767);
  EXPECT_EQ(u.feed(-32768), 32768);  // 327.68 deg wraps to -32768 on the wire
  EXPECT_EQ(u.feed(-32767), 32769);
  EXPECT_EQ(u.feed(32767), 32767);   // and back
  EXPECT_EQ(u.wraps(), 2u);
  // Within the range, steps up to half the circle are taken as they are.
  EXPECT_EQ(u.feed(0), 0);
  EXPECT_EQ(u.feed(-32767), -32767);
  EXPECT_EQ(u.wraps(), 2u);

  SensorFrameDecoder d;
  SensorValues v{};
  v[telemetry::kAx] = 32000;
  decode(d, frame_bytes(v));
  v[telemetry::kAx] = -32000;
  EXPECT_EQ(decode(d, frame_bytes(v)).at(0).angle_unwrapped, 33536);
  d.reset();
  EXPECT_EQ(d.angle_wraps(), 0u);
  EXPECT_EQ(decode(d, frame_bytes(v)).at(0).angle_unwrapped, -32000);
}

}  // namespace
