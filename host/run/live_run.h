// A session run paced to the wall clock: virtual time never runs ahead of
// real time. USART3's far end may be a pseudo-terminal for a serial program
// (groundstation), keys come from the terminal and from the live page's
// buttons, and the page is fed the frames and the run's status.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "progress.h"
#include "scenario.h"

namespace live {
class PtyLine;
class TerminalKeys;
}  // namespace live

namespace station {
class LiveServer;
struct ActionReply;
}  // namespace station

namespace run {

class Session;

class LiveRun {
 public:
  LiveRun();
  LiveRun(const LiveRun&) = delete;
  LiveRun& operator=(const LiveRun&) = delete;
  ~LiveRun();

  // USART3 on a new pseudo-terminal; false with `error` set.
  bool open_pty(std::string& error);
  bool has_pty() const { return pty_ != nullptr; }
  const std::string& pty_path() const;
  // Waits until a program opens the pty, so that it sees the board from
  // power-on; false when a stop was requested first.
  bool wait_for_reader();
  // What the pty's reader did not take (dropped).
  std::uint64_t pty_bytes_dropped() const;

  // The live page on `serve` ([ADDR:]PORT) with the up and down buttons;
  // false with `error` set.
  bool open_page(const std::string& serve, std::string& error);
  station::LiveServer* page() const { return page_.get(); }
  // After the run: the page gets the final status, then stops.
  void close_page();

  // Keys from the terminal for the run that follows; false when stdin is
  // not a terminal.
  bool take_terminal_keys();
  // Runs the session paced until its end, a stop request or a loss of
  // control; then gives the pty's reader up to half a second to read what
  // is left, and puts the terminal back.
  void run(Session& session, Progress& progress);

 private:
  station::ActionReply page_press(KeyName key);
  void take_input(Session& session);
  void publish_status(const Session& session, bool ended);

  std::unique_ptr<live::PtyLine> pty_;
  std::unique_ptr<live::TerminalKeys> keys_;
  std::unique_ptr<station::LiveServer> page_;
  std::mutex pressed_mutex_;
  std::vector<KeyName> pressed_;  // from the page's buttons, taken by the run loop
  std::array<std::size_t, 2> waiting_{};  // per key: presses taken but not yet begun on the board
  double fps_ = 0.0;  // frames per second of virtual time, over the last status period
};

}  // namespace run
