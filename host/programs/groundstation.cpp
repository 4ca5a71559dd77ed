// groundstation: watches the controller's telemetry on a serial line, a
// pseudo-terminal or a recording; prints a status line, writes CSV, records
// the raw bytes and serves a live page.
//
// Exit status: 0 when the run ends normally (interrupted, or the recording
// played out), 1 when the line went away mid-run (files are still
// complete), 2 for bad options, a device that cannot be opened, a file that
// cannot be written or a malformed recording.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cinttypes>
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
#include <thread>
#include <unistd.h>

#include "live_server.h"
#include "recording.h"
#include "serial.h"
#include "serve_address.h"
#include "station.h"

namespace {

using Clock = std::chrono::steady_clock;
using station::Chunk;

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
}

std::string json_status(const station::Counters& c, const std::string& source, const std::string& state, bool ended,
                        const std::string& recording, std::uint64_t dropped) {
  char text[768];
  std::snprintf(text, sizeof text,
                "{\"source\":\"%s\",\"state\":\"%s\",\"frames\":%" PRIu64 ",\"fps\":%.0f,\"bad_frames\":%" PRIu64
                ",\"garbage_bytes\":%" PRIu64 ",\"bytes\":%" PRIu64
                ",\"angle\":%.2f,\"setpoint\":%.2f,\"angle_unwrapped\":%.2f,\"angle_wraps\":%" PRIu64
                ",\"recording\":\"%s\",\"dropped\":%" PRIu64 ",\"ended\":%s}",
                source.c_str(), state.c_str(), c.frames, c.frames_per_second, c.bad_frames, c.garbage_bytes, c.bytes,
                c.angle_deg, c.setpoint_deg, c.angle_unwrapped_deg, c.angle_wraps,
                recording.empty() ? "off" : recording.c_str(), dropped, ended ? "true" : "false");
  return text;
}

// The recording, started and stopped from the command line or the page
// while the reader writes to it.
class Recorder {
 public:
  explicit Recorder(std::uint32_t baud) : baud_(baud) {}
  bool start(const std::string& path, std::string& error) {
    std::lock_guard lock(mutex_);
    if (writer_.is_open()) return true;
    return writer_.open(path, baud_, error);
  }
  bool stop() {
    std::lock_guard lock(mutex_);
    return writer_.close();
  }
  bool write(std::uint64_t t, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    return !writer_.is_open() || writer_.write(t, bytes);
  }
  void flush() {
    std::lock_guard lock(mutex_);
    writer_.flush();
  }
  std::string path() {
    std::lock_guard lock(mutex_);
    return writer_.is_open() ? writer_.path() : std::string();
  }

 private:
  std::mutex mutex_;
  station::RecordingWriter writer_;
  std::uint32_t baud_;
};

std::string default_record_name() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char name[64];
  (void)std::strftime(name, sizeof name, "groundstation-%Y%m%d-%H%M%S.gsrec", &tm);  // 32 characters fit
  return name;
}

}  // namespace

namespace {

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
  auto* replay_opt = app.add_option("--replay", replay, "Play a recording through the same decoding instead of a device")
                         ->check(CLI::ExistingFile);
  app.add_option("--speed", speed, "Replay speed, a multiple of the recorded pace (default 1)")
      ->check(CLI::PositiveNumber)
      ->needs(replay_opt);
  app.add_option("--csv", csv_path, "Write one CSV row per frame (flushed every second and at the end)");
  app.add_option("--record", record_path, "Record the raw bytes with their arrival times");
  app.add_option("--serve", serve_text, "Serve the live page on [ADDR:]PORT (address 127.0.0.1 unless given)")
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

  install_signals();

  // The source.
  int fd = -1;
  station::RecordingReader reader;
  std::string source;
  if (!replay.empty()) {
    std::uint64_t records = 0, bytes = 0;
    std::string error;
    if (!station::check_recording(replay, records, bytes, error) || !reader.open(replay, error)) {
      std::fprintf(stderr, "groundstation: %s\n", error.c_str());
      return 2;
    }
    source = replay;
  } else {
    station::OpenError error;
    fd = station::open_serial(device, baud, error);
    if (fd < 0) {
      std::fprintf(stderr, "groundstation: %s\n", error.message.c_str());
      return 2;
    }
    source = device;
  }

  station::Station st;
  std::string error;
  if (!csv_path.empty() && !st.open_csv(csv_path, error)) {
    std::fprintf(stderr, "groundstation: %s\n", error.c_str());
    return 2;
  }
  Recorder recorder(replay.empty() ? baud : reader.baud());
  if (!record_path.empty() && !recorder.start(record_path, error)) {
    std::fprintf(stderr, "groundstation: %s\n", error.c_str());
    return 2;
  }

  std::unique_ptr<station::LiveServer> server;
  if (!serve_text.empty()) {
    station::ServeAddress where;
    station::parse_serve(serve_text, where);
    station::LiveServer::Options options;
    options.address = where.address;
    options.port = where.port;
    options.title = "Ground station: " + std::filesystem::path(source).filename().string();
    server = std::make_unique<station::LiveServer>(options);
    server->add_action("record-start", "Start recording", [&] {
      std::string e;
      const std::string path = record_path.empty() ? default_record_name() : record_path;
      if (!recorder.start(path, e)) return "recording failed: " + e;
      return "recording to " + recorder.path();
    });
    server->add_action("record-stop", "Stop recording", [&] {
      const std::string was = recorder.path();
      recorder.stop();
      return was.empty() ? std::string("not recording") : "recording stopped: " + was;
    });
    if (!server->start(error)) {
      std::fprintf(stderr, "groundstation: %s\n", error.c_str());
      return 2;
    }
    std::fprintf(stderr, "groundstation: live page at %s\n", server->url().c_str());
    st.on_sample = [&](const station::Sample& s) {
      server->publish({static_cast<double>(s.time_ns) * 1e-9, s.decoded.angle_deg(), s.decoded.setpoint_deg()});
    };
  }

  std::fprintf(stderr, "groundstation: reading %s%s\n", source.c_str(), replay.empty() ? "" : " (replay)");
  const bool status_line = !quiet && isatty(STDERR_FILENO);
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
      st.flush();
      recorder.flush();
    }
  };
  bool write_failed = false;
  auto take = [&](std::uint64_t t, std::span<const std::uint8_t> bytes) {
    if (!recorder.write(t, bytes) && !write_failed) {
      write_failed = true;
      std::fprintf(stderr, "\ngroundstation: writing the recording failed: %s\n", std::strerror(errno));
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
          std::fprintf(stderr, "%sgroundstation: %s went away (%s)\n", status_line ? "\n" : "", device.c_str(),
                       e == 0 ? "hang-up" : std::strerror(e));
          state = "line lost";
          status = 1;
          break;
        }
      }
      periodic();
    }
    close(fd);
  } else {
    Chunk chunk;
    bool first = true;
    std::uint64_t t0 = 0;
    while (!g_stop && reader.next(chunk, error)) {
      if (first) t0 = chunk.time_ns;
      first = false;
      // Paced by the recorded arrival times; the CSV keeps those times.
      const auto due = start + std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<double>(chunk.time_ns - t0) / speed));
      while (!g_stop && Clock::now() < due) {
        std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(100)));
        periodic();
      }
      if (g_stop) break;
      take(chunk.time_ns, chunk.bytes);
      periodic();
    }
    if (!error.empty()) {  // checked before the start, so only if the file changed under us
      std::fprintf(stderr, "\ngroundstation: %s\n", error.c_str());
      status = 2;
    }
    if (!g_stop) state = "replay done";
  }
  if (g_stop) state = "stopped";
  ended = true;

  st.flush();
  recorder.flush();
  // A CSV or a recording cut short by a full disk is a failed run.
  const std::string recorded = recorder.path();
  if (!recorder.stop()) {
    std::fprintf(stderr, "groundstation: %s: write failed\n", recorded.c_str());
    status = 1;
  }
  if (!st.close()) {
    std::fprintf(stderr, "groundstation: %s: write failed\n", csv_path.c_str());
    status = 1;
  }
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
    std::fprintf(stderr, "groundstation: %s\n", e.what());
    return 1;
  }
}
