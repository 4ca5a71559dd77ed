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

int run_station(int argc, char** argv) {
  CLI::App app{"Watches the controller's telemetry frames: on a serial line (raw 8N1), a pseudo-terminal or a recording."};
  std::string device;
  std::string replay;
  double speed = 1.0;
  std::string csv_path;
  std::string record_path;
  std::string serve_text;
  unsigned baud = station::kBoardBaud;
  bool stay = false;
  bool quiet = false;

  auto* device_opt = app.add_option("device", device, "Serial device or pty to read, e.g. /dev/ttyUSB0");
  auto* replay_opt =
      app.add_option("--replay", replay, "Play a recording (a file, a FIFO or a pipe) through the same decoding instead of a device")
          ->check(CLI::ExistingFile);
  app.add_option("--speed", speed, "Replay speed, a multiple of the recorded pace, 0.01 to 10000 (default 1)")
      ->check(CLI::Validator(
          [](std::string& text) {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || v < kMinSpeed || v > kMaxSpeed)
              return "must be a number from 0.01 to 10000 (a multiple of the recorded pace), not '" + text + "'";
            return std::string();
          },
          "SPEED"))
      ->needs(replay_opt);
  app.add_option("--csv", csv_path, "Write one CSV row per frame (put in place when the run ends)");
  app.add_option("--record", record_path, "Record the raw bytes with their arrival times (a new file, never one that exists)");
  app.add_option("--serve", serve_text, "Serve the live page on [ADDR:]PORT (address 127.0.0.1 unless given; IPv6 as [::1]:PORT)")
      ->check(CLI::Validator(
          [](const std::string& text) {
            station::ServeAddress a;
            return station::parse_serve(text, a);
          },
          "[ADDR:]PORT"));
  app.add_option("--baud", baud, "Line speed (the board sends at 500000)")
      ->check(CLI::Validator(
          [](std::string& text) {
            try {
              return station::supported_baud(static_cast<unsigned>(std::stoul(text))) ? std::string()
                                                                                      : "speed " + text + " is not supported";
            } catch (...) {
              return "speed must be a whole number, not '" + text + "'";
            }
          },
          "BAUD"))
      ->excludes(replay_opt);
  app.add_flag("--stay", stay, "With --serve: keep serving the page after the source ends, until interrupted");
  app.add_flag("-q,--quiet", quiet, "No status line");
  device_opt->excludes(replay_opt);
  try {
    app.parse(argc, argv);
    if (device.empty() && replay.empty()) throw CLI::RequiredError("a device or --replay FILE");
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  // The outputs, before anything is opened: none may be an input or
  // another output, and a recording never replaces a file.
  {
    std::vector<files::Named> outputs;
    if (!csv_path.empty()) outputs.push_back({"--csv", csv_path});
    if (!record_path.empty()) outputs.push_back({"--record", record_path});
    const std::vector<files::Named> inputs = {replay.empty() ? files::Named{"the device", device}
                                                             : files::Named{"--replay", replay}};
    std::string why = files::check_outputs(inputs, outputs);
    if (why.empty() && !record_path.empty() && is_regular_file(record_path))
      why = "--record " + record_path + ": exists; a recording never replaces a file: choose another name";
    if (!why.empty()) {
      std::fprintf(stderr, "groundstation: %s\n", why.c_str());
      return 2;
    }
  }

  install_signals();

  // The source. A recording is read once, as a stream: a broken record is
  // found when replay reaches it.
  int fd = -1;
  station::RecordingReader reader;
  std::string source;
  std::string title;
  if (!replay.empty()) {
    std::string error;
    if (!reader.open(replay, error)) {
      std::fprintf(stderr, "groundstation: %s\n", error.c_str());
      return 2;
    }
    source = replay;
    title = "replay of " + std::filesystem::path(replay).filename().string();
  } else {
    station::OpenError error;
    fd = station::open_serial(device, baud, error);
    if (fd < 0) {
      std::fprintf(stderr, "groundstation: %s\n", error.message.c_str());
      return 2;
    }
    source = device;
    title = device;
  }

  station::Station st;
  std::string error;
  Recorder recorder(replay.empty() ? baud : reader.baud());
  const bool status_line = !quiet && isatty(STDERR_FILENO);
  // Says a failure at once, on a line of its own.
  auto say = [&](const std::string& what) { std::fprintf(stderr, "%sgroundstation: %s\n", status_line ? "\n" : "", what.c_str()); };
  bool output_failed = false;

  std::unique_ptr<station::LiveServer> server;
  if (!serve_text.empty()) {
    station::ServeAddress where;
    station::parse_serve(serve_text, where);
    station::LiveServer::Options options;
    options.address = where.address;
    options.port = where.port;
    options.title = "Ground station: " + title;
    server = std::make_unique<station::LiveServer>(options);
    server->add_action("record-start", "Start recording", [&]() -> station::ActionReply {
      std::string e;
      const bool given = !record_path.empty();
      if (!recorder.start(given ? record_path : default_record_name(), true, e)) return {"recording failed: " + e, 500};
      return {"recording to " + recorder.path()};
    });
    server->add_action("record-stop", "Stop recording", [&]() -> station::ActionReply {
      const std::string was = recorder.path();
      std::string e;
      if (!recorder.stop(e)) {
        say(e);
        return {e, 500};
      }
      return {was.empty() ? std::string("not recording") : "recording stopped: " + was};
    });
    if (!server->start(error)) {
      std::fprintf(stderr, "groundstation: --serve %s: %s\n", serve_text.c_str(), error.c_str());
      return 2;
    }
    std::fprintf(stderr, "groundstation: live page at %s\n", server->url().c_str());
    std::fprintf(stderr, "groundstation: scripts press its buttons with the header %s: %s\n",
                 station::LiveServer::kTokenHeader, server->token().c_str());
    st.on_sample = [&](const station::Sample& s) {
      server->publish({static_cast<double>(s.time_ns) * 1e-9, s.decoded.angle_deg(), s.decoded.setpoint_deg()});
    };
  }
  // The outputs last: nothing is created when the port is refused.
  if (!csv_path.empty() && !st.open_csv(csv_path, error)) {
    std::fprintf(stderr, "groundstation: %s\n", error.c_str());
    return 2;
  }
  if (!record_path.empty() && !recorder.start(record_path, false, error)) {
    std::fprintf(stderr, "groundstation: %s\n", error.c_str());
    return 2;
  }

  std::fprintf(stderr, "groundstation: reading %s%s\n", source.c_str(), replay.empty() ? "" : " (replay)");
  std::string state = "running";
  bool ended = false;
  auto report = [&](bool final) {
    const station::Counters c = st.counters();
    if (server) server->publish_status(json_status(c, source, state, ended, recorder.path(), server->dropped()));
    if (status_line || final) {
      std::fprintf(stderr, "%s%" PRIu64 " frames  %4.0f/s  bad %" PRIu64 "  garbage %" PRIu64 " B  angle %.2f deg  setpoint %.2f deg%s%s",
                   status_line ? "\r\033[K" : "", c.frames, c.frames_per_second, c.bad_frames, c.garbage_bytes,
                   c.angle_deg, c.setpoint_deg,
                   c.angle_wraps > 0 ? "  (unwrapped " : "",
                   c.angle_wraps > 0 ? (std::to_string(c.angle_wraps) + " wire-range crossings)").c_str() : "");
      if (final) std::fputc('\n', stderr);
    }
  };

  // Files: pushed out every second; a failure is said when it happens.
  auto flush_files = [&] {
    std::string e;
    if (!st.flush(e)) {
      say("--csv " + e + "; no CSV is written");
      output_failed = true;
    }
    if (!recorder.flush(e)) {
      say(e);
      output_failed = true;
    }
  };
  // One step of periodic work: the status every 250 ms, files every second.
  auto last_status = Clock::now();
  auto last_flush = Clock::now();
  auto periodic = [&] {
    const auto now = Clock::now();
    if (now - last_status >= std::chrono::milliseconds(250)) {
      last_status = now;
      report(false);
    }
    if (now - last_flush >= std::chrono::seconds(1)) {
      last_flush = now;
      flush_files();
    }
  };
  auto take = [&](std::uint64_t t, std::span<const std::uint8_t> bytes) {
    std::string e;
    if (!recorder.write(t, bytes, e)) {
      say(e);
      output_failed = true;
    }
    st.feed(t, bytes);
  };

  int status = 0;
  const auto start = Clock::now();
  if (fd >= 0) {
    std::uint8_t buffer[4096];
    while (!g_stop) {
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, 100);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        const auto t = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
        if (n > 0) {
          take(t, std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          // An unplugged adapter or a closed pty: EIO or end of file.
          const int e = n == 0 ? 0 : errno;
          report(false);
          say(device + " went away (" + (e == 0 ? std::string("hang-up") : std::strerror(e)) + ")");
          state = "line lost";
          status = 1;
          break;
        }
      }
      periodic();
    }
    close(fd);
  } else {
    // Paced by the recorded arrival times, each record after the one
    // before (a step is at most an hour, so the wait stays in range); the
    // CSV keeps the recorded times.
    Chunk chunk;
    bool first = true;
    std::uint64_t before = 0;
    auto due = start;
    while (!g_stop && reader.next(chunk, error)) {
      if (!first) {
        const double step_ns = static_cast<double>(chunk.time_ns - before) / speed;
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
      state = "recording broken off";
      status = 1;
    } else if (!g_stop) {
      state = "replay done";
    }
  }
  if (g_stop) state = "stopped";
  ended = true;

  flush_files();
  std::string e;
  if (!recorder.stop(e)) {
    say(e);
    output_failed = true;
  }
  if (!st.close(e)) {
    say("--csv " + e);
    output_failed = true;
  }
  if (output_failed) status = 1;
  report(true);
  if (server && stay && !g_stop) {
    std::fprintf(stderr, "groundstation: source ended; still serving %s until interrupted\n", server->url().c_str());
    while (!g_stop) {
      report(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  if (server) server->stop();
  return status;
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
