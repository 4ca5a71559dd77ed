// Virtual time does not depend on how a caller cuts a run: one run_for, many
// odd-length pieces, or pauses with something happening at exactly "now"
// give the same run, every observable alike (exception entries, pin changes,
// every byte on the serial line with its times, the works, the counts).
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>
#include <vector>

#include "vboard/board/board.h"
#include "vboard/chip/gpio.h"
#include "vboard/parts/ground_station.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/motor_drive.h"
#include "work_monitor.h"
#include "vboard/parts/sensor_pwm.h"

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
    auto& station = board().ground_station();
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

TEST(TimeCuts, OneMillisecondStepsOfTheClosedLoopGiveTheFreeRun) {
  // The default board with the motor in the loop, run as a program that
  // steps it would: every frame byte with its times, pin, entry and work, and
  // the shaft itself, come out as in one run_for, through a key press that
  // turns the rotor.
  constexpr Ticks kClosedLoop = ms(800);
  auto closed_loop = [](Observed& seen, double& shaft, auto drive) {
    board().reset();
    seen.attach();
    board().find<vboard::Keys>()->click(vboard::Key::kRaise, ms(300), ms(50));
    board().power_on();
    drive();
    seen.finish();
    shaft = board().motor_drive().sensor_unwrapped_deg();
    board().reset();
  };
  Observed whole, stepped;
  double whole_shaft = 0.0, stepped_shaft = 0.0;
  closed_loop(whole, whole_shaft, [&] { board().run_for(kClosedLoop); });
  closed_loop(stepped, stepped_shaft, [&] {
    for (Ticks t = ms(1); t <= kClosedLoop; t += ms(1)) board().run_until(t);
  });
  ASSERT_GT(whole.bytes.size(), 3000u);
  ASSERT_GT(whole_shaft, 20.0) << "the press turned the rotor";
  expect_same(whole, stepped);
  EXPECT_EQ(whole_shaft, stepped_shaft);
}

TEST(TimeCuts, WhatEndsTheFirmwareOnItsContextReachesTheCaller) {
  // A callback that throws while the firmware runs, or that tries to run or
  // end the board from inside the firmware's turn, ends that run: the caller
  // of run_for gets the exception, and the board runs again after a reset.
  for (int attempt = 0; attempt < 3; ++attempt) {
    board().reset();
    board().power_on();
    board().run_for(ms(5));
    board().on_exception_entry = [attempt](int, Ticks) {
      if (attempt == 0) throw std::runtime_error("thrown by a callback");
      if (attempt == 1) board().run_for(ms(1));
      if (attempt == 2) board().reset();
    };
    if (attempt == 0) {
      EXPECT_THROW(board().run_for(ms(5)), std::runtime_error);
    } else {
      EXPECT_THROW(board().run_for(ms(5)), std::logic_error) << attempt;
    }
    board().on_exception_entry = nullptr;
    board().run_for(ms(1));  // the firmware's run has ended; the models go on alone
  }
  Observed again;
  run(again, [] { board().run_for(ms(50)); });
  EXPECT_GT(again.bytes.size(), 100u);
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
