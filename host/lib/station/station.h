// The ground station's one path from bytes to results, the same for a live
// line and a replayed recording: decode the frames (with the unwrapped
// angle), write the CSV, keep the counters, hand samples to a live view.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "output_files.h"
#include "sensor_frame.h"

namespace station {

// One decoded frame, as the CSV and the live view see it.
struct Sample {
  std::uint64_t time_ns = 0;  // arrival time of the read that completed the frame
  std::uint64_t frame = 0;    // 1 for the first good frame
  telemetry::SensorFrame decoded;
};

struct Counters {
  std::uint64_t frames = 0;
  std::uint64_t bad_frames = 0;
  std::uint64_t garbage_bytes = 0;
  std::uint64_t bytes = 0;
  std::uint64_t angle_wraps = 0;  // crossings of the wire's +-327.67 deg unwrapped
  double frames_per_second = 0;   // over the last second of arrival time
  bool have_frame = false;
  double angle_deg = 0;  // last frame, the raw (wire) view
  double setpoint_deg = 0;
  double angle_unwrapped_deg = 0;
};

class Station {
 public:
  Station() = default;
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;
  ~Station();

  // Starts the CSV with its header line, under a temporary name beside
  // `path` until close(); false with `error` set.
  bool open_csv(const std::string& path, std::string& error);
  // Bytes read from the line at `time_ns` since the session began.
  void feed(std::uint64_t time_ns, std::span<const std::uint8_t> bytes);
  // Pushes the CSV out (on a timer). False once a write has failed (a full
  // disk): the CSV is then dropped, leaving no file behind, and `error`
  // says why; later calls return true.
  bool flush(std::string& error);
  // Puts the CSV in place; false with `error` when it could not be written
  // whole (no file is left then).
  bool close(std::string& error);
  Counters counters() const;
  // Called for every good frame, on the feeding thread; must not block.
  std::function<void(const Sample&)> on_sample;

  static constexpr const char* kCsvHeader =
      "time_s,frame,angle_deg,setpoint_deg,angle_unwrapped_deg,setpoint_unwrapped_deg\n";

 private:
  mutable std::mutex mutex_;
  telemetry::SensorFrameDecoder decoder_;
  std::unique_ptr<files::AtomicFile> csv_;
  std::FILE* rows_ = nullptr;  // csv_'s stream
  std::deque<std::uint64_t> recent_;  // arrival times of the last second's frames
  Counters counters_;
};

// "12.345678": whole microseconds, the same text for the same time.
std::string format_time(std::uint64_t time_ns);

}  // namespace station
