// The control spine on the virtual board: start-up, the 1 ms scheduler tick,
// the three flags and the main loop's works, the heartbeat, reset.
#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "delay.h"
#include "global_variable.h"
#include "system_clock.h"
#include "device.h"
#include "vboard/board/board.h"
#include "wired_pins.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/gpio.h"
#include "work_monitor.h"

namespace {

using vboard::board;
using vboard::ms;
using vboard::Ticks;
using vboard::us;
using vboard::Work;
constexpr int kTick = vboard::kExcIrq0 + TIM6_DAC_IRQn;

struct Trace {
  std::vector<Ticks> ticks;      // scheduler tick handler entries
  std::vector<Ticks> heartbeat;  // PA6 level changes
  vboard::WorkMonitor works;
  void attach() {
    board().on_exception_entry = [this](int e, Ticks t) {
      if (e == kTick) ticks.push_back(t);
    };
    wired::port_of("heartbeat LED").observe([this](int pin, bool, Ticks t) {
      if (pin == wired::pin("heartbeat LED").pin) heartbeat.push_back(t);
    });
    works.attach(board());
  }
};

class MainLoop : public ::testing::Test {
 protected:
  void SetUp() override { board().reset(); }
  void TearDown() override { board().reset(); }
};

TEST_F(MainLoop, FirstTickEndsStartUpAndEachWorkComesOnItsTick) {
  Trace trace;
  trace.attach();
  board().power_on();
  board().run_for(ms(20));
  ASSERT_FALSE(trace.ticks.empty());
  // 250 ticks from the first, and time for the last work to finish.
  board().run_until(trace.ticks[0] + ms(249) + us(700));
  ASSERT_EQ(trace.ticks.size(), 250u);
  // The tick's update flag is left raised by its set-up: the first tick is
  // taken as soon as its interrupt is enabled, the following every 1 ms.
  // (The tick's counter restarted a few register accesses before the
  // interrupt was enabled, so the first interval is that much short of 1 ms.)
  const Ticks start_end = trace.ticks[0];
  EXPECT_LT(start_end, ms(12)) << "the SPI link's 10 ms settling wait is the longest step";
  EXPECT_NEAR(static_cast<double>(trace.ticks[1] - trace.ticks[0]), static_cast<double>(ms(1)), static_cast<double>(us(2)));
  for (std::size_t n = 2; n < trace.ticks.size(); ++n) {
    EXPECT_EQ(trace.ticks[n] - trace.ticks[n - 1], ms(1)) << "tick " << n;
  }
  // Each work finishes shortly after the tick that raised its flag: the 5th,
  // the 10th and the 100th.
  auto after = [&](Work w, std::size_t tick) {
    const auto& t = trace.works.times(w);
    EXPECT_FALSE(t.empty());
    if (t.empty()) return Ticks{0};
    EXPECT_GE(t[0], trace.ticks[tick - 1]);
    return t[0] - trace.ticks[tick - 1];
  };
  EXPECT_LT(after(Work::k5ms, 5), us(600));
  EXPECT_LT(after(Work::kControl, 10), us(600));
  EXPECT_LT(after(Work::k100ms, 100), us(600));
  EXPECT_EQ(trace.works.runs(Work::k100ms), 2u);
  EXPECT_EQ(trace.works.runs(Work::k5ms), 50u);
  EXPECT_EQ(trace.works.runs(Work::kControl), 25u);
}

TEST_F(MainLoop, HeartbeatTogglesEvery100ms) {
  Trace trace;
  trace.attach();
  board().power_on();
  board().run_for(ms(1050));
  // The first change is the LED set-up driving PA6 high; then a toggle per 100 ms.
  ASSERT_EQ(trace.heartbeat.size(), 11u);
  for (std::size_t n = 2; n < trace.heartbeat.size(); ++n) {
    EXPECT_EQ(trace.heartbeat[n] - trace.heartbeat[n - 1], ms(100));
  }
  EXPECT_TRUE(wired::level("heartbeat LED")) << "ten toggles after the set-up leave it high";
}

TEST_F(MainLoop, PeriodElapsingWhileItsFlagIsSetIsNotCountedTwice) {
  Trace trace;
  trace.attach();
  board().power_on();
  board().run_for(ms(50));
  // Start right after a 5 ms work has finished, so none is in progress.
  board().run_until(trace.works.times(Work::k5ms).back() + ms(5) + us(500));
  const auto before = trace.works.runs(Work::k5ms);
  const auto control_before = trace.works.runs(Work::kControl);
  // The main loop is busy for 12 ms: two 5 ms periods and one control
  // period elapse with the flags already raised.
  board().hold_main_loop(ms(12));
  board().run_for(ms(13));
  EXPECT_EQ(trace.works.runs(Work::k5ms) - before, 1u);
  EXPECT_LE(trace.works.runs(Work::kControl) - control_before, 1u);
  // The tick kept counting: 1 ms apart all through the hold.
  for (std::size_t n = 2; n < trace.ticks.size(); ++n) EXPECT_EQ(trace.ticks[n] - trace.ticks[n - 1], ms(1));
  // Afterwards the works run at their periods again.
  const auto resumed = trace.works.runs(Work::k5ms);
  board().run_for(ms(100));
  EXPECT_EQ(trace.works.runs(Work::k5ms) - resumed, 20u);
}

TEST_F(MainLoop, EveryRunStartsFromResetAndRunsTheSame) {
  auto run_once = [] {
    Trace trace;
    board().reset();
    trace.attach();
    // Before the firmware runs, every shared value holds its initial value.
    EXPECT_EQ(gFlag100ms, RESET);
    EXPECT_EQ(gFlag5ms, RESET);
    EXPECT_EQ(gFlagControl, RESET);
    EXPECT_EQ(MotorAPosition.Des, 0.0f);
    EXPECT_EQ(MotorAPosition.FB, 0.0f);
    EXPECT_EQ(MotorAPosition.Kp, 0.26f);
    EXPECT_EQ(MotorAPosition.Ki, 0.04f);
    EXPECT_EQ(MotorAPosition.Kd, 0.06f);
    EXPECT_EQ(MotorAPosition.E, 0.0f);
    EXPECT_EQ(MotorAPosition.PreE, 0.0f);
    EXPECT_EQ(MotorAPosition.SumE, 0.0f);
    EXPECT_EQ(MotorAPosition.U, 0.0f);
    EXPECT_EQ(MotorAPosition.UMax, 12.0f);
    EXPECT_EQ(MotorAPosition.UMin, -12.0f);
    EXPECT_EQ(MotorAPosition.EMin, 0.0f);
    EXPECT_EQ(MotorAPark.Theta, 0);
    EXPECT_EQ(MotorAPark.Uq, 0.0f);
    EXPECT_EQ(MotorASVPWM.UAlpha, 0.0f);
    EXPECT_EQ(MotorASVPWM.UBeta, 0.0f);
    EXPECT_EQ(AngleComp, 40.0f);
    EXPECT_EQ(PitchAngle, 0.0f);
    EXPECT_EQ(NowPithchAngle, 0.0f);
    EXPECT_EQ(LastPitchAngle, 0.0f);
    EXPECT_EQ(DiffPithchAngle, 0.0f);
    EXPECT_EQ(AbPitchAngle, 0.0f);
    EXPECT_EQ(ElePitchAngle, 0.0f);
    EXPECT_EQ(UqAngle, 0);
    EXPECT_EQ(Sinthe, 0);
    EXPECT_EQ(Costhe, 0);
    EXPECT_EQ(IC1Value, 0u);
    EXPECT_EQ(IC2Value, 0u);
    EXPECT_EQ(DutyCycle, 0.0f);
    EXPECT_EQ(Frequency, 0.0f);
    EXPECT_EQ(SystemCoreClock, 168000000u);
    // A run that changes the state, with a key-press-like change of the
    // setpoint on the way, so the next run has something to undo.
    board().power_on();
    board().run_for(ms(25));
    MotorAPosition.Des = 100.0f;
    board().run_for(ms(230));
    EXPECT_EQ(MotorAPosition.Des, 100.0f);
    return std::make_tuple(trace.ticks, trace.heartbeat, trace.works.times(Work::kControl), board().interrupts_taken(),
                           board().register_accesses());
  };
  const auto first = run_once();
  const auto second = run_once();
  EXPECT_EQ(std::get<0>(first), std::get<0>(second)) << "tick times differ between two runs";
  EXPECT_EQ(std::get<1>(first), std::get<1>(second));
  EXPECT_EQ(std::get<2>(first), std::get<2>(second));
  EXPECT_EQ(std::get<3>(first), std::get<3>(second));
  EXPECT_EQ(std::get<4>(first), std::get<4>(second));
}

TEST(Delays, LastWhatTheirLoopTakesAtTheCoreClockInForce) {
  board().reset();
  // Reset clock: the internal 16 MHz oscillator. 35000 passes of 4.8 cycles
  // are 168000 cycles: 10.5 ms at 16 MHz, 1 ms at 168 MHz.
  Ticks t = board().now();
  delay_ms(0);
  delay_us(0);
  EXPECT_EQ(board().now(), t);
  delay_ms(1);
  EXPECT_EQ(board().now() - t, ms(10) + us(500));
  SystemInit();
  t = board().now();
  delay_ms(3);
  EXPECT_EQ(board().now() - t, ms(3));
  t = board().now();
  delay_us(2);
  EXPECT_EQ(board().now() - t, 2 * 192 * board().core_cycle()) << "40 passes a microsecond: 192 cycles";
  board().reset();
}

}  // namespace
