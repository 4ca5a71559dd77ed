#include "vboard/parts/ground_station.h"

#include <algorithm>
#include <stdexcept>

namespace vboard {

GroundStation::GroundStation(const Context& context, Usart& usart) : Part(context, "ground station"), usart_(usart) {
  usart_.attach(this);
}

void GroundStation::reset() {
  baud_ = 500000;
  format_ = {};
  judged_ = {};
  heard_.clear();
  recording_ = true;
  bytes_heard_ = 0;
  garbled_ = 0;
  on_byte = nullptr;
  queue_.clear();
  in_flight_ = false;
  line_free_at_ = 0;
  bytes_sent_ = 0;
}

void GroundStation::set_line(std::uint32_t baud, SerialFormat format) {
  if (baud == 0) throw std::invalid_argument("a line needs a baud rate");
  baud_ = baud;
  format_ = format;
  judged_ = {};
  usart_.peer_changed();
}

double GroundStation::bit_time() const {
  return static_cast<double>(kTicksPerSecond) / static_cast<double>(baud_);
}

Ticks GroundStation::byte_time() const { return frame_ticks(format_, bit_time()); }

// ---------------------------------------------------------------------------
// Listening

void GroundStation::frame_sent(const SerialFrame& frame) {
  if (!judged_.valid || !(frame.format == judged_.format) || frame.bit_time != judged_.bit_time) [[unlikely]]
    judge(frame);
  ++bytes_heard_;
  if (!judged_.clean) ++garbled_;
  if (recording_ || on_byte) pass_on(frame, judged_.clean);
}

// Out of line: a stream's frames seldom change their shape or rate.
[[gnu::noinline]] void GroundStation::judge(const SerialFrame& frame) {
  judged_ = {true, frame.format, frame.bit_time, frame_readable(frame, format_, bit_time())};
}

// Out of line: a byte that nobody records or watches costs only the count.
[[gnu::noinline]] void GroundStation::pass_on(const SerialFrame& frame, bool clean) {
  Heard h;
  h.value = frame.data;
  h.start = frame.start;
  h.end = frame.end;
  h.clean = clean;
  if (recording_) heard_.push_back(h);
  if (on_byte) on_byte(h);
}

std::vector<std::uint8_t> GroundStation::heard_bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(heard_.size());
  for (const auto& h : heard_) out.push_back(static_cast<std::uint8_t>(h.value & 0xFFu));
  return out;
}

// ---------------------------------------------------------------------------
// Talking

void GroundStation::enqueue(Segment segment) {
  if (segment.count == 0) return;
  // In order of their times, after those queued for the same time; a
  // segment already going out stays first.
  auto first = queue_.begin();
  if (first != queue_.end() && first->next > 0) ++first;
  auto pos = std::upper_bound(first, queue_.end(), segment.at,
                              [](Ticks at, const Segment& s) { return at < s.at; });
  queue_.insert(pos, std::move(segment));
  usart_.peer_changed();
}

void GroundStation::send(const std::vector<std::uint8_t>& bytes, Ticks at) {
  Segment s;
  s.at = at;
  s.bytes = bytes;
  s.count = bytes.size();
  enqueue(std::move(s));
}

void GroundStation::send_generated(std::uint64_t count, std::function<std::uint8_t(std::uint64_t)> byte_at,
                                   Ticks at) {
  Segment s;
  s.at = at;
  s.byte_at = std::move(byte_at);
  s.count = count;
  enqueue(std::move(s));
}

std::uint8_t GroundStation::flood_byte(std::uint64_t seed, std::uint64_t index) {
  // splitmix64 of the seed and the place: the same bytes on every run.
  std::uint64_t z = seed + (index + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z = z ^ (z >> 31);
  return static_cast<std::uint8_t>(z >> 56);
}

void GroundStation::flood(Ticks at, Ticks duration, std::uint64_t seed) {
  const std::uint64_t count = duration / byte_time();
  send_generated(count, [seed](std::uint64_t i) { return flood_byte(seed, i); }, at);
}

void GroundStation::stop_sending() {
  queue_.clear();
  usart_.peer_changed();
}

std::uint64_t GroundStation::bytes_queued() const {
  std::uint64_t n = 0;
  for (const auto& s : queue_) n += s.count - s.next;
  return n;
}

Ticks GroundStation::next_frame_start() const {
  if (queue_.empty()) return kNever;
  return std::max(queue_.front().at, line_free_at_);
}

SerialFrame GroundStation::begin_frame(Ticks now) {
  Segment& s = queue_.front();
  const std::uint8_t value = s.byte_at ? s.byte_at(s.next) : s.bytes[static_cast<std::size_t>(s.next)];
  ++s.next;
  if (s.next == s.count) queue_.pop_front();

  SerialFrame frame;
  frame.data = static_cast<std::uint16_t>(value & ((1u << format_.data_bits) - 1u));
  frame.format = format_;
  frame.bit_time = bit_time();
  frame.start = now;
  frame.end = now + byte_time();
  line_free_at_ = frame.end;
  in_flight_ = true;
  return frame;
}

void GroundStation::frame_done(const SerialFrame& /*frame*/) {
  in_flight_ = false;
  ++bytes_sent_;
}

}  // namespace vboard
