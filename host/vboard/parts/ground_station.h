// The PC ground station at the other end of USART3 (PB10 to its receive
// line, PB11 from its transmit line). Its own port runs at 500000 baud, 8
// data bits, no parity, 1 stop bit after reset; a test may set another line.
//
// Listening: every frame the firmware sends is heard when its last stop bit
// is over, with its start and end times, and marked clean when the firmware's
// format and rate match the station's (rate within 3 %). Nothing is decoded
// here: the frames are bytes (host/lib/sensor_frame.h decodes them).
//
// Talking: bytes go out at the station's line rate, back to back, from the
// times a test gives. A long stream (a flood of seconds) is produced byte by
// byte as it goes out, never held whole in memory.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "vboard/chip/usart.h"
#include "vboard/sim/model.h"

namespace vboard {

class GroundStation : public Part, public SerialPeer {
 public:
  // Attaches to `usart` (USART3's lines).
  GroundStation(const Context& context, Usart& usart);
  void reset() override;

  // Serial side (called by the USART).
  void frame_sent(const SerialFrame& frame) override;
  Ticks next_frame_start() const override;
  SerialFrame begin_frame(Ticks now) override;
  void frame_done(const SerialFrame& frame) override;

  // ---- The station's own port ----
  void set_line(std::uint32_t baud, SerialFormat format = {});
  std::uint32_t baud() const { return baud_; }
  const SerialFormat& format() const { return format_; }
  double bit_time() const;  // ticks
  Ticks byte_time() const;  // one whole frame, in ticks

  // ---- What the firmware sent ----
  struct Heard {
    std::uint16_t value = 0;
    Ticks start = 0;  // leading edge of the start bit
    Ticks end = 0;    // end of the stop bit: the byte is complete
    bool clean = true;  // the station's port reads it as sent
  };
  const std::vector<Heard>& heard() const { return heard_; }
  std::vector<std::uint8_t> heard_bytes() const;  // the values heard, in order
  void clear_heard() { heard_.clear(); }
  // Whether heard() keeps the bytes (on after reset); on_byte and the counts
  // see every byte either way.
  void set_recording(bool on) { recording_ = on; }
  std::uint64_t bytes_heard() const { return bytes_heard_; }
  std::uint64_t garbled() const { return garbled_; }  // heard but not clean
  // Called for every byte heard, when it is complete.
  std::function<void(const Heard&)> on_byte;

  // ---- What the station sends ----
  // Queues `bytes` to go out back to back, the first start bit at `at`, or
  // as soon as the line is free when bytes queued for earlier are still
  // going out.
  void send(const std::vector<std::uint8_t>& bytes, Ticks at);
  // Queues `count` bytes made one at a time as they go out: byte_at(i) is
  // the i-th of them.
  void send_generated(std::uint64_t count, std::function<std::uint8_t(std::uint64_t)> byte_at, Ticks at);
  // Queues seeded pseudo-random bytes back to back, at full line rate, for
  // `duration` from `at` (as many whole bytes as fit).
  void flood(Ticks at, Ticks duration, std::uint64_t seed);
  // The pseudo-random byte that flood(..., seed) sends in place `index`.
  static std::uint8_t flood_byte(std::uint64_t seed, std::uint64_t index);
  // Drops every byte not yet begun.
  void stop_sending();

  bool sending() const { return !queue_.empty() || in_flight_; }
  std::uint64_t bytes_sent() const { return bytes_sent_; }  // completely on the line
  std::uint64_t bytes_queued() const;                       // not yet begun

 private:
  struct Segment {
    Ticks at = 0;
    std::vector<std::uint8_t> bytes;
    std::function<std::uint8_t(std::uint64_t)> byte_at;
    std::uint64_t count = 0;
    std::uint64_t next = 0;
  };
  void enqueue(Segment segment);
  // Judges whether frames shaped as `frame` read cleanly on this line.
  void judge(const SerialFrame& frame);
  // A heard byte to the record and the watcher.
  void pass_on(const SerialFrame& frame, bool clean);

  Usart& usart_;
  std::uint32_t baud_ = 500000;
  SerialFormat format_{};
  // Whether frames of the last heard shape and rate read cleanly on this
  // line: a stream's frames all share them, so they are judged once until
  // they or the line change.
  struct Judged {
    bool valid = false;
    SerialFormat format{};
    double bit_time = 0;
    bool clean = false;
  };
  Judged judged_{};

  std::vector<Heard> heard_;
  bool recording_ = true;
  std::uint64_t bytes_heard_ = 0;
  std::uint64_t garbled_ = 0;

  std::deque<Segment> queue_;
  bool in_flight_ = false;
  Ticks line_free_at_ = 0;
  std::uint64_t bytes_sent_ = 0;
};

}  // namespace vboard
