// The virtual board as a serial device: vboard-run puts USART3 on a pty and
// runs paced to the wall clock, groundstation reads it like a real adapter,
// and the setpoint keys come from the terminal vboard-run runs in and from
// the live page's buttons.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "http_client.h"
#include "process.h"
#include "serial.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_process::Child;
using test_process::read_file;
using test_process::work_dir;

// The word that follows `before` in the file, once it is there: up to the
// next blank or `/` at the end of a URL.
std::string wait_for_word(const fs::path& file, const std::string& before, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    const std::string text = read_file(file);
    const auto at = text.find(before);
    if (at != std::string::npos) {
      const auto begin = at + before.size();
      const auto end = text.find_first_of(" \n", begin);
      if (end != std::string::npos) {
        std::string word = text.substr(begin, end - begin);
        if (!word.empty() && word.back() == '/') word.pop_back();
        return word;
      }
    }
    std::this_thread::sleep_for(10ms);
  }
  return {};
}

// The setpoint column of groundstation's CSV with repeats folded: the
// setpoints the board went through, in order.
std::vector<std::string> setpoints_in(const std::string& csv) {
  std::vector<std::string> seen;
  std::size_t at = csv.find('\n') + 1;
  while (at < csv.size()) {
    const auto end = csv.find('\n', at);
    std::string line = csv.substr(at, end - at);
    at = end == std::string::npos ? csv.size() : end + 1;
    std::size_t field = 0;
    for (int i = 0; i < 3; ++i) field = line.find(',', field) + 1;
    const std::string setpoint = line.substr(field, line.find(',', field) - field);
    if (seen.empty() || seen.back() != setpoint) seen.push_back(setpoint);
  }
  return seen;
}

TEST(VirtualBoardPty, GroundstationReadsEveryFrameAndKeysMoveTheSetpoint) {
  const fs::path dir = work_dir();
  // The terminal vboard-run runs in, in its ordinary line-editing mode,
  // which vboard-run must hand back as it found it.
  station::Pty terminal;
  ASSERT_TRUE(terminal.open());
  termios cooked{};
  ASSERT_EQ(tcgetattr(terminal.slave(), &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_oflag |= OPOST | ONLCR;
  ASSERT_EQ(tcsetattr(terminal.slave(), TCSANOW, &cooked), 0);

  Child board({VBOARD_RUN, "--pty", "--realtime", "-d", "2s", "--serve", "0"}, dir / "run.out", dir / "run.err",
              terminal.path());
  ASSERT_TRUE(board.started());
  const std::string line = wait_for_word(dir / "run.out", "USART3 on ", 10s);
  ASSERT_FALSE(line.empty()) << read_file(dir / "run.out") << board.stderr_text();
  const std::string port = wait_for_word(dir / "run.err", "live page at http://127.0.0.1:", 10s);
  ASSERT_FALSE(port.empty()) << board.stderr_text();

  // The board powers on once groundstation has the line open.
  Child station({GROUNDSTATION, line, "--csv", (dir / "frames.csv").string(), "-q"}, dir / "gs.out", dir / "gs.err");
  ASSERT_TRUE(board.wait_for_output("keys: u = up", 10s)) << board.stderr_text();

  std::this_thread::sleep_for(300ms);
  // Bytes written into the line reach the firmware's receive side. (Not
  // during a key's 10 ms debounce: the key handler holds the receive
  // interrupt back meanwhile, and bytes arriving then overrun.)
  const int writer = ::open(line.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(writer, 0);
  const std::string noise = "0123456789abcdefghijklmnopqrstuv";
  ASSERT_EQ(::write(writer, noise.data(), noise.size()), static_cast<ssize_t>(noise.size()));
  std::this_thread::sleep_for(200ms);
  // Two keys typed at vboard-run's terminal at once: the second press waits
  // for the first to be released, and both register.
  ASSERT_EQ(::write(terminal.master(), "uu", 2), 2);
  std::this_thread::sleep_for(600ms);
  EXPECT_NE(test_http::post(std::stoi(port), "/api/action/down", test_http::token_in(board.stderr_text())).find("key down (PC8) pressed"),
            std::string::npos);

  ASSERT_EQ(board.wait(20s), 0) << board.stderr_text();
  EXPECT_EQ(station.wait(5s), 1) << "the line going away ends groundstation with 1: " << station.stderr_text();
  ::close(writer);

  const std::string out = read_file(dir / "run.out");
  const std::string sent = wait_for_word(dir / "run.out", "  frames                  ", 1s);
  ASSERT_FALSE(sent.empty()) << out;
  const std::string csv = read_file(dir / "frames.csv");
  const auto decoded = static_cast<long>(std::count(csv.begin(), csv.end(), '\n')) - 1;
  std::printf("end to end: %s frames sent, %ld decoded by groundstation\n", sent.c_str(), decoded);
  EXPECT_GE(decoded * 100, std::stol(sent) * 99) << out;
  EXPECT_GE(std::stol(sent), 380) << "2 s of frames every 5 ms";
  EXPECT_NE(station.stderr_text().find("bad 0 "), std::string::npos) << station.stderr_text();
  EXPECT_NE(out.find("bytes from the station  32 (read by the firmware 32, overruns 0, missed with the receiver off 0)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("key up (PC7) pressed (terminal)"), std::string::npos) << out;
  EXPECT_NE(out.find("key down (PC8) pressed (live page)"), std::string::npos) << out;
  EXPECT_EQ(setpoints_in(csv), (std::vector<std::string>{"0.00", "100.00", "200.00", "100.00"}));

  termios after{};
  ASSERT_EQ(tcgetattr(terminal.slave(), &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG))
      << "the terminal is handed back in line-editing mode";
}

TEST(VirtualBoardPty, ThePagesKeyPressesWaitingAreBounded) {
  // Twenty presses at once: a second's worth (ten) wait their turn, the
  // rest are refused with 429 and a reason instead of queueing for minutes.
  const fs::path dir = work_dir();
  Child board({VBOARD_RUN, "-d", "5s", "--serve", "0", "-q"}, dir / "run.out", dir / "run.err");
  const std::string port = wait_for_word(dir / "run.err", "live page at http://127.0.0.1:", 10s);
  ASSERT_FALSE(port.empty()) << board.stderr_text();
  const std::string token = test_http::token_in(board.stderr_text());
  int pressed = 0, refused = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    const std::string answer = test_http::post(std::stoi(port), "/api/action/up", token);
    pressed += answer.find("key up (PC7) pressed") != std::string::npos;
    refused += answer.find("429") != std::string::npos &&
               answer.find("presses are already waiting (at most 10, one each 100 ms)") != std::string::npos;
  }
  // One waiting press begins every 100 ms, so a slow machine that spreads
  // the twenty over longer frees a place now and then.
  const auto spread = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(pressed, 10);
  EXPECT_LE(pressed, 11 + static_cast<int>(spread.count() / 100)) << spread.count() << " ms";
  EXPECT_EQ(pressed + refused, 20);
  board.signal(SIGINT);
  EXPECT_EQ(board.wait(10s), 0) << board.stderr_text();
}

TEST(VirtualBoardPty, PacedRunWithoutAnEndStopsCleanlyOnCtrlC) {
  const fs::path dir = work_dir();
  const auto start = std::chrono::steady_clock::now();
  Child board({VBOARD_RUN, "--realtime", "--csv", (dir / "run.csv").string()}, dir / "run.out", dir / "run.err");
  ASSERT_TRUE(board.started());
  std::this_thread::sleep_for(1s);
  board.signal(SIGINT);
  ASSERT_EQ(board.wait(10s), 0) << board.stderr_text();
  const double wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

  const std::string out = read_file(dir / "run.out");
  const auto summary = out.find("summary: ");
  ASSERT_NE(summary, std::string::npos) << out;
  const double virtual_ms = std::stod(out.substr(summary + 9));
  EXPECT_LE(virtual_ms, wall_ms) << "virtual time never runs ahead of the wall clock";
  EXPECT_GE(virtual_ms, 500.0) << out;
  EXPECT_NE(out.find(", interrupted\n"), std::string::npos) << out;
  EXPECT_NE(out.find("wrote " + (dir / "run.csv").string()), std::string::npos) << out;
}

TEST(VirtualBoardPty, AWriterFasterThanTheLineIsHeldBackInThePty) {
  const fs::path dir = work_dir();
  Child board({VBOARD_RUN, "--pty", "-d", "1s"}, dir / "run.out", dir / "run.err");
  const std::string line = wait_for_word(dir / "run.out", "USART3 on ", 10s);
  ASSERT_FALSE(line.empty()) << board.stderr_text();
  const int fd = ::open(line.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(station::set_raw(fd, station::kBoardBaud));
  // 1 MB as fast as the pty takes it: 20 s of line time. The board takes a
  // second's worth at most into its queue; the rest waits in the pty.
  std::size_t written = 0;
  std::thread writer([&] {
    const std::vector<std::uint8_t> chunk(4096, 0x55);
    while (written < 1'000'000) {
      const ssize_t n = ::write(fd, chunk.data(), chunk.size());
      if (n <= 0) break;  // the line went away at the end of the run
      written += static_cast<std::size_t>(n);
    }
  });
  const auto status = board.wait(20s);
  writer.join();
  ::close(fd);
  ASSERT_EQ(status, 0) << board.stderr_text();
  EXPECT_LT(written, 400'000u);
  const std::string out = read_file(dir / "run.out");
  const std::string received = wait_for_word(dir / "run.out", "bytes from the station  ", 1s);
  ASSERT_FALSE(received.empty()) << out;
  EXPECT_LE(std::stoul(received), 50'000u) << "no more than the line carries in a second";
  // Every byte is read by the firmware, but for those that arrived before
  // its start-up turned the receiver on.
  unsigned long read = 0, overruns = 1, missed = 0;
  const auto at = out.find("(read by the firmware ");
  ASSERT_NE(at, std::string::npos) << out;
  ASSERT_EQ(std::sscanf(out.c_str() + at, "(read by the firmware %lu, overruns %lu, missed with the receiver off %lu)",
                        &read, &overruns, &missed),
            3)
      << out;
  EXPECT_LE(read + missed, std::stoul(received));
  EXPECT_GE(read + missed + 1, std::stoul(received)) << "the last byte may still wait in DR when the run ends";
  EXPECT_EQ(overruns, 0u);
  EXPECT_LT(missed, 1000u) << "start-up enables the receiver within a few milliseconds";
  EXPECT_GE(std::stoul(received), 40'000u) << "the line was kept busy";
  const std::string sent = wait_for_word(dir / "run.out", "  frames                  ", 1s);
  EXPECT_NE(out.find(sent + " sent, " + sent + " decoded (bad frames 0"), std::string::npos) << out;
}

}  // namespace
