// The timer model: centre-aligned and edge-aligned counting, PWM outputs on
// the pins, compare preload, the lazily kept update flag, and the 1 ms
// scheduler tick next to busy timers.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "device.h"
#include "system_clock.h"
#include "timer.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/gpio.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/chip/tim/timer.h"

namespace {

using vboard::board;
using vboard::ms;
using vboard::Ticks;
using vboard::us;

constexpr std::uint16_t kCms1 = 0x0020;      // centre-aligned mode 1
constexpr std::uint16_t kPwm1 = 0x0060;      // OCxM 110 in the channel's CCMR byte
constexpr std::uint16_t kPwm2 = 0x0070;      // OCxM 111
constexpr std::uint16_t kForceActive = 0x0050;  // OCxM 101: not modelled
constexpr std::uint16_t kPreload = 0x0008;   // OCxPE in the channel's CCMR byte

struct Edge {
  Ticks time;
  bool level;
};


// TIM5 channels 1..3 on PA0..PA2 at 1 MHz, written register by register:
// counter mode (CR1 without CEN), auto-reload, channel mode byte, compare.
void start_tim5(std::uint16_t cr1, std::uint32_t arr, std::uint16_t channel_mode, std::uint32_t compare,
                std::uint16_t ccer = 0x0111) {
  RCC->AHB1ENR = RCC->AHB1ENR | 0x1u;  // GPIOA
  RCC->APB1ENR = RCC->APB1ENR | 0x8u;  // TIM5
  GPIOA->AFR[0] = (GPIOA->AFR[0] & ~0xFFFu) | 0x222u;
  GPIOA->MODER = (GPIOA->MODER & ~0x3Fu) | 0x2Au;
  TIM5->CR1 = cr1;
  TIM5->PSC = 83;
  TIM5->ARR = arr;
  TIM5->EGR = TIM_EGR_UG;
  const auto both = static_cast<std::uint16_t>(channel_mode | (channel_mode << 8));
  TIM5->CCMR1 = both;
  TIM5->CCMR2 = channel_mode;
  TIM5->CCR1 = compare;
  TIM5->CCR2 = compare;
  TIM5->CCR3 = compare;
  TIM5->CCER = ccer;
  TIM5->CR1 = static_cast<std::uint16_t>(cr1 | TIM_CR1_CEN);
}

class TimerModel : public ::testing::Test {
 protected:
  void SetUp() override { fresh_board(); }
  void TearDown() override { board().reset(); }

  static void fresh_board() {
    board().reset();
    board().find<vboard::SensorPwm>()->set_enabled(false);
    SystemInit();  // 168 MHz: the timers count 84 MHz
  }

  // Level changes of one pin from now on (until the next reset drops the
  // observer).
  std::vector<Edge>* watch(char port, int pin) {
    std::vector<Edge>* edges = &traces_.emplace_back();
    board().gpio(port).observe([edges, pin](int p, bool level, Ticks t) {
      if (p == pin) edges->push_back({t, level});
    });
    return edges;
  }

 private:
  std::deque<std::vector<Edge>> traces_;
};

TEST_F(TimerModel, CentreAlignedPulseIsTwiceTheCompareValueCentredOnTheBottom) {
  struct Case {
    std::uint32_t compare;
    int high_us;  // per 100 us period; -1 never high, 100 always high
  };
  const Case cases[] = {{0, -1}, {1, 2}, {10, 20}, {25, 50}, {49, 98}, {50, 100}, {80, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.compare);
    fresh_board();
    start_tim5(kCms1, 50, kPwm1 | kPreload, c.compare);
    board().run_for(us(200));  // the preloaded compare value is in use from the first update on
    auto* pa0 = watch('A', 0);
    auto* pa2 = watch('A', 2);
    board().run_for(us(1000));
    const auto& timer = board().tim(5);
    if (c.high_us < 0 || c.high_us == 100) {
      EXPECT_TRUE(pa0->empty());
      EXPECT_EQ(board().gpio('A').level(0), c.high_us == 100);
      EXPECT_EQ(board().gpio('A').level(2), c.high_us == 100);
      continue;
    }
    ASSERT_GE(pa0->size(), 18u);
    EXPECT_EQ(pa0->size(), pa2->size()) << "all three channels carry the same compare value";
    for (std::size_t n = 0; n + 2 < pa0->size(); ++n) {
      const Edge& a = (*pa0)[n];
      const Edge& b = (*pa0)[n + 1];
      EXPECT_NE(a.level, b.level);
      EXPECT_EQ((*pa0)[n + 2].time - a.time, us(100)) << "one pulse a period";
      if (a.level) {
        EXPECT_EQ(b.time - a.time, us(static_cast<std::uint64_t>(c.high_us)));
      }
    }
    // The middle of a pulse is the counter's bottom.
    Ticks rise = 0;
    for (const Edge& e : *pa0) {
      if (e.level) rise = e.time;
    }
    Ticks middle = rise + us(c.compare);
    while (middle < board().now()) middle += us(100);
    board().run_until(middle);
    EXPECT_EQ(timer.counter(), 0u);
    EXPECT_FALSE(timer.counting_down());
  }
}

TEST_F(TimerModel, CentreAlignedModesUpdateAtTopAndBottom) {
  for (std::uint16_t cms : {std::uint16_t{0x0020}, std::uint16_t{0x0040}, std::uint16_t{0x0060}}) {
    SCOPED_TRACE(cms);
    fresh_board();
    start_tim5(cms, 50, kPwm1, 0);
    auto& timer = board().tim(5);
    struct Update {
      Ticks time;
      std::uint32_t count;
      bool down;
    };
    std::vector<Update> updates;
    timer.set_on_update([&](Ticks t) { updates.push_back({t, timer.counter(), timer.counting_down()}); });
    board().run_for(us(1000));
    ASSERT_GE(updates.size(), 19u);
    for (std::size_t n = 1; n < updates.size(); ++n) {
      EXPECT_EQ(updates[n].time - updates[n - 1].time, us(50));
      EXPECT_NE(updates[n].down, updates[n - 1].down) << "top and bottom take turns";
      EXPECT_EQ(updates[n].count, updates[n].down ? 50u : 0u);
    }
    // The direction bit of CR1 shows the way the counter goes.
    EXPECT_EQ((TIM5->CR1 & TIM_CR1_DIR) != 0, timer.counting_down());
  }
}

TEST_F(TimerModel, UpdateFlagAndCountAreKeptWithoutEvents) {
  start_tim5(kCms1, 50, kPwm1 | kPreload, 0);
  auto& timer = board().tim(5);
  const std::uint64_t before = timer.events_handled();
  const std::uint64_t updates_before = timer.updates();
  TIM5->SR = 0;
  board().run_for(ms(100));
  EXPECT_NE(TIM5->SR & TIM_SR_UIF, 0) << "the flag rose at the first update after it was cleared";
  // One update every 50 us; a flag that is already raised and outputs that
  // cannot change need no events at all.
  EXPECT_NEAR(static_cast<double>(timer.updates() - updates_before), 2000.0, 1.0);
  EXPECT_LE(timer.events_handled() - before, 1u);
  EXPECT_FALSE(board().gpio('A').level(0));
}

TEST_F(TimerModel, ComparePreloadTakesEffectAtTheNextUpdate) {
  for (bool preload : {true, false}) {
    SCOPED_TRACE(preload);
    fresh_board();
    start_tim5(kCms1, 50, static_cast<std::uint16_t>(kPwm1 | (preload ? kPreload : 0)), 25);
    auto& timer = board().tim(5);
    // Find a bottom, then change the compare value 5 us into the counting
    // up after the next one.
    Ticks bottom = 0;
    timer.set_on_update([&](Ticks t) {
      if (!timer.counting_down()) bottom = t;
    });
    board().run_for(us(300));
    ASSERT_NE(bottom, 0u);
    timer.set_on_update(nullptr);
    bottom += us(100);
    board().run_until(bottom + us(5));
    auto* pa0 = watch('A', 0);
    TIM5->CCR1 = 10;
    board().run_until(bottom + us(200));
    ASSERT_GE(pa0->size(), 2u);
    // Preloaded: the pulse still ends at 25 and the new value counts from
    // the top on (rise at 50 + 40). Not preloaded: it ends at 10 at once.
    EXPECT_FALSE((*pa0)[0].level);
    EXPECT_NEAR(static_cast<double>((*pa0)[0].time - bottom), static_cast<double>(us(preload ? 25 : 10)), 100.0);
    EXPECT_TRUE((*pa0)[1].level);
    EXPECT_NEAR(static_cast<double>((*pa0)[1].time - bottom), static_cast<double>(us(90)), 100.0);
    EXPECT_EQ(timer.compare(1), 10u);
  }
}

TEST_F(TimerModel, ModeEnableAndPolaritySetTheLevelOnThePin) {
  struct Case {
    const char* what;
    std::uint16_t mode;
    std::uint16_t ccer;  // channel 1 bits
    bool level_near_bottom;
    bool level_near_top;
  };
  const Case cases[] = {
      {"PWM mode 1", kPwm1, 0x0001, true, false},
      {"PWM mode 2", kPwm2, 0x0001, false, true},
      {"active low", kPwm1, 0x0003, false, true},
      {"mode 2, active low", kPwm2, 0x0003, true, false},
      {"output disabled", kPwm1, 0x0000, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_board();
    start_tim5(kCms1, 50, c.mode, 25, c.ccer);
    auto& timer = board().tim(5);
    // Land just after a bottom, then just after the following top.
    board().run_for(us(20));
    while (!(timer.counter() < 5 && !timer.counting_down())) board().run_for(us(1));
    EXPECT_EQ(board().gpio('A').level(0), c.level_near_bottom);
    board().run_for(us(50));
    EXPECT_EQ(board().gpio('A').level(0), c.level_near_top);
    EXPECT_EQ(timer.output(1), c.level_near_top);
  }
}

TEST_F(TimerModel, OutputReachesOnlyPinsInTheTimersAlternateFunction) {
  start_tim5(kCms1, 50, kPwm1, 25);
  GPIOA->AFR[0] = (GPIOA->AFR[0] & ~0xFu) | 0x1u;  // PA0 to AF1: TIM2's channel 1
  auto* pa0 = watch('A', 0);
  auto* pa1 = watch('A', 1);
  board().run_for(us(500));
  EXPECT_TRUE(pa0->empty());
  EXPECT_EQ(pa1->size(), 10u) << "PA1 stays with TIM5";
  GPIOA->AFR[0] = (GPIOA->AFR[0] & ~0xFu) | 0x2u;
  board().run_for(us(500));
  EXPECT_EQ(pa0->size(), 10u);
  GPIOA->MODER = GPIOA->MODER & ~0x3u;  // PA0 an input again: it no longer shows the output
  const std::size_t before = pa0->size();
  board().run_for(us(500));
  EXPECT_LE(pa0->size(), before + 1);
  EXPECT_FALSE(board().gpio('A').level(0));
}

// The timer keeps whether its outputs reach a pin until the port's set-up
// changes: a level that changed while the pins were away shows once they
// are back and the timer is next written.
TEST_F(TimerModel, OutputLevelReachesPinsBackInTheTimersFunction) {
  start_tim5(0, 50, kPwm1, 60);  // above the auto-reload: high throughout
  EXPECT_TRUE(board().gpio('A').level(0));
  GPIOA->MODER = GPIOA->MODER & ~0x3Fu;  // PA0..PA2 inputs
  TIM5->CCER = 0x0111;                   // the channels looked at again: no pin in the function
  TIM5->CCR1 = 0;                        // low throughout
  GPIOA->MODER = GPIOA->MODER | 0x2Au;   // back in the timer's function
  TIM5->DIER = 0;
  EXPECT_FALSE(board().gpio('A').level(0));
  EXPECT_TRUE(board().gpio('A').level(1));
}

TEST_F(TimerModel, OutputModesNotModelledShowAsGapsAndLeaveThePinAlone) {
  start_tim5(kCms1, 50, kForceActive, 25);
  ASSERT_GE(board().gap_count(), 1u);
  EXPECT_EQ(board().gaps()[0].address, TIM5_BASE + offsetof(TIM_TypeDef, CCMR1));
  EXPECT_NE(board().gaps()[0].what.find("TIM5 CC1"), std::string::npos) << board().gap_report();
  auto* pa0 = watch('A', 0);
  board().run_for(us(500));
  EXPECT_TRUE(pa0->empty());
}

TEST_F(TimerModel, EdgeAlignedPwmCountingUp) {
  struct Case {
    const char* what;
    std::uint16_t cr1;
    Ticks high;             // per 100 us period
    bool high_after_update;  // the pulse starts at the update (up) or ends there (down)
  };
  const Case cases[] = {{"up", 0x0000, us(30), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_board();
    start_tim5(c.cr1, 99, kPwm1, 30);
    auto& timer = board().tim(5);
    std::vector<Ticks> updates;
    timer.set_on_update([&](Ticks t) { updates.push_back(t); });
    auto* pa0 = watch('A', 0);
    board().run_for(us(1000));
    ASSERT_GE(updates.size(), 9u);
    for (std::size_t n = 1; n < updates.size(); ++n) EXPECT_EQ(updates[n] - updates[n - 1], us(100));
    ASSERT_GE(pa0->size(), 18u);
    for (std::size_t n = 0; n + 1 < pa0->size(); ++n) {
      const Edge& a = (*pa0)[n];
      if (!a.level) continue;
      const Edge& b = (*pa0)[n + 1];
      EXPECT_EQ(b.time - a.time, c.high);
      const Ticks at_update = c.high_after_update ? a.time : b.time;
      bool found = false;
      for (Ticks u : updates) found = found || u == at_update;
      EXPECT_TRUE(found) << "pulse edge at an update";
    }
  }
}

TEST_F(TimerModel, ANewDriveListenerHearsTheDutiesAtTheNextWriteThenOnlyChanges) {
  // TIM2, which nothing on the board listens to: PWM on channel 1 with a
  // preloaded compare value, set up before the listener comes.
  RCC->APB1ENR = RCC->APB1ENR | 0x1u;
  TIM2->PSC = 83;
  TIM2->ARR = 50;
  TIM2->EGR = TIM_EGR_UG;
  TIM2->CCMR1 = kPwm1 | kPreload;
  TIM2->CCR1 = 10;
  TIM2->CCER = 0x0001;
  TIM2->CR1 = TIM_CR1_CEN;
  board().run_for(us(100));  // the compare value in use
  std::vector<Ticks> told;
  auto listen = [&told] { board().tim(2).set_on_drive_change([&told](Ticks t) { told.push_back(t); }); };
  listen();
  TIM2->CCR1 = 20;  // changes no duty now, but the listener has heard none yet
  EXPECT_EQ(told.size(), 1u);
  TIM2->CCR1 = 25;
  TIM2->PSC = 83;
  EXPECT_EQ(told.size(), 1u) << "nothing new until the next update";
  board().run_for(us(60));
  EXPECT_EQ(told.size(), 2u) << "the update loads 25";
  EXPECT_DOUBLE_EQ(board().tim(2).duty(1), 25.0 / 51.0);
  // Unheard while nobody listens, the change reaches the next listener.
  board().tim(2).set_on_drive_change(nullptr);
  TIM2->CCR1 = 30;
  board().run_for(us(60));
  listen();
  TIM2->CCR1 = 30;
  EXPECT_EQ(told.size(), 3u);
  board().tim(2).set_on_drive_change(nullptr);
}

TEST_F(TimerModel, FreeRunningCounterWrapsAtItsAutoReload) {
  RCC->APB1ENR = RCC->APB1ENR | 0x1u;  // TIM2
  TIM2->CR1 = TIM_CR1_ARPE;
  TIM2->ARR = 0xFFFF;
  TIM2->PSC = 83;
  TIM2->EGR = TIM_EGR_UG;
  TIM2->CR1 = static_cast<std::uint16_t>(TIM_CR1_ARPE | TIM_CR1_CEN);
  const Ticks start = board().now();
  auto& timer = board().tim(2);
  for (std::uint64_t t_us : {1000u, 65535u, 65536u, 70000u, 1000000u}) {
    board().run_until(start + us(t_us));
    EXPECT_EQ(TIM2->CNT, t_us % 65536u) << t_us;
    EXPECT_EQ(timer.updates(), 1u + t_us / 65536u) << t_us;
  }
}

TEST_F(TimerModel, SchedulerTickKeepsItsPeriodBesideBusyTimers) {
  struct Case {
    std::uint32_t arr;
    Ticks period;
  };
  for (const Case& c : {Case{999, ms(1)}, Case{499, us(500)}}) {
    SCOPED_TRACE(c.arr);
    board().reset();
    SystemInit();
    SCB->AIRCR = 0x05FA0600u;  // one pre-emption bit, as after start-up
    // PWM that changes every 50 us and the sensor's captures alongside.
    start_tim5(kCms1, 50, kPwm1 | kPreload, 25);
    TIM3_Init();
    std::vector<Ticks> ticks;
    board().on_exception_entry = [&](int e, Ticks t) {
      if (e == vboard::kExcIrq0 + TIM6_DAC_IRQn) ticks.push_back(t);
    };
    TIM6_Init(c.arr, 83);
    board().run_for(ms(50));
    ASSERT_GE(ticks.size(), 40u);
    for (std::size_t n = 2; n < ticks.size(); ++n) EXPECT_EQ(ticks[n] - ticks[n - 1], c.period) << n;
    EXPECT_EQ(board().tim(6).update_period(), c.period);
  }
}

}  // namespace

TEST(TimerModelLazyPins, UnwatchedOutputReadsAsItsEdgesWouldHaveSetItAndCostsNoEvents) {
  // The same run twice, PA0 (compare 10) watched in the first and only read
  // in the second; PA1 (compare 25) is watched in both. Nobody watches the
  // port as a whole: an observer asking for PA6 hears nothing.
  struct Outcome {
    std::vector<Edge> pa0;
    std::vector<bool> samples;
    std::uint64_t events = 0;
    std::size_t pa6_calls = 0;
  };
  auto run = [](bool watch_pa0) {
    Outcome o;
    board().reset();
    board().find<vboard::SensorPwm>()->set_enabled(false);
    SystemInit();
    board().gpio('A').observe([&o](int, bool, Ticks) { ++o.pa6_calls; }, 1u << 6);
    board().gpio('A').observe([](int, bool, Ticks) {}, 1u << 1);
    if (watch_pa0) board().gpio('A').observe([&o](int, bool level, Ticks t) { o.pa0.push_back({t, level}); }, 1u << 0);
    start_tim5(kCms1, 50, kPwm1, 10, 0x0011);
    TIM5->CCR2 = 25;
    const std::uint64_t before = board().tim(5).events_handled();
    for (int i = 0; i < 150; ++i) {
      board().run_for(us(7));
      o.samples.push_back(board().gpio('A').level(0));
    }
    o.events = board().tim(5).events_handled() - before;
    board().reset();
    return o;
  };
  const Outcome watched = run(true);
  const Outcome lazy = run(false);
  ASSERT_GE(watched.pa0.size(), 18u);
  EXPECT_EQ(lazy.samples, watched.samples);
  EXPECT_EQ(watched.pa6_calls, 0u);
  EXPECT_EQ(lazy.pa6_calls, 0u);
  EXPECT_LE(lazy.events + watched.pa0.size(), watched.events + 1) << "PA0's edges were events only while watched";
}

TEST(TimerModelLazyPins, UnwatchedOutputFollowsTheCountAtEveryTick) {
  // An unwatched channel's level is found from its planned change; it must
  // be the level the count and the compare value give at every tick, across
  // update events, compare values written with and without preload, a new
  // auto-reload and a counter written mid-run.
  for (const std::uint16_t cr1 : {std::uint16_t{0}, kCms1}) {
    SCOPED_TRACE(cr1);
    board().reset();
    board().find<vboard::SensorPwm>()->set_enabled(false);
    SystemInit();
    start_tim5(cr1, 40, kPwm1, 12, 0x0111);
    TIM5->CCMR2 = kPwm2 | kPreload;  // channel 3 inverted mode, preloaded
    TIM5->CCR3 = 30;
    const vboard::Timer& t = board().tim(5);
    auto check = [&](Ticks span) {
      // Tick by tick: the changes fall on the count grid.
      for (const Ticks end = board().now() + span; board().now() < end;) {
        board().run_for(1);
        const bool down = t.counting_down();
        const std::uint32_t count = t.counter();
        for (int ch = 1; ch <= 3; ++ch) {
          const std::uint32_t c = t.compare(ch);
          const bool active = down ? count <= c : count < c;
          ASSERT_EQ(t.output(ch), ch == 3 ? !active : active) << "ch " << ch << " count " << count << " at " << board().now();
        }
      }
    };
    check(us(100));
    TIM5->CCR1 = 35;  // at once
    check(us(60));
    TIM5->CCR3 = 5;  // at the next update
    check(us(60));
    TIM5->ARR = 25;
    check(us(60));
    TIM5->CNT = 20;
    check(us(60));
  }
  board().reset();
}

TEST(TimerModelLazyPins, PollingAnUnwatchedOutputSeesItChange) {
  board().reset();
  board().find<vboard::SensorPwm>()->set_enabled(false);
  SystemInit();
  start_tim5(kCms1, 50, kPwm1, 25, 0x0001);
  // A loop polling IDR with no event behind the pin's change: it must not be
  // taken for an idle poll and skipped past the edge.
  const Ticks start = board().now();
  while (GPIOA->IDR & 1u) {
  }
  while (!(GPIOA->IDR & 1u)) {
  }
  EXPECT_LT(board().now() - start, us(150));
  EXPECT_TRUE(board().gpio('A').level(0));
}
