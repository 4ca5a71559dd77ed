// The ground station's side of the sensor frame: building frames (for tests
// and simulated senders) and finding them in a byte stream.
//
// Frame: 0xAA 0xAA 0x02 0x12, nine signed 16-bit values high byte first
// (a_x a_y a_z g_x g_y g_z m_x m_y m_z), then the sum of the 22 bytes before
// it modulo 256. 23 bytes in all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace telemetry {

inline constexpr std::size_t kSensorFrameSize = 23;
inline constexpr std::size_t kSensorValueCount = 9;
inline constexpr std::array<std::uint8_t, 4> kSensorHeader = {0xAA, 0xAA, 0x02, 0x12};

// The value slots, in frame order.
enum Slot : std::size_t { kAx = 0, kAy, kAz, kGx, kGy, kGz, kMx, kMy, kMz };

using SensorValues = std::array<std::int16_t, kSensorValueCount>;
using SensorFrameBytes = std::array<std::uint8_t, kSensorFrameSize>;

// Sum of `bytes` modulo 256.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// The 23 bytes of the frame carrying `values`.
SensorFrameBytes build_sensor_frame(const SensorValues& values);

// The values of a frame laid out at the start of `bytes`; nothing when the
// bytes are too few, the header is wrong or the checksum does not match.
std::optional<SensorValues> parse_sensor_frame(std::span<const std::uint8_t> bytes);

// The angle (a_x) and setpoint (a_y) travel as hundredths of a degree in a
// signed 16-bit value, so beyond +-327.67 deg they wrap on the wire.
inline constexpr double kHundredths = 100.0;

// Follows one wrapped 16-bit value by continuity: between two frames 5 ms
// apart the motor cannot turn 327.68 deg, so the step from one value to the
// next is always the short way round the 65536-count circle.
class Unwrapper {
 public:
  // The unwrapped value for the next wire value.
  std::int64_t feed(std::int16_t wire);
  void reset() { *this = Unwrapper{}; }
  // Times the value crossed the wire's range (each crossing counts once).
  std::uint64_t wraps() const { return wraps_; }
  std::int64_t last() const { return last_; }

 private:
  bool started_ = false;
  std::int16_t previous_ = 0;
  std::int64_t last_ = 0;
  std::uint64_t wraps_ = 0;
};

struct SensorFrame {
  SensorValues values{};
  std::uint64_t offset = 0;  // stream position of the frame's first byte
  // a_x and a_y unwrapped by continuity over the frames decoded so far,
  // in hundredths of a degree; equal to the raw values until a wrap.
  std::int64_t angle_unwrapped = 0;
  std::int64_t setpoint_unwrapped = 0;
  bool unwrapped = false;  // one of the two differs from its raw value
  std::int16_t operator[](Slot slot) const { return values[slot]; }
  // Both views in degrees.
  double angle_deg() const { return values[kAx] / kHundredths; }
  double setpoint_deg() const { return values[kAy] / kHundredths; }
  double angle_unwrapped_deg() const { return static_cast<double>(angle_unwrapped) / kHundredths; }
  double setpoint_unwrapped_deg() const { return static_cast<double>(setpoint_unwrapped) / kHundredths; }
};

// Finds frames in a byte stream fed in any pieces. A candidate starts at a
// byte where the header begins; once 23 bytes are in, a matching checksum
// makes it a good frame, a wrong one a bad frame, and the search goes on from
// the byte after the candidate's first, so a good frame that begins inside a
// damaged one is still found. Every byte fed ends up in a good frame, as
// garbage (skipped while searching, the first byte of each bad candidate
// included) or still pending:
//   bytes_fed() == 23 * good_frames() + garbage_bytes() + pending().
// Each good frame also carries the angle and setpoint unwrapped across the
// frames before it; wraps() says whether (and how often) that was needed.
class SensorFrameDecoder {
 public:
  // One byte; the frame it completes, if any (one byte completes at most one).
  std::optional<SensorFrame> feed(std::uint8_t byte);
  // A chunk; the frames it completes, in order.
  std::vector<SensorFrame> feed(std::span<const std::uint8_t> bytes);
  // Back to the start of a stream; the counts return to 0.
  void reset();

  std::uint64_t good_frames() const { return good_; }
  std::uint64_t bad_frames() const { return bad_; }
  std::uint64_t garbage_bytes() const { return garbage_; }
  std::uint64_t bytes_fed() const { return fed_; }
  std::size_t pending() const { return held_; }  // bytes of a candidate not yet complete
  // Wire-range crossings unwrapped so far, of the angle and of the setpoint.
  std::uint64_t angle_wraps() const { return angle_.wraps(); }
  std::uint64_t setpoint_wraps() const { return setpoint_.wraps(); }

 private:
  void drop_first();
  SensorFrame complete(const SensorValues& values);
  Unwrapper angle_;
  Unwrapper setpoint_;
  std::array<std::uint8_t, kSensorFrameSize> buffer_{};
  std::size_t held_ = 0;
  std::uint64_t fed_ = 0;
  std::uint64_t good_ = 0;
  std::uint64_t bad_ = 0;
  std::uint64_t garbage_ = 0;
};

}  // namespace telemetry
