// Virtual time does not depend on how a caller cuts a run: one run_for, many
// odd-length pieces, or pauses with something happening at exactly "now"
// give the same run, every observable alike (exception entries, pin changes,
// every byte on the serial line with its times, the works, the counts).
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "vboard/board.h"
#include "vboard/gpio.h"
#include "vboard/ground_station.h"
#include "work_monitor.h"
#include "vboard/sensor_pwm.h"

namespace {

using vboard::board;
using vboard::ms;
using vboard::Ticks;
using vboard::us;

// Everything a test can see of a run.
struct Observed {
  std::vector<std::pair<int, Ticks>> entries;
  std::vector<std::tuple<char, int, bool, Ticks>> pins;
  std::vector<std::tuple<std::uint16_t, Ticks, Ticks, bool>> bytes;
  std::vector<Ticks> works[3];
  std::uint64_t accesses = 0;
  std::uint64_t interrupts = 0;
  Ticks end = 0;
  vboard::WorkMonitor monitor;

  void attach() {
    board().on_exception_entry = [this](int e, Ticks t) { entries.emplace_back(e, t); };
    for (char port : {'A', 'B', 'C'})
      board().gpio(port).observe([this, port](int pin, bool level, Ticks t) { pins.emplace_back(port, pin, level, t); });
    auto& station = vboard::GroundStation::of(board());
    station.set_recording(false);
    station.on_byte = [this](const vboard::GroundStation::Heard& b) { bytes.emplace_back(b.value, b.start, b.end, b.clean); };
    monitor.attach(board());
  }
  void finish() {
    for (int w = 0; w < 3; ++w) works[w] = monitor.times(static_cast<vboard::Work>(w));
    accesses = board().register_accesses();
    interrupts = board().interrupts_taken();
    end = board().now();
  }
};

void expect_same(const Observed& a, const Observed& b) {
  EXPECT_EQ(a.entries, b.entries);
  EXPECT_EQ(a.pins, b.pins);
  ASSERT_EQ(a.bytes.size(), b.bytes.size());
  for (std::size_t n = 0; n < a.bytes.size(); ++n) ASSERT_EQ(a.bytes[n], b.bytes[n]) << "byte " << n;
  for (int w = 0; w < 3; ++w) EXPECT_EQ(a.works[w], b.works[w]);
  EXPECT_EQ(a.accesses, b.accesses);
  EXPECT_EQ(a.interrupts, b.interrupts);
  EXPECT_EQ(a.end, b.end);
}

constexpr Ticks kLength = ms(400);

// A run with the rotor turning, so that captures, sensor reads and the
// telemetry all go on together; `drive` advances the board to kLength.
template <typename Drive>
void run(Observed& seen, Drive drive) {
  board().reset();
  board().rotor().set(30.0, 250.0, 0);
  seen.attach();
  board().power_on();
  drive();
  board().run_until(kLength);
  seen.finish();
  board().reset();
}

TEST(TimeCuts, PiecesOfAnyLengthGiveTheSameRun) {
  Observed whole;
  run(whole, [] { board().run_for(kLength); });
  ASSERT_GT(whole.bytes.size(), 1000u);
  ASSERT_GT(whole.entries.size(), 700u);

  Observed pieces;
  // Odd lengths, down to one tick, so that pauses fall inside polls, delays,
  // handlers and idle skips alike.
  run(pieces, [] {
    const Ticks lengths[] = {1, 2, 3, 7, 11, 333, us(1) + 1, us(37) - 3, ms(1) - 7, 4567};
    for (std::size_t n = 0; board().now() < kLength - ms(2); ++n) board().run_for(lengths[n % std::size(lengths)]);
  });
  expect_same(whole, pieces);
}

TEST(TimeCuts, SomethingDueExactlyNowRunsAndTheRunGoesOn) {
  // While the firmware idles, an action set for the current time (and the
  // sensor's output switched on, which starts a period now) run at once;
  // neither leaves run_for waiting for ever.
  board().reset();
  board().power_on();
  board().run_for(ms(30));
  bool ran = false;
  const Ticks now = board().now();
  Ticks ran_at = 0;
  board().at(now, [&] {
    ran = true;
    ran_at = board().now();
  });
  board().run_for(ms(1));
  EXPECT_TRUE(ran);
  EXPECT_EQ(ran_at, now);
  EXPECT_EQ(board().now(), now + ms(1));

  auto* pwm = board().find<vboard::SensorPwm>();
  ASSERT_NE(pwm, nullptr);
  pwm->set_enabled(false);
  board().run_for(ms(3));
  const auto periods = pwm->periods();
  pwm->set_enabled(true);
  board().run_for(ms(3));
  EXPECT_GE(pwm->periods(), periods + 3);
  board().reset();
}

TEST(TimeCuts, ABoundAlreadyReachedGivesTheFirmwareNoTurn) {
  // Stopping exactly on a sensor edge (an event at the stop time, after
  // which the firmware hands the turn back from a register access) and then
  // asking for that time again: time stays, the firmware makes no access,
  // and an action set for now runs.
  board().reset();
  board().rotor().set(30.0, 250.0, 0);
  board().power_on();
  board().run_for(ms(20));
  auto* pwm = board().find<vboard::SensorPwm>();
  ASSERT_NE(pwm, nullptr);
  for (int n = 0; n < 50; ++n) {
    board().run_until(pwm->last_rise() + pwm->period());
    const Ticks stopped = board().now();
    const auto accesses = board().register_accesses();
    bool ran = false;
    board().at(stopped, [&] { ran = true; });
    board().run_until(stopped);
    board().run_for(0);
    board().run_until(stopped - 1);
    ASSERT_EQ(board().now(), stopped) << "stop " << n;
    ASSERT_EQ(board().register_accesses(), accesses) << "stop " << n;
    ASSERT_TRUE(ran) << "stop " << n;
  }
  board().reset();
}

}  // namespace
