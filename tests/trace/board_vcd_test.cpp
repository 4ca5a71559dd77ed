// A dump of a real run read back by sigrok-cli: the UART decoder gives the
// telemetry frames the run decoded, the SPI decoder the sensor commands SPI2
// clocked, the PWM decoder the duty TIM5's compare value sets; each handler
// rises as often as it was entered.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <sstream>

#include "board_time.h"
#include "board_trace.h"
#include "device.h"
#include "process.h"
#include "session.h"
#include "sigrok.h"
#include "vboard/chip/spi.h"

namespace {

namespace fs = std::filesystem;

// Rising edges after the window's start, by wire name.
std::map<std::string, unsigned> rising_edges(const fs::path& dump) {
  std::map<std::string, std::string> names;
  std::map<std::string, unsigned> rises;
  std::istringstream in(test_process::read_file(dump));
  bool changes = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string var, wire, one, code, name;
    if (words >> var >> wire >> one >> code >> name && var == "$var") names[code] = name;
    if (line == "$end") changes = true;  // of $dumpvars: the levels at the start are no edges
    if (changes && line.size() > 1 && line[0] == '1' && names.count(line.substr(1))) ++rises[names[line.substr(1)]];
  }
  return rises;
}

TEST(BoardTrace, ARunsDumpDecodesToWhatTheBoardDid) {
  run::Scenario s;
  s.duration_s = 0.35;
  s.presses = {{.key = run::KeyName::kUp, .at_s = 0.2, .hold_s = 0.08, .where = "test"}};
  run::Session session(s, vboard::MotorParams{}, s.gains);
  vboard::Board& board = session.board();
  // Twenty ms while the loop moves the duties after the step: telemetry frames, a sensor read.
  const vboard::Ticks from = run::ticks_of(0.32), to = run::ticks_of(0.34);
  run::BoardTrace trace(board, session.station(), from, to);

  std::vector<telemetry::SensorValues> telemetry;
  session.on_frame = [&](double, const telemetry::SensorFrame& f) { telemetry.push_back(f.values); };
  std::vector<std::uint32_t> ccr1;  // every 10 us, as a debugger reads it
  for (vboard::Ticks t = from; t < to; t += vboard::us(10)) {
    board.at(t, [&] { ccr1.push_back(board.peek(TIM5_BASE + offsetof(TIM_TypeDef, CCR1))); });
  }
  std::vector<std::uint64_t> entries(vboard::kExceptions);
  std::vector<vboard::Spi::Frame> spi;
  board.at(from, [&] {
    for (int e = 0; e < vboard::kExceptions; ++e) entries[static_cast<std::size_t>(e)] = board.handler_entries(e);
  });
  board.at(to, [&] {
    for (int e = 0; e < vboard::kExceptions; ++e) entries[static_cast<std::size_t>(e)] = board.handler_entries(e) - entries[static_cast<std::size_t>(e)];
    for (const auto& f : board.spi(2).frames()) {
      if (f.start >= from && f.end < to) spi.push_back(f);
    }
  });
  session.run();
  const fs::path dump = test_process::work_dir() / "board.vcd";
  trace.write(dump.string());

  // The frames in the dump are frames the run decoded, one after the other.
  const auto uart = sigrok::words(sigrok::decode(dump, "uart:rx=PB10:baudrate=500000", "uart=rx-data"), "RX");
  telemetry::SensorFrameDecoder decoder;
  const auto frames = decoder.feed(std::vector<std::uint8_t>(uart.begin(), uart.end()));
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(decoder.bad_frames(), 0u);
  const auto first = std::find(telemetry.begin(), telemetry.end(), frames[0].values);
  ASSERT_LE(first + static_cast<std::ptrdiff_t>(frames.size()), telemetry.end());
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].values, first[static_cast<std::ptrdiff_t>(i)]);

  // The sensor read's commands (0xFFFF: angle, with its parity bit) and replies.
  const auto words = sigrok::decode(
      dump, "spi:clk=PB13:mosi=PB15:miso=PB14:cs=PB12:cpol=0:cpha=1:wordsize=16", "spi=mosi-data:miso-data");
  std::vector<unsigned> sent, received;
  for (const auto& f : spi) {
    sent.push_back(f.sent);
    received.push_back(f.received);
  }
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[0], 0xFFFFu);
  EXPECT_EQ(sigrok::words(words, "MOSI data"), sent);
  EXPECT_EQ(sigrok::words(words, "MISO data"), received);

  // Each PWM period (rising edge to rising edge) away from a compare write has the duty CCR1 / 50.
  std::size_t checked = 0;
  std::vector<std::uint32_t> seen;
  for (const auto& a : sigrok::decode(dump, "pwm:data=PA0", "pwm=duty-cycle")) {
    const auto at = static_cast<std::ptrdiff_t>(a.at_us / 10);
    if (at < 10 || at + 20 >= static_cast<std::ptrdiff_t>(ccr1.size())) continue;
    const auto around = ccr1.begin() + at;
    if (!std::all_of(around - 10, around + 20, [&](std::uint32_t c) { return c == *around; })) continue;
    EXPECT_NEAR(std::stod(a.text), *around * 2.0, 1e-6) << a.at_us << " us";
    ++checked;
    if (std::find(seen.begin(), seen.end(), *around) == seen.end()) seen.push_back(*around);
  }
  EXPECT_GE(checked, 150u);
  EXPECT_GE(seen.size(), 2u) << "the duty moved in the window";

  // Every handler rises as often as it was entered in the window.
  const auto rises = rising_edges(dump);
  for (int e = 0; e < vboard::kExceptions; ++e) {
    const auto n = entries[static_cast<std::size_t>(e)];
    if (n == 0) continue;
    const auto it = rises.find(vboard::exception_name(e));
    ASSERT_NE(it, rises.end()) << vboard::exception_name(e);
    EXPECT_EQ(it->second, n) << it->first;
  }
  EXPECT_GT(rises.count("TIM6_DAC_IRQHandler"), 0u);
}

}  // namespace
