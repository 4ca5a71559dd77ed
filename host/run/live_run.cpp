#include "live_run.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "board_time.h"
#include "live_server.h"
#include "session.h"
#include "stop_signal.h"
#include "vboard/parts/ground_station.h"
// Last: it brings in <termios.h>, whose CR1..CR3 macros would hide the
// register names the board's headers use.
#include "live_io.h"

namespace run {

namespace {

using vboard::Ticks;

// Presses from the page that may wait their turn (100 ms each, per key):
// a second of pressing; more are refused, not queued for minutes.
constexpr std::size_t kMaxWaitingPresses = 10;
constexpr std::uint64_t kInputBacklog = 50'000;  // bytes: a second of USART3 at 500000 baud

// What the progress line adds once frames come in.
std::string latest_text(const LatestFrame& f) {
  char extra[96] = "";
  if (f.any) std::snprintf(extra, sizeof extra, "  setpoint %.2f deg  angle %.2f deg", f.setpoint, f.angle);
  return extra;
}

}  // namespace

LiveRun::LiveRun() = default;
LiveRun::~LiveRun() = default;

bool LiveRun::open_pty(std::string& error) {
  pty_ = std::make_unique<live::PtyLine>();
  if (pty_->open(error)) return true;
  pty_.reset();
  return false;
}

const std::string& LiveRun::pty_path() const { return pty_->path(); }
bool LiveRun::wait_for_reader() { return pty_->wait_for_reader(); }
std::uint64_t LiveRun::pty_bytes_dropped() const { return pty_ ? pty_->bytes_dropped() : 0; }

bool LiveRun::open_page(const std::string& serve, std::string& error) {
  std::vector<station::LiveButton> buttons;
  for (const auto key : {KeyName::kUp, KeyName::kDown}) {
    buttons.push_back({key_name(key), key == KeyName::kUp ? "Up (PC7)" : "Down (PC8)",
                       [this, key] { return page_press(key); }});
  }
  page_ = station::start_live_page(serve, "Virtual board", std::move(buttons), error);
  return page_ != nullptr;
}

station::ActionReply LiveRun::page_press(KeyName key) {
  std::lock_guard lock(pressed_mutex_);
  const auto waiting = static_cast<std::size_t>(std::count(pressed_.begin(), pressed_.end(), key)) +
                       waiting_[static_cast<std::size_t>(key)];
  if (waiting >= kMaxWaitingPresses) {
    return {std::string("key ") + key_label(key) + " not pressed: " + std::to_string(waiting) +
                " presses are already waiting (at most " + std::to_string(kMaxWaitingPresses) + ", one each 100 ms)",
            429};
  }
  pressed_.push_back(key);
  return {std::string("key ") + key_label(key) + " pressed"};
}

void LiveRun::close_page() {
  if (!page_) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the page gets the final status
  page_->stop();
}

bool LiveRun::take_terminal_keys() {
  keys_ = std::make_unique<live::TerminalKeys>();
  return keys_->active();
}

void LiveRun::run(Session& session, Progress& progress) {
  if (page_) {
    session.on_frame = [page = page_.get()](double t, const telemetry::SensorFrame& f) {
      page->publish({t, f.angle_unwrapped_deg(), f.setpoint_unwrapped_deg()});
    };
  }
  if (pty_) {
    auto& station = session.station();
    station.on_byte = [before = station.on_byte, pty = pty_.get()](const vboard::GroundStation::Heard& b) {
      if (before) before(b);
      pty->queue(static_cast<std::uint8_t>(b.value));
    };
  }
  session.begin();
  const Ticks end = session.end();
  const auto wall_start = std::chrono::steady_clock::now();
  auto last_status = wall_start;
  std::uint64_t frames_at_status = 0;
  Ticks time_at_status = 0;
  fps_ = 0.0;
  while (session.now() < end && !session.stop_requested() && !session.lost_control()) {
    take_input(session);
    const auto now = std::chrono::steady_clock::now();
    const Ticks allowed = std::min(end, ticks_of(std::chrono::duration<double>(now - wall_start).count()));
    if (allowed > session.now() && !session.advance(allowed)) break;
    if (pty_) pty_->flush();
    if (page_ && now - last_status >= std::chrono::milliseconds(250)) {
      const double span = seconds_of(session.now() - time_at_status);
      if (span > 0) fps_ = static_cast<double>(session.decoder().good_frames() - frames_at_status) / span;
      publish_status(session, false);
      last_status = now;
      frames_at_status = session.decoder().good_frames();
      time_at_status = session.now();
    }
    progress.update(seconds_of(session.now()), latest_text(session.latest()));
  }
  session.finish();
  if (page_) publish_status(session, true);
  if (pty_) pty_->drain(std::chrono::milliseconds(500));
  keys_.reset();  // the terminal as it was
}

// What came in while the board waited goes in at the present virtual time:
// bytes on the pty, keys typed on the terminal, presses on the page.
void LiveRun::take_input(Session& session) {
  // Bytes written into the pty queue up for USART3's receive side at line
  // rate; beyond a second's worth they are left in the pty, so a writer
  // faster than the line is held back there instead of filling memory.
  const std::uint64_t backlog = session.station().bytes_queued();
  const bool room = backlog < kInputBacklog;
  live::wait_for_input({pty_ && room ? pty_->fd() : -1, keys_ && keys_->active() ? STDIN_FILENO : -1},
                       std::chrono::milliseconds(1));
  if (pty_ && room) {
    const auto in = pty_->take_input(kInputBacklog - backlog);
    if (!in.empty()) session.station().send(in, session.now());
  }
  if (keys_) {
    for (const char c : keys_->take()) {
      if (c == 'u' || c == 'U') session.press(KeyName::kUp, "terminal");
      if (c == 'd' || c == 'D') session.press(KeyName::kDown, "terminal");
    }
  }
  // Taken and counted in one go, so the page's bound sees every press.
  std::lock_guard lock(pressed_mutex_);
  for (const auto k : pressed_) session.press(k, "live page");
  pressed_.clear();
  for (const auto k : {KeyName::kUp, KeyName::kDown}) waiting_[static_cast<std::size_t>(k)] = session.presses_waiting(k);
}

void LiveRun::publish_status(const Session& session, bool ended) {
  const RunSummary& r = session.summary();
  const char* state = ended ? (session.stop_requested() ? "stopped" : r.stop.lost_control ? "lost control" : "run done")
                            : "running";
  const Ticks now = ended ? r.stopped_at : session.now();
  const LatestFrame& f = session.latest();
  const auto& d = session.decoder();
  const nlohmann::ordered_json status = {{"source", "virtual board, USART3"},
                                         {"state", state},
                                         {"virtual_s", std::round(seconds_of(now) * 1000.0) / 1000.0},
                                         {"frames", d.good_frames()},
                                         {"fps", std::round(fps_)},
                                         {"bad_frames", d.bad_frames()},
                                         {"garbage_bytes", d.garbage_bytes()},
                                         {"bytes", d.bytes_fed()},
                                         {"angle", f.wire_angle},  // NaN (no frame yet) is written as null
                                         {"setpoint", f.wire_setpoint},
                                         {"angle_unwrapped", f.angle},
                                         {"angle_wraps", d.angle_wraps()},
                                         {"dropped", page_->dropped()},
                                         {"ended", ended}};
  page_->publish_status(status.dump());
}

}  // namespace run
