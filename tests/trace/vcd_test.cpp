// Dumps read back two ways: sigrok-cli's UART and SPI decoders must give the
// bytes and words that were drawn (the telemetry frames then decode as
// frames), and the test's own reading of the file gives the PWM's duty, the
// window's clipping and the bound's cut.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "process.h"
#include "sensor_frame.h"
#include "sigrok.h"
#include "vcd_writer.h"
#include "waveforms.h"

namespace {

using trace::Ns;
using Levels = std::vector<std::pair<Ns, bool>>;
namespace fs = std::filesystem;

constexpr Ns kFrom = 1'000'090'000;  // inside a high time of the PWM
constexpr trace::BitTime kUartBit{1, 500'000};
constexpr trace::BitTime kSpiBit{32, 42'000'000};  // 42 MHz / 32

// Each signal's levels by time (the first at the window's start), and where the dump ends.
struct Dump {
  std::map<std::string, Levels> levels;
  Ns end = 0;
  std::string text;
};

Dump read_dump(const fs::path& path) {
  Dump d{{}, 0, test_process::read_file(path)};
  std::map<std::string, std::string> names;
  const std::regex var(R"(\$var wire 1 (\S+) (\S+) \$end)");
  std::istringstream in(d.text);
  for (std::string line; std::getline(in, line);) {
    if (std::smatch m; std::regex_match(line, m, var)) names[m[1]] = m[2];
    if (line[0] == '#') d.end = std::stoull(line.substr(1));
    const auto name = names.find(line.substr(1));
    if ((line[0] == '0' || line[0] == '1') && name != names.end()) {
      d.levels[name->second].emplace_back(d.end, line[0] == '1');
    }
  }
  return d;
}

// sigrok-cli's annotations on `dump` with one decoder, as numbers by row.
std::map<std::string, std::vector<unsigned>> decode(const fs::path& dump, const std::string& decoder,
                                                    const std::string& annotations) {
  const auto found = sigrok::decode(dump, decoder, annotations);
  std::map<std::string, std::vector<unsigned>> rows;
  for (const auto& a : found) rows[a.row] = sigrok::words(found, a.row);
  return rows;
}

TEST(Trace, TelemetryFramesDecodeAndThePwmKeepsItsDuty) {
  const fs::path path = test_process::work_dir() / "board.vcd";
  trace::VcdWriter w({kFrom, kFrom + 2'000'000});
  const auto pa0 = w.wire("pins", "PA0", false), tx = w.wire("pins", "PB10", true);
  const auto tick = w.wire("handlers", "TIM6_DAC_IRQHandler", false);
  // Centre-aligned PWM1 at 1 us a count, ARR 50: high while the count is below the compare value.
  constexpr Ns kCompare = 17;
  for (Ns p = 1'000'000'000; p < kFrom + 2'100'000; p += 100'000) {
    w.change(pa0, p + kCompare * 1000, false);
    w.change(pa0, p + (100 - kCompare) * 1000, true);
    w.change(tick, p + 500, true);
    w.change(tick, p + 2'500, false);
  }
  // Three telemetry frames, recorded after the pins, each's bytes back to back as the blocking send puts them.
  trace::UartTx uart(w, tx);
  std::vector<telemetry::SensorValues> sent;
  for (std::int16_t i = 0; i < 3; ++i) {
    sent.push_back({static_cast<std::int16_t>(-17'000 + i * 2'000), 10'000, 0, 0, 0, 0, 0, 0, i});
    Ns t = kFrom + 20'000 + static_cast<Ns>(i) * 500'000;
    for (const std::uint8_t b : telemetry::build_sensor_frame(sent.back())) {
      uart.byte(t, b, kUartBit);
      t = uart.end();
    }
  }
  w.write(path.string());

  auto rows = decode(path, "uart:rx=PB10:baudrate=500000", "uart=rx-data");
  const std::vector<std::uint8_t> bytes(rows["RX"].begin(), rows["RX"].end());
  telemetry::SensorFrameDecoder decoder;
  const auto frames = decoder.feed(bytes);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(decoder.garbage_bytes() + decoder.bad_frames() + decoder.pending(), 0u);
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].values, sent[i]);

  // The window holds 20 whole periods; it starts in a high time.
  const Dump d = read_dump(path);
  const Levels& pwm = d.levels.at("PA0");
  Ns high = 0;
  for (std::size_t i = 0; i < pwm.size(); ++i) {
    if (pwm[i].second) high += (i + 1 < pwm.size() ? pwm[i + 1].first : d.end) - pwm[i].first;
  }
  EXPECT_TRUE(pwm.front().second);
  EXPECT_EQ(high * 50, kCompare * (d.end - kFrom));
}

// The sensor's commands (an angle read that finds the error flag, then its
// clearing), a chip select a frame, in the board's mode 1 and the other three.
TEST(Trace, SensorCommandsDecodeInEveryMode) {
  const std::vector<unsigned> commands = {0xFFFF, 0xFFFF, 0x4001, 0xC000}, replies = {0x0001, 0x7FFE, 0x8000, 0x5A5A};
  const fs::path dir = test_process::work_dir();
  for (const unsigned mode : {1u, 0u, 2u, 3u}) {
    const bool cpol = (mode & 2u) != 0, cpha = (mode & 1u) != 0;
    const fs::path path = dir / ("mode" + std::to_string(mode) + ".vcd");
    trace::VcdWriter w({kFrom, kFrom + 100'000});
    const auto cs = w.wire("pins", "PB12", true), sck = w.wire("pins", "PB13", false);
    const auto miso = w.wire("pins", "PB14", true), mosi = w.wire("pins", "PB15", true);
    trace::SpiBus spi(w, {sck, mosi, miso}, {16, cpol, cpha});  // moves the clock to its idle level
    Ns t = kFrom + 5'000;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      w.change(cs, t, false);
      spi.frame(t + 1'000, static_cast<std::uint16_t>(commands[i]), static_cast<std::uint16_t>(replies[i]), kSpiBit);
      w.change(cs, spi.end() + 100, true);
      t = spi.end() + 2'500;
    }
    w.write(path.string());
    auto words = decode(path,
                        "spi:clk=PB13:mosi=PB15:miso=PB14:cs=PB12:cpol=" + std::to_string(cpol ? 1 : 0) +
                            ":cpha=" + std::to_string(cpha ? 1 : 0) + ":wordsize=16",
                        "spi=mosi-data:miso-data");
    EXPECT_EQ(words["MOSI data"], commands) << "mode " << mode;
    EXPECT_EQ(words["MISO data"], replies) << "mode " << mode;
  }
}

TEST(Trace, WindowClipsAndTheBoundCuts) {
  const fs::path dir = test_process::work_dir();
  trace::VcdWriter w({1'000, 2'000});
  const auto a = w.wire("pins", "A", false);
  // The level at the window's start, a pulse of no width that shows nothing, a change past the window.
  const Levels changes{{500, true}, {1'000, false}, {1'500, true}, {1'500, false}, {1'600, true}, {2'000, false}};
  for (const auto& [t, level] : changes) w.change(a, t, level);
  w.write((dir / "window.vcd").string());
  const Dump d = read_dump(dir / "window.vcd");
  EXPECT_EQ(d.levels.at("A"), (Levels{{1'000, false}, {1'600, true}}));
  EXPECT_EQ(d.end, 2'000u);

  trace::VcdWriter bounded({0, 1'000'000}, 4);
  const auto b = bounded.wire("pins", "B", false), c = bounded.wire("pins", "C", false);
  for (Ns t = 100; t <= 800; t += 100) bounded.change(b, t, (t / 100) % 2 == 1);
  bounded.change(c, 350, true);  // late, but inside what is kept
  bounded.write((dir / "bounded.vcd").string());
  const Dump cut = read_dump(dir / "bounded.vcd");
  EXPECT_EQ(bounded.cut(), 400u);
  EXPECT_EQ(cut.end, 400u);
  EXPECT_EQ(cut.levels.at("B").size(), 4u);  // at 0, 100, 200, 300
  EXPECT_EQ(cut.levels.at("C"), (Levels{{0, false}, {350, true}}));
  EXPECT_NE(cut.text.find("cut at 400 ns: the bound of 4 changes"), std::string::npos);
}

TEST(Trace, RejectsWhatWouldDrawAFalseWaveform) {
  trace::VcdWriter w({0, 1'000'000});
  const auto line = w.wire("pins", "PB10", true);
  trace::UartTx uart(w, line);
  uart.byte(1'000, 0x55, kUartBit);
  EXPECT_THROW(uart.byte(20'999, 0x55, kUartBit), std::invalid_argument);  // inside the stop bit
  EXPECT_THROW(w.change(line, 10'000, true), std::invalid_argument);      // before the line's last change
  EXPECT_EQ(trace::ticks_to_ns(3'600ull * trace::kTicksPerSecond + 256), 3'600'000'000'762u);  // an hour on
}

}  // namespace
