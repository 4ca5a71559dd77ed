// The ground station program end to end: frames through a real
// pseudo-terminal, the files it writes, recording and replay, a line that
// goes away, noise, and refusals of bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <sys/stat.h>

#include "http_client.h"
#include "live_server.h"
#include "process.h"
#include "recording.h"
#include "sensor_frame.h"
#include "serial.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_process::Child;
using test_process::read_file;
using test_process::work_dir;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto end = text.find('\n', at);
    out.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

// The frame sent as number i: the angle climbs 2 deg per frame (past the
// wire's +327.67 deg after 164 frames), the setpoint steps 100 deg.
telemetry::SensorFrameBytes test_frame(int i) {
  telemetry::SensorValues v{};
  v[telemetry::kAx] = static_cast<std::int16_t>(static_cast<std::uint16_t>(i * 200));
  v[telemetry::kAy] = static_cast<std::int16_t>(static_cast<std::uint16_t>((i / 80) * 10000));
  return telemetry::build_sensor_frame(v);
}

// A recording of test frames 0..count-1, `step_ns` apart, and then
// `last_ns` (when not 0) one more frame; its bytes.
Bytes write_frames(const fs::path& path, int count, std::uint64_t step_ns, std::uint64_t last_ns = 0) {
  station::RecordingWriter w;
  std::string error;
  EXPECT_TRUE(w.open(path.string(), 500000, error)) << error;
  bool written = true;
  for (int i = 0; i < count; ++i) written = written && w.write(step_ns * static_cast<unsigned>(i + 1), test_frame(i));
  if (last_ns != 0) written = written && w.write(last_ns, test_frame(count));
  EXPECT_TRUE(written);
  EXPECT_TRUE(w.close());
  const std::string text = read_file(path);
  return Bytes(text.begin(), text.end());
}

void write_all(int fd, const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w <= 0) return;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
}

// Sends `count` frames at 5 ms spacing, as the board does.
void send_frames(int fd, int count) {
  auto next = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    const auto f = test_frame(i);
    write_all(fd, f.data(), f.size());
    next += 5ms;
    std::this_thread::sleep_until(next);
  }
}

struct Summary {
  std::uint64_t frames = 0, bad = 0, garbage = 0;
};

// The final status line the program prints on stderr.
Summary summary_of(const std::string& err) {
  Summary s;
  std::string last;
  for (const auto& line : lines_of(err))
    if (line.find(" frames ") != std::string::npos) last = line;
  unsigned long long frames = 0, bad = 0, garbage = 0;
  if (std::sscanf(last.c_str(), "%llu frames %*f/s bad %llu garbage %llu B", &frames, &bad, &garbage) == 3) {
    s.frames = frames;
    s.bad = bad;
    s.garbage = garbage;
  }
  return s;
}

std::vector<std::string> run_replay(const fs::path& dir, const fs::path& recording, const std::string& speed,
                                    const std::string& name) {
  Child gs({GROUNDSTATION, "--replay", recording.string(), "--speed", speed, "--csv", (dir / name).string()},
           dir / (name + ".out"), dir / (name + ".err"));
  EXPECT_EQ(gs.wait(20s), 0) << gs.stderr_text();
  return lines_of(read_file(dir / name));
}

TEST(Groundstation, ReadsAPtyAtTheBoardsPaceAndReplaysItsRecordingIdentically) {
  const fs::path dir = work_dir();
  station::Pty pty;
  ASSERT_TRUE(pty.open());
  Child gs({GROUNDSTATION, pty.path(), "--csv", (dir / "live.csv").string(), "--record", (dir / "live.gsrec").string()},
           dir / "gs.out", dir / "gs.err");
  ASSERT_TRUE(gs.wait_for_output("reading", 10s)) << gs.stderr_text();
  constexpr int kFrames = 400;  // 2 s of telemetry
  send_frames(pty.master(), kFrames);
  std::this_thread::sleep_for(300ms);
  gs.signal(SIGTERM);
  ASSERT_EQ(gs.wait(10s), 0) << gs.stderr_text();

  const auto live = lines_of(read_file(dir / "live.csv"));
  ASSERT_FALSE(live.empty());
  EXPECT_EQ(live[0], "time_s,frame,angle_deg,setpoint_deg,angle_unwrapped_deg,setpoint_unwrapped_deg");
  const std::size_t decoded = live.size() - 1;
  const Summary s = summary_of(gs.stderr_text());
  std::printf("pty: %d frames sent, %zu decoded (%.2f %%), %llu bad, %llu garbage bytes\n", kFrames, decoded,
              100.0 * static_cast<double>(decoded) / kFrames, static_cast<unsigned long long>(s.bad),
              static_cast<unsigned long long>(s.garbage));
  EXPECT_GE(decoded, static_cast<std::size_t>(kFrames * 99 / 100));
  EXPECT_EQ(s.frames, decoded);
  EXPECT_EQ(s.bad, 0u);
  EXPECT_EQ(s.garbage, 0u);
  // The last frame: the raw angle has wrapped twice, the unwrapped one not.
  const std::string& last = live.back();
  EXPECT_NE(last.find(",798.00,400.00"), std::string::npos) << last;
  EXPECT_NE(last.find(",-"), std::string::npos) << last;

  const auto once = run_replay(dir, dir / "live.gsrec", "1", "replay1.csv");
  EXPECT_EQ(once, live);
  const auto fast = run_replay(dir, dir / "live.gsrec", "50", "replay50.csv");
  EXPECT_EQ(fast, live);
}

TEST(Groundstation, EndsCleanlyWithEverythingWrittenWhenTheLineGoesAway) {
  const fs::path dir = work_dir();
  station::Pty pty;
  ASSERT_TRUE(pty.open());
  Child gs({GROUNDSTATION, pty.path(), "--csv", (dir / "unplug.csv").string(), "--record", (dir / "unplug.gsrec").string(),
            "--serve", "127.0.0.1:0"},
           dir / "gs.out", dir / "gs.err");
  ASSERT_TRUE(gs.wait_for_output("reading", 10s));
  const std::string err = gs.stderr_text();
  EXPECT_NE(test_http::http(std::stoi(err.substr(err.find("http://127.0.0.1:") + 17)), "GET /")
                .find("<title>Ground station: " + pty.path() + "</title>"),
            std::string::npos)
      << "the page names the line";
  send_frames(pty.master(), 60);
  std::this_thread::sleep_for(100ms);
  pty.close_master();  // the adapter pulled out
  pty.close_slave();
  const auto status = gs.wait(10s);
  ASSERT_TRUE(status.has_value()) << "still running after the line went away";
  EXPECT_EQ(*status, 1);
  EXPECT_NE(gs.stderr_text().find("went away"), std::string::npos) << gs.stderr_text();
  // Every frame that arrived is in the CSV, and the recording replays to it.
  const auto csv = lines_of(read_file(dir / "unplug.csv"));
  EXPECT_EQ(csv.size(), 61u);
  EXPECT_EQ(run_replay(dir, dir / "unplug.gsrec", "100", "replay.csv"), csv);
}

TEST(Groundstation, CountsNoiseAndDamagedFramesAsTheDecoderDoes) {
  // A line at the wrong speed or with noise: random bytes (headers among
  // them), damaged frames and good frames, fed in odd-sized pieces.
  const fs::path dir = work_dir();
  std::mt19937 rng(12);
  Bytes stream;
  for (int i = 0; i < 300; ++i) {
    auto f = test_frame(i);
    switch (rng() % 5) {
      case 0:
        for (unsigned n = rng() % 40; n > 0; --n) stream.push_back(rng() % 3 == 0 ? 0xAA : static_cast<std::uint8_t>(rng()));
        break;
      case 1:
        f[4 + rng() % 18] ^= 0x10;  // one bit flipped
        break;
      default:
        break;
    }
    stream.insert(stream.end(), f.begin(), f.end());
  }
  telemetry::SensorFrameDecoder reference;
  reference.feed(stream);
  ASSERT_GT(reference.bad_frames(), 10u);

  station::Pty pty;
  ASSERT_TRUE(pty.open());
  Child gs({GROUNDSTATION, pty.path(), "--csv", (dir / "noise.csv").string()}, dir / "gs.out", dir / "gs.err");
  ASSERT_TRUE(gs.wait_for_output("reading", 10s));
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min<std::size_t>(1 + rng() % 97, stream.size() - at);
    write_all(pty.master(), stream.data() + at, n);
    at += n;
    std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(300ms);
  gs.signal(SIGINT);
  ASSERT_EQ(gs.wait(10s), 0) << gs.stderr_text();
  const Summary s = summary_of(gs.stderr_text());
  EXPECT_EQ(s.frames, reference.good_frames());
  EXPECT_EQ(s.bad, reference.bad_frames());
  EXPECT_EQ(s.garbage, reference.garbage_bytes() + reference.pending());
  EXPECT_EQ(lines_of(read_file(dir / "noise.csv")).size(), reference.good_frames() + 1);
}

TEST(Groundstation, RefusesWhatItCannotUseWithExitTwo) {
  const fs::path dir = work_dir();
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), GROUNDSTATION);
    Child gs(args, dir / "out", dir / "err");
    const auto status = gs.wait(10s);
    return std::make_pair(status.value_or(-1), gs.stderr_text() + read_file(dir / "out"));
  };
  auto expect_refused = [&](std::vector<std::string> args, const std::string& says) {
    const auto [status, text] = run(args);
    EXPECT_EQ(status, 2) << args.back() << ": " << text;
    EXPECT_NE(text.find(says), std::string::npos) << text;
  };
  expect_refused({"/dev/no-such-adapter"}, "cannot open /dev/no-such-adapter: No such file or directory");
  {
    std::ofstream(dir / "plain") << "x";
    expect_refused({(dir / "plain").string()}, "is not a serial device");
  }
  expect_refused({}, "a device or --replay FILE");
  expect_refused({"--replay", (dir / "none.gsrec").string()}, "--replay");
  expect_refused({"/dev/null", "--serve", "80000"}, "--serve");
  expect_refused({"/dev/null", "--serve", ":8080"}, "--serve");
  expect_refused({"/dev/null", "--serve", "::1:8080"}, "goes in brackets, as in [::1]:8080");
  expect_refused({"/dev/null", "--baud", "12345"}, "--baud");
  for (const char* speed : {"0", "nan", "1e-300", "1e9", "-1"})
    expect_refused({"--replay", (dir / "plain").string(), "--speed", speed}, "must be a number from 0.01 to 10000");

  // Recordings with a broken header are refused at the byte where it breaks.
  const Bytes good = write_frames(dir / "good.gsrec", 2, 1000);
  auto refused_at = [&](const std::string& name, Bytes bytes, const std::string& says) {
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    expect_refused({"--replay", (dir / name).string()}, says);
  };
  Bytes b = good;
  b[0] = 'X';
  refused_at("magic.gsrec", b, "at byte 0: not a ground-station recording");
  b = good;
  b[8] = 2;
  refused_at("version.gsrec", b, "at byte 8: recording version 2 is not supported");
  // A header that says it is longer than the file is cut short, not an
  // empty recording.
  b = Bytes(good.begin(), good.begin() + 16);
  b[10] = 0x10;
  b[11] = 0x03;
  refused_at("long-header.gsrec", b, "at byte 16: header cut short");
  EXPECT_EQ(run({"--replay", (dir / "good.gsrec").string()}).first, 0);

  // Outputs that would destroy an input or each other, by any spelling, or
  // replace a file with a recording: refused before anything is written.
  const std::string good_path = (dir / "good.gsrec").string();
  const std::string same = (dir / "." / "good.gsrec").string();
  expect_refused({"--replay", good_path, "--record", same}, "is the file that --replay reads");
  expect_refused({"--replay", good_path, "--csv", same}, "is the file that --replay reads");
  expect_refused({"--replay", good_path, "--csv", (dir / "x").string(), "--record", (dir / "x").string()},
                 "is also the output of --csv");
  expect_refused({"--replay", good_path, "--record", (dir / "plain").string()}, "a recording never replaces a file");
  {
    station::LiveServer taken({});
    std::string error;
    ASSERT_TRUE(taken.start(error)) << error;
    expect_refused({"--replay", good_path, "--serve", "127.0.0.1:" + std::to_string(taken.port()), "--csv",
                    (dir / "x").string(), "--record", (dir / "y").string()},
                   "the port is in use by another program");
    EXPECT_FALSE(fs::exists(dir / "y"));
  }
  EXPECT_EQ(read_file(dir / "good.gsrec"), std::string(good.begin(), good.end()));
  EXPECT_EQ(read_file(dir / "plain"), "x");
  EXPECT_FALSE(fs::exists(dir / "x"));
}

TEST(Groundstation, ABrokenRecordingIsReplayedUpToTheBreakWithItsOffsetSaid) {
  const fs::path dir = work_dir();
  const Bytes good = write_frames(dir / "good.gsrec", 2, 1000);
  ASSERT_EQ(good.size(), 16u + 2 * (12 + 23));
  auto replayed = [&](const std::string& name, const Bytes& bytes, const std::string& says) {
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    Child gs({GROUNDSTATION, "--replay", (dir / name).string(), "--csv", (dir / (name + ".csv")).string()}, dir / "out", dir / "err");
    EXPECT_EQ(gs.wait(5s), 1) << name << ": " << gs.stderr_text();
    EXPECT_NE(gs.stderr_text().find(": " + says), std::string::npos) << gs.stderr_text();
    EXPECT_NE(gs.stderr_text().find("; replayed up to there"), std::string::npos) << gs.stderr_text();
    EXPECT_EQ(lines_of(read_file(dir / (name + ".csv"))).size(), 2u) << name << ": the first frame";
  };
  Bytes b = good;
  b[16 + 35 + 8] = 0;  // second record's count
  replayed("count.gsrec", b, "at byte 59: record byte count 0");
  b = good;
  b[16 + 35] = 0;  // second record earlier than the first
  b[16 + 35 + 1] = 0;
  replayed("time.gsrec", b, "at byte 51: arrival time goes back");
  // A flipped high byte of the time: days ahead, or 2^63 ns and more.
  for (const std::uint8_t high : {0x01, 0x80}) {
    b = good;
    b[16 + 35 + 7] = high;
    replayed("jump.gsrec", b, "at byte 51: arrival time jumps");
  }
  replayed("cut.gsrec", Bytes(good.begin(), good.end() - 5), "at byte 51: record cut short");
  replayed("header.gsrec", Bytes(good.begin(), good.end() - 30), "at byte 51: record header cut short");

  // A FIFO (or a pipe, as from <(cat run.gsrec)) is read once, as a stream.
  const fs::path fifo = dir / "line.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Child gs({GROUNDSTATION, "--replay", fifo.string(), "--csv", (dir / "fifo.csv").string()}, dir / "out", dir / "err");
  std::ofstream(fifo, std::ios::binary).write(reinterpret_cast<const char*>(good.data()), static_cast<std::streamsize>(good.size()));
  EXPECT_EQ(gs.wait(5s), 0) << gs.stderr_text();
  EXPECT_EQ(lines_of(read_file(dir / "fifo.csv")).size(), 3u);
}

TEST(Groundstation, AWriteErrorIsSaidAtOnceAndLeavesNoBrokenFile) {
  const fs::path dir = work_dir();
  write_frames(dir / "long.gsrec", 600, 5'000'000);
  // A CSV on a full disk: said within a second or so, while the 3 s replay
  // goes on, and nothing is left behind.
  Child csv({GROUNDSTATION, "--replay", (dir / "long.gsrec").string(), "--csv", "/dev/full"}, dir / "csv.out", dir / "csv.err");
  EXPECT_TRUE(csv.wait_for_output("--csv /dev/full: write failed: No space left on device", 2500ms)) << csv.stderr_text();
  EXPECT_EQ(csv.wait(10s), 1) << csv.stderr_text();
  // The recording's header is written at once.
  Child none({GROUNDSTATION, "--replay", (dir / "long.gsrec").string(), "--record", "/dev/full"}, dir / "full.out", dir / "full.err");
  EXPECT_EQ(none.wait(10s), 2) << none.stderr_text();
  EXPECT_NE(none.stderr_text().find("cannot write /dev/full"), std::string::npos) << none.stderr_text();
  // The disk fills mid-recording (a file-size limit stands in for it): the
  // recording stops there, said at once, and ends at its last whole record.
  Child cut({"/usr/bin/prlimit", "--fsize=5000", GROUNDSTATION, "--replay", (dir / "long.gsrec").string(), "--speed", "100",
             "--record", (dir / "cut.gsrec").string()},
            dir / "cut.out", dir / "cut.err");
  EXPECT_EQ(cut.wait(10s), 1) << cut.stderr_text();
  EXPECT_NE(cut.stderr_text().find("recording stopped: " + (dir / "cut.gsrec").string() + ": write failed: File too large"),
            std::string::npos)
      << cut.stderr_text();
  const auto size = fs::file_size(dir / "cut.gsrec");
  EXPECT_GT(size, 16u);
  EXPECT_LE(size, 5000u);
  EXPECT_EQ((size - 16) % (12 + 23), 0u) << "a record cut in the middle";
  Child again({GROUNDSTATION, "--replay", (dir / "cut.gsrec").string(), "--speed", "100"}, dir / "again.out", dir / "again.err");
  EXPECT_EQ(again.wait(10s), 0) << again.stderr_text();
}

TEST(Groundstation, RecordingsFromThePageNeverReplaceAFile) {
  const fs::path dir = work_dir();
  write_frames(dir / "long.gsrec", 600, 5'000'000);
  {
    station::RecordingWriter w;
    std::string error;
    bool exists = false;
    EXPECT_FALSE(w.open((dir / "long.gsrec").string(), 500000, error, &exists));
    EXPECT_TRUE(exists);
  }
  auto serve = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {GROUNDSTATION, "--replay", (dir / "long.gsrec").string(), "--serve", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Child>(args, dir / "gs.out", dir / "gs.err", "/dev/null", dir.string());
  };
  auto press = [&](const Child& gs, const std::string& action) {
    const std::string err = gs.stderr_text();
    const auto at = err.find("http://127.0.0.1:");
    return test_http::post(std::stoi(err.substr(at + 17)), "/api/action/" + action, test_http::token_in(err));
  };
  // Stop and start again, three times: each start a new file.
  auto gs = serve({"--record", "keep.gsrec"});
  ASSERT_TRUE(gs->wait_for_output("reading", 10s)) << gs->stderr_text();
  std::this_thread::sleep_for(500ms);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(press(*gs, "record-stop").find("recording stopped"), std::string::npos);
    EXPECT_NE(press(*gs, "record-start").find("keep-" + std::to_string(i + 2) + ".gsrec"), std::string::npos);
  }
  gs->signal(SIGINT);
  EXPECT_EQ(gs->wait(5s), 0) << gs->stderr_text();
  EXPECT_GT(fs::file_size(dir / "keep.gsrec"), 16u + 50 * 35);
  for (const char* name : {"keep-2.gsrec", "keep-3.gsrec", "keep-4.gsrec"}) EXPECT_TRUE(fs::exists(dir / name)) << name;
  // Default names: three in the same second, three files.
  gs = serve({});
  ASSERT_TRUE(gs->wait_for_output("reading", 10s)) << gs->stderr_text();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(press(*gs, "record-start").find("recording to groundstation-"), std::string::npos);
    EXPECT_NE(press(*gs, "record-stop").find("recording stopped"), std::string::npos);
  }
  gs->signal(SIGINT);
  EXPECT_EQ(gs->wait(5s), 0) << gs->stderr_text();
  int made = 0;
  for (const auto& e : fs::directory_iterator(dir)) made += e.path().filename().string().rfind("groundstation-", 0) == 0;
  EXPECT_EQ(made, 3);
}

TEST(Groundstation, EndsWithinASecondOnASignalWithWhatItHadWritten) {
  // Waiting half an hour for the next record, with a browser's stream and
  // a connection that never finishes its request: SIGINT or SIGTERM ends
  // it all within a second, the files complete.
  const fs::path dir = work_dir();
  write_frames(dir / "pause.gsrec", 100, 1'000'000, 1800'000'000'000);
  for (const int sig : {SIGINT, SIGTERM}) {
    fs::remove(dir / "out.gsrec");
    Child gs({GROUNDSTATION, "--replay", (dir / "pause.gsrec").string(), "--csv", (dir / "out.csv").string(), "--record",
              (dir / "out.gsrec").string(), "--serve", "127.0.0.1:0"},
             dir / "gs.out", dir / "gs.err");
    ASSERT_TRUE(gs.wait_for_output("reading", 10s)) << gs.stderr_text();
    const std::string err = gs.stderr_text();
    const int port = std::stoi(err.substr(err.find("http://127.0.0.1:") + 17));
    const int stream = test_http::connect_local(port, 4096);
    const std::string events = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    ASSERT_EQ(::write(stream, events.data(), events.size()), static_cast<ssize_t>(events.size()));
    const int slow = test_http::connect_local(port);
    ASSERT_EQ(::write(slow, "GET / HT", 8), 8);
    std::this_thread::sleep_for(700ms);
    const auto before = std::chrono::steady_clock::now();
    gs.signal(sig);
    EXPECT_EQ(gs.wait(5s), 0) << gs.stderr_text();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
    std::printf("signal %d: ended in %lld ms\n", sig, static_cast<long long>(took.count()));
    EXPECT_LT(took, 1s);
    EXPECT_EQ(lines_of(read_file(dir / "out.csv")).size(), 101u);
    EXPECT_EQ(fs::file_size(dir / "out.gsrec"), 16u + 100 * 35);
    ::close(stream);
    ::close(slow);
  }
}

TEST(Groundstation, ABoardOnANonBlockingPtyIsNeverHeldBackAndCanBeJoinedLater) {
  // The board side writes on with nobody reading: the pty fills, writes
  // fail with EAGAIN instead of blocking, and a reader that comes later
  // still gets the frames sent after it opened the line.
  const fs::path dir = work_dir();
  station::Pty pty;
  ASSERT_TRUE(pty.open(true));
  std::size_t refused = 0;
  for (int i = 0; i < 20000; ++i) {
    const auto f = test_frame(i);
    if (::write(pty.master(), f.data(), f.size()) < 0) {
      ASSERT_EQ(errno, EAGAIN);
      ++refused;
    }
  }
  EXPECT_GT(refused, 0u);
  Child gs({GROUNDSTATION, pty.path(), "--csv", (dir / "late.csv").string()}, dir / "gs.out", dir / "gs.err");
  ASSERT_TRUE(gs.wait_for_output("reading", 10s));
  std::this_thread::sleep_for(200ms);
  const auto before = lines_of(read_file(dir / "late.csv")).size();
  for (int i = 0; i < 50; ++i) {
    const auto f = test_frame(i);
    ASSERT_EQ(::write(pty.master(), f.data(), f.size()), 23);
    std::this_thread::sleep_for(2ms);
  }
  std::this_thread::sleep_for(300ms);
  gs.signal(SIGTERM);
  ASSERT_EQ(gs.wait(10s), 0);
  EXPECT_GE(lines_of(read_file(dir / "late.csv")).size(), before + 50);
}

}  // namespace
