// groundstation: watches the controller's telemetry on a serial line, a
// pseudo-terminal or a recording; prints a status line, writes CSV, records
// the raw bytes and serves a live page.
//
// Exit status: 0 when the run ends normally (interrupted, or the recording
// played out), 1 when the line went away or the recording broke off mid-run
// (what came before is in the files), or when an output could not be
// written; 2 for bad options, a device or recording that cannot be opened, an
// output that cannot be created, or a port in use.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "live_server.h"
#include "output_files.h"
#include "recording.h"
#include "serial.h"
#include "serve_address.h"
#include "station.h"

namespace {

using Clock = std::chrono::steady_clock;
using station::Chunk;

constexpr double kMinSpeed = 0.01;
constexpr double kMaxSpeed = 10000.0;

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void install_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a blocked poll returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  (void)signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal
  (void)signal(SIGXFSZ, SIG_IGN);  // a file-size limit is a write error, reported like a full disk
}

std::string json_status(const station::Counters& c, const std::string& source, const std::string& state, bool ended,
                        const std::string& recording, std::uint64_t dropped) {
  const nlohmann::ordered_json status = {
      {"source", source},         {"state", state},
      {"frames", c.frames},       {"fps", std::round(c.frames_per_second)},
      {"bad_frames", c.bad_frames}, {"garbage_bytes", c.garbage_bytes},
      {"bytes", c.bytes},         {"angle", c.angle_deg},
      {"setpoint", c.setpoint_deg}, {"angle_unwrapped", c.angle_unwrapped_deg},
      {"angle_wraps", c.angle_wraps}, {"recording", recording.empty() ? "off" : recording},
      {"dropped", dropped},       {"ended", ended}};
  return status.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// "name.gsrec" for the first try, then "name-2.gsrec", "name-3.gsrec", ...
std::string numbered(const std::string& path, int n) {
  if (n <= 1) return path;
  const std::filesystem::path p(path);
  return (p.parent_path() / (p.stem().string() + "-" + std::to_string(n) + p.extension().string())).string();
}

// The recording, started and stopped from the command line or the page
// while the reader writes to it. A new start never reuses a file: it takes
// the next free numbered name.
class Recorder {
 public:
  explicit Recorder(std::uint32_t baud) : baud_(baud) {}
  // Records to `path` itself, or with `numbering` to the first free name
  // of path, path-2, path-3...
  bool start(const std::string& path, bool numbering, std::string& error) {
    std::lock_guard lock(mutex_);
    if (writer_.is_open()) return true;
    for (int n = 1; n <= 1000; ++n) {
      bool exists = false;
      if (writer_.open(numbered(path, n), baud_, error, &exists)) return true;
      if (!exists || !numbering) return false;
    }
    return false;
  }
  // False when the end of the recording could not be written.
  bool stop(std::string& error) {
    std::lock_guard lock(mutex_);
    if (!writer_.is_open()) return true;
    if (writer_.close()) return true;
    error = failure();
    return false;
  }
  // False at the write that failed; the recording is then closed at its
  // last whole record and `error` says so.
  bool write(std::uint64_t t, std::span<const std::uint8_t> bytes, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!writer_.is_open() || writer_.write(t, bytes)) return true;
    error = failure();
    return false;
  }
  bool flush(std::string& error) {
    std::lock_guard lock(mutex_);
    if (!writer_.is_open() || writer_.flush()) return true;
    error = failure();
    return false;
  }
  std::string path() {
    std::lock_guard lock(mutex_);
    return writer_.is_open() ? writer_.path() : std::string();
  }

 private:
  std::string failure() const {
    return "recording stopped: " + writer_.path() + ": write failed: " + writer_.error() + "; the file ends at its last whole record (" +
           std::to_string(writer_.size_written()) + " bytes)";
  }
  std::mutex mutex_;
  station::RecordingWriter writer_;
  std::uint32_t baud_;
};

// Default recording names, to the millisecond; numbered when two fall in
// the same one.
std::string default_record_name() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char stamp[32];
  (void)std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);  // 15 characters fit
  char name[64];
  std::snprintf(name, sizeof name, "groundstation-%s.%03d.gsrec", stamp, static_cast<int>(ms));
  return name;
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct StationOptions {
  std::string device;
  std::string replay;
  double speed = 1.0;
  std::string csv_path;
  std::string record_path;
  std::string serve_text;
  unsigned baud = station::kBoardBaud;
  bool stay = false;
  bool quiet = false;
};

const CLI::Validator kSpeed(
    [](std::string& text) {
      char* end = nullptr;
      const double v = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || v < kMinSpeed || v > kMaxSpeed)
        return "must be a number from 0.01 to 10000 (a multiple of the recorded pace), not '" + text + "'";
      return std::string();
    },
    "SPEED");

const CLI::Validator kServe(
    [](const std::string& text) {
      station::ServeAddress a;
      return station::parse_serve(text, a);
    },
    "[ADDR:]PORT");

const CLI::Validator kBaud(
    [](std::string& text) {
      try {
        return station::supported_baud(static_cast<unsigned>(std::stoul(text))) ? std::string()
                                                                                : "speed " + text + " is not supported";
      } catch (...) {
        return "speed must be a whole number, not '" + text + "'";
      }
    },
    "BAUD");

// The command line; the exit code after --help (0) or bad options (2).
std::optional<int> parse_options(int argc, char** argv, StationOptions& o) {
  CLI::App app{"Watches the controller's telemetry frames: on a serial line (raw 8N1), a pseudo-terminal or a recording."};
  auto* device_opt = app.add_option("device", o.device, "Serial device or pty to read, e.g. /dev/ttyUSB0");
  auto* replay_opt =
      app.add_option("--replay", o.replay, "Play a recording (a file, a FIFO or a pipe) through the same decoding instead of a device")
          ->check(CLI::ExistingFile);
  app.add_option("--speed", o.speed, "Replay speed, a multiple of the recorded pace, 0.01 to 10000 (default 1)")
      ->check(kSpeed)
      ->needs(replay_opt);
  app.add_option("--csv", o.csv_path, "Write one CSV row per frame (put in place when the run ends)");
  app.add_option("--record", o.record_path, "Record the raw bytes with their arrival times (a new file, never one that exists)");
  app.add_option("--serve", o.serve_text, "Serve the live page on [ADDR:]PORT (address 127.0.0.1 unless given; IPv6 as [::1]:PORT)")
      ->check(kServe);
  app.add_option("--baud", o.baud, "Line speed (the board sends at 500000)")->check(kBaud)->excludes(replay_opt);
  app.add_flag("--stay", o.stay, "With --serve: keep serving the page after the source ends, until interrupted");
  app.add_flag("-q,--quiet", o.quiet, "No status line");
  device_opt->excludes(replay_opt);
  try {
    app.parse(argc, argv);
    if (o.device.empty() && o.replay.empty()) throw CLI::RequiredError("a device or --replay FILE");
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  return std::nullopt;
}

// The outputs, before anything is opened: none may be an input or another
// output, and a recording never replaces a file. Empty when they are good.
std::string check_outputs(const StationOptions& o) {
  std::vector<files::Named> outputs;
  if (!o.csv_path.empty()) outputs.push_back({"--csv", o.csv_path});
  if (!o.record_path.empty()) outputs.push_back({"--record", o.record_path});
  const std::vector<files::Named> inputs = {o.replay.empty() ? files::Named{"the device", o.device}
                                                             : files::Named{"--replay", o.replay}};
  std::string why = files::check_outputs(inputs, outputs);
  if (why.empty() && !o.record_path.empty() && is_regular_file(o.record_path))
    why = "--record " + o.record_path + ": exists; a recording never replaces a file: choose another name";
  return why;
}

// One watch of a source: the line or the recording, the decoding, the
// files, the status line and the live page.
class StationRun {
 public:
  explicit StationRun(const StationOptions& o) : o_(o), status_line_(!o.quiet && isatty(STDERR_FILENO)) {}
  StationRun(const StationRun&) = delete;
  StationRun& operator=(const StationRun&) = delete;
  ~StationRun() {
    if (fd_ >= 0) close(fd_);
  }

  // The exit status (see the top of this file).
  int run() {
    if (!open_source() || !open_live_page() || !open_outputs()) return 2;
    std::fprintf(stderr, "groundstation: reading %s%s\n", source_.c_str(), o_.replay.empty() ? "" : " (replay)");
    start_ = last_status_ = last_flush_ = Clock::now();
    const int status = fd_ >= 0 ? read_line() : replay();
    return finish(status);
  }

 private:
  // A recording is read once, as a stream: a broken record is found when
  // replay reaches it.
  bool open_source() {
    if (!o_.replay.empty()) {
      std::string error;
      if (!reader_.open(o_.replay, error)) {
        std::fprintf(stderr, "groundstation: %s\n", error.c_str());
        return false;
      }
      source_ = o_.replay;
      title_ = "replay of " + std::filesystem::path(o_.replay).filename().string();
      recorder_.emplace(reader_.baud());
      return true;
    }
    station::OpenError error;
    fd_ = station::open_serial(o_.device, o_.baud, error);
    if (fd_ < 0) {
      std::fprintf(stderr, "groundstation: %s\n", error.message.c_str());
      return false;
    }
    source_ = title_ = o_.device;
    recorder_.emplace(o_.baud);
    return true;
  }

  bool open_live_page() {
    if (o_.serve_text.empty()) return true;
    std::vector<station::LiveButton> buttons;
    buttons.push_back({"record-start", "Start recording", [this]() -> station::ActionReply {
                         std::string e;
                         const bool given = !o_.record_path.empty();
                         if (!recorder_->start(given ? o_.record_path : default_record_name(), true, e))
                           return {"recording failed: " + e, 500};
                         return {"recording to " + recorder_->path()};
                       }});
    buttons.push_back({"record-stop", "Stop recording", [this]() -> station::ActionReply {
                         const std::string was = recorder_->path();
                         std::string e;
                         if (!recorder_->stop(e)) {
                           say(e);
                           return {e, 500};
                         }
                         return {was.empty() ? std::string("not recording") : "recording stopped: " + was};
                       }});
    std::string error;
    server_ = station::start_live_page(o_.serve_text, "Ground station: " + title_, std::move(buttons), error);
    if (!server_) {
      std::fprintf(stderr, "groundstation: --serve %s: %s\n", o_.serve_text.c_str(), error.c_str());
      return false;
    }
    std::fputs(station::live_page_notice(*server_, "groundstation: ").c_str(), stderr);
    st_.on_sample = [this](const station::Sample& s) {
      server_->publish({static_cast<double>(s.time_ns) * 1e-9, s.decoded.angle_deg(), s.decoded.setpoint_deg()});
    };
    return true;
  }

  // The outputs last: nothing is created when the port is refused.
  bool open_outputs() {
    std::string error;
    if (!o_.csv_path.empty() && !st_.open_csv(o_.csv_path, error)) {
      std::fprintf(stderr, "groundstation: %s\n", error.c_str());
      return false;
    }
    if (!o_.record_path.empty() && !recorder_->start(o_.record_path, false, error)) {
      std::fprintf(stderr, "groundstation: %s\n", error.c_str());
      return false;
    }
    return true;
  }

  // Says a failure at once, on a line of its own.
  void say(const std::string& what) const {
    std::fprintf(stderr, "%sgroundstation: %s\n", status_line_ ? "\n" : "", what.c_str());
  }

  void report(bool final) {
    const station::Counters c = st_.counters();
    if (server_) server_->publish_status(json_status(c, source_, state_, ended_, recorder_->path(), server_->dropped()));
    if (status_line_ || final) {
      std::fprintf(stderr, "%s%" PRIu64 " frames  %4.0f/s  bad %" PRIu64 "  garbage %" PRIu64 " B  angle %.2f deg  setpoint %.2f deg%s%s",
                   status_line_ ? "\r\033[K" : "", c.frames, c.frames_per_second, c.bad_frames, c.garbage_bytes,
                   c.angle_deg, c.setpoint_deg,
                   c.angle_wraps > 0 ? "  (unwrapped " : "",
                   c.angle_wraps > 0 ? (std::to_string(c.angle_wraps) + " wire-range crossings)").c_str() : "");
      if (final) std::fputc('\n', stderr);
    }
  }

  // Files: pushed out every second; a failure is said when it happens.
  void flush_files() {
    std::string e;
    if (!st_.flush(e)) {
      say("--csv " + e + "; no CSV is written");
      output_failed_ = true;
    }
    if (!recorder_->flush(e)) {
      say(e);
      output_failed_ = true;
    }
  }

  // One step of periodic work: the status every 250 ms, files every second.
  void periodic() {
    const auto now = Clock::now();
    if (now - last_status_ >= std::chrono::milliseconds(250)) {
      last_status_ = now;
      report(false);
    }
    if (now - last_flush_ >= std::chrono::seconds(1)) {
      last_flush_ = now;
      flush_files();
    }
  }

  void take(std::uint64_t t, std::span<const std::uint8_t> bytes) {
    std::string e;
    if (!recorder_->write(t, bytes, e)) {
      say(e);
      output_failed_ = true;
    }
    st_.feed(t, bytes);
  }

  // Reads the line until it goes away or a stop is asked for.
  int read_line() {
    int status = 0;
    std::uint8_t buffer[4096];
    while (!g_stop) {
      pollfd p{fd_, POLLIN, 0};
      const int ready = poll(&p, 1, 100);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        const auto t = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_).count());
        if (n > 0) {
          take(t, std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          // An unplugged adapter or a closed pty: EIO or end of file.
          const int e = n == 0 ? 0 : errno;
          report(false);
          say(o_.device + " went away (" + (e == 0 ? std::string("hang-up") : std::strerror(e)) + ")");
          state_ = "line lost";
          status = 1;
          break;
        }
      }
      periodic();
    }
    close(fd_);
    fd_ = -1;
    return status;
  }

  // Paced by the recorded arrival times, each record after the one before
  // (a step is at most an hour, so the wait stays in range); the CSV keeps
  // the recorded times.
  int replay() {
    Chunk chunk;
    bool first = true;
    std::uint64_t before = 0;
    auto due = start_;
    std::string error;
    while (!g_stop && reader_.next(chunk, error)) {
      if (!first) {
        const double step_ns = static_cast<double>(chunk.time_ns - before) / o_.speed;
        due += std::chrono::nanoseconds(static_cast<std::int64_t>(step_ns));
      }
      first = false;
      before = chunk.time_ns;
      while (!g_stop && Clock::now() < due) {
        std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(100)));
        periodic();
      }
      if (g_stop) break;
      take(chunk.time_ns, chunk.bytes);
      periodic();
    }
    if (!error.empty()) {
      report(false);
      say(error + "; replayed up to there");
      state_ = "recording broken off";
      return 1;
    }
    if (!g_stop) state_ = "replay done";
    return 0;
  }

  // Closes the files, says the last status and, with --stay, keeps the page.
  int finish(int status) {
    if (g_stop) state_ = "stopped";
    ended_ = true;
    flush_files();
    std::string e;
    if (!recorder_->stop(e)) {
      say(e);
      output_failed_ = true;
    }
    if (!st_.close(e)) {
      say("--csv " + e);
      output_failed_ = true;
    }
    if (output_failed_) status = 1;
    report(true);
    if (server_ && o_.stay && !g_stop) {
      std::fprintf(stderr, "groundstation: source ended; still serving %s until interrupted\n", server_->url().c_str());
      while (!g_stop) {
        report(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
    }
    if (server_) server_->stop();
    return status;
  }

  const StationOptions& o_;
  const bool status_line_;
  int fd_ = -1;
  station::RecordingReader reader_;
  std::string source_;
  std::string title_;
  station::Station st_;
  std::optional<Recorder> recorder_;  // at the source's line speed
  bool output_failed_ = false;
  std::string state_ = "running";
  bool ended_ = false;
  Clock::time_point start_{}, last_status_{}, last_flush_{};
  std::unique_ptr<station::LiveServer> server_;  // last: it goes first, before what its buttons use
};

int run_station(int argc, char** argv) {
  StationOptions o;
  if (auto code = parse_options(argc, argv, o)) return *code;
  if (const std::string why = check_outputs(o); !why.empty()) {
    std::fprintf(stderr, "groundstation: %s\n", why.c_str());
    return 2;
  }
  install_signals();
  return StationRun(o).run();
}

}  // namespace

// Whatever the library throws (out of memory, a thread that cannot start)
// ends the program with its message and a failure status, not an abort.
int main(int argc, char** argv) {
  try {
    return run_station(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "groundstation: stopped by an unexpected error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "groundstation: stopped by an unexpected error\n");
  }
  return 1;
}
