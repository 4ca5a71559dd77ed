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
#include <random>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

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
  Child gs({GROUNDSTATION, pty.path(), "--csv", (dir / "unplug.csv").string(), "--record", (dir / "unplug.gsrec").string()},
           dir / "gs.out", dir / "gs.err");
  ASSERT_TRUE(gs.wait_for_output("reading", 10s));
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
  expect_refused({"/dev/null", "--baud", "12345"}, "--baud");
  expect_refused({"--replay", (dir / "plain").string(), "--speed", "0"}, "--speed");

  // Recordings broken in each way are refused at the byte where they break.
  Bytes good;
  {
    station::RecordingWriter w;
    std::string error;
    ASSERT_TRUE(w.open((dir / "good.gsrec").string(), 500000, error)) << error;
    const auto f = test_frame(1);
    ASSERT_TRUE(w.write(1000, f));
    ASSERT_TRUE(w.write(2000, f));
    w.close();
    const std::string text = read_file(dir / "good.gsrec");
    good.assign(text.begin(), text.end());
    ASSERT_EQ(good.size(), 16u + 2 * (12 + 23));
  }
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
  b = good;
  b[16 + 35 + 8] = 0;  // second record's count
  refused_at("count.gsrec", b, "at byte 59: record byte count 0");
  b = good;
  b[16 + 35] = 0;  // second record earlier than the first
  b[16 + 35 + 1] = 0;
  refused_at("time.gsrec", b, "at byte 51: arrival time goes back");
  refused_at("cut.gsrec", Bytes(good.begin(), good.end() - 5), "at byte 51: record cut short");
  refused_at("header.gsrec", Bytes(good.begin(), good.begin() + 20), "at byte 16: record header cut short");
  // A header that says it is longer than the file is cut short, not an
  // empty recording.
  b = Bytes(good.begin(), good.begin() + 16);
  b[10] = 0x10;
  b[11] = 0x03;
  refused_at("long-header.gsrec", b, "at byte 16: header cut short");
  EXPECT_EQ(run({"--replay", (dir / "good.gsrec").string()}).first, 0);
}

TEST(Groundstation, AFullDiskFailsTheRunInsteadOfLeavingAShortFileBehind) {
  const fs::path dir = work_dir();
  {
    station::RecordingWriter w;
    std::string error;
    ASSERT_TRUE(w.open((dir / "short.gsrec").string(), 500000, error)) << error;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.write(1000u * static_cast<unsigned>(i + 1), test_frame(i)));
    ASSERT_TRUE(w.close());
  }
  // The CSV buffers its rows, so only the end of the run can tell that they
  // never reached the disk; the recording's header is written at once.
  auto run = [&](const char* option) {
    Child gs({GROUNDSTATION, "--replay", (dir / "short.gsrec").string(), "--speed", "100", option, "/dev/full"},
             dir / "full.out", dir / "full.err");
    const auto status = gs.wait(10s);
    return std::make_pair(status.value_or(-1), gs.stderr_text());
  };
  const auto [csv_status, csv_text] = run("--csv");
  EXPECT_EQ(csv_status, 1) << csv_text;
  EXPECT_NE(csv_text.find("/dev/full: write failed"), std::string::npos) << csv_text;
  const auto [record_status, record_text] = run("--record");
  EXPECT_EQ(record_status, 2) << record_text;
  EXPECT_NE(record_text.find("cannot write /dev/full"), std::string::npos) << record_text;
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
