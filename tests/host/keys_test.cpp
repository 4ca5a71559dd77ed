// The external interrupt controller and its SYSCFG routing, the two
// setpoint keys with their contact bounce, and the key interrupt's handler:
// a press moves the setpoint by 100 degrees, a glitch is acknowledged and
// ignored, and the 10 ms debounce inside the handler holds the scheduler
// tick back.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device.h"
#include "drv_rcc.h"
#include "global_variable.h"
#include "system_clock.h"
#include "timer.h"
#include "vboard/board/board.h"
#include "wired_pins.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/exti.h"
#include "vboard/chip/gpio.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/sensor_pwm.h"

namespace {

using vboard::board;
using vboard::Exti;
using vboard::Key;
using vboard::Keys;
using vboard::ms;
using vboard::Ticks;
using vboard::us;

constexpr int kKeyException = vboard::kExcIrq0 + EXTI9_5_IRQn;
constexpr int kTickException = vboard::kExcIrq0 + TIM6_DAC_IRQn;

Exti& exti() { return *board().find<Exti>(); }
Keys& keys() { return *board().find<Keys>(); }

void open_syscfg_clock() { RCC->APB2ENR = RCC->APB2ENR | RCC_APB2Periph_SYSCFG; }

// Routes EXTI line `line` to `port` ('A'..'C') through SYSCFG.
void route(int line, char port) {
  const std::uint32_t shift = 4u * static_cast<std::uint32_t>(line % 4);
  const auto index = static_cast<std::size_t>(line / 4);
  SYSCFG->EXTICR[index] = (SYSCFG->EXTICR[index] & ~(0xFu << shift)) | (static_cast<std::uint32_t>(port - 'A') << shift);
}

// What the key set-up does: PC7 and PC8 inputs with pull-up, lines 7 and 8
// on port C, falling edges, unmasked; one pre-emption bit; the keys'
// channel at byte 0x30, enabled.
void configure_keys() {
  RCC->AHB1ENR = RCC->AHB1ENR | 0x4u;  // GPIOC
  GPIOC->MODER = GPIOC->MODER & ~0x3C000u;
  GPIOC->PUPDR = (GPIOC->PUPDR & ~0x3C000u) | 0x14000u;
  open_syscfg_clock();
  route(7, 'C');
  route(8, 'C');
  EXTI->RTSR = EXTI->RTSR & ~0x180u;
  EXTI->FTSR = EXTI->FTSR | 0x180u;
  EXTI->IMR = EXTI->IMR | 0x180u;
  SCB->AIRCR = 0x05FA0600u;
  NVIC->IP[EXTI9_5_IRQn] = 0x30;
  NVIC->ISER[0] = 1u << EXTI9_5_IRQn;
}

// ---------------------------------------------------------------------------
// EXTI and SYSCFG

class ExtiModel : public ::testing::Test {
 protected:
  void SetUp() override {
    board().reset();
    board().find<vboard::SensorPwm>()->set_enabled(false);
    open_syscfg_clock();
  }
  void TearDown() override { board().reset(); }

  // A falling edge (high, then low) driven onto a pin from outside.
  static void fall(char port, int pin) {
    board().gpio(port).drive(pin, true);
    board().gpio(port).drive(pin, false);
  }
};

TEST_F(ExtiModel, LineFollowsThePinOfThePortSyscfgSelects) {
  for (char routed : {'A', 'B', 'C'}) {
    SCOPED_TRACE(routed);
    route(7, routed);
    EXTI->FTSR = 0x80u;
    EXTI->IMR = 0x80u;
    for (char port : {'A', 'B', 'C'}) {
      EXTI->PR = 0x80u;
      fall(port, 7);
      EXPECT_EQ(exti().pending(7), port == routed) << port;
    }
    EXTI->PR = 0x80u;
    fall(routed, 6);
    EXPECT_EQ(exti().pending_lines(), 0u) << "pin 6 is line 6's";
  }
}

TEST_F(ExtiModel, OnlySelectedEdgesOfUnmaskedLinesPend) {
  struct Case {
    const char* what;
    std::uint32_t rtsr, ftsr, imr;
    bool on_rising, on_falling;
  };
  const Case cases[] = {
      {"falling only", 0, 0x100, 0x100, false, true},
      {"rising only", 0x100, 0, 0x100, true, false},
      {"both edges", 0x100, 0x100, 0x100, true, true},
      {"no edge selected", 0, 0, 0x100, false, false},
      {"masked", 0x100, 0x100, 0, false, false},
  };
  route(8, 'B');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXTI->RTSR = c.rtsr;
    EXTI->FTSR = c.ftsr;
    EXTI->IMR = c.imr;
    board().gpio('B').drive(8, false);
    EXTI->PR = 0x100u;
    board().gpio('B').drive(8, true);
    EXPECT_EQ(exti().pending(8), c.on_rising) << "rising";
    EXTI->PR = 0x100u;
    board().gpio('B').drive(8, false);
    EXPECT_EQ(exti().pending(8), c.on_falling) << "falling";
    EXPECT_EQ((EXTI->PR & 0x100u) != 0, c.on_falling);
  }
}

TEST_F(ExtiModel, PendingBitsClearOnlyWhereOneIsWritten) {
  route(5, 'C');
  route(9, 'C');
  EXTI->FTSR = 0x220u;
  EXTI->IMR = 0x220u;
  fall('C', 5);
  fall('C', 9);
  EXPECT_EQ(EXTI->PR, 0x220u);
  EXTI->PR = 0u;
  EXPECT_EQ(EXTI->PR, 0x220u) << "a 0 leaves a bit";
  EXTI->PR = ~0x200u & 0x7FFFFFu;
  EXPECT_EQ(EXTI->PR, 0x200u) << "the 1s cleared line 5 only";
  EXTI->PR = 0x200u;
  EXPECT_EQ(EXTI->PR, 0u);
  // A software request pends an unmasked line as an edge would.
  EXTI->SWIER = 0x20u;
  EXPECT_EQ(EXTI->PR, 0x20u);
  EXTI->SWIER = 0x40u;  // line 6 is masked
  EXPECT_EQ(EXTI->PR, 0x20u);
  EXTI->PR = 0x60u;
  EXPECT_EQ(EXTI->SWIER, 0u) << "clearing the pending bit ends the software request";
}

TEST_F(ExtiModel, LinesShareTheirGroupsInterrupt) {
  struct Case {
    int line;
    int irq;
  };
  const Case cases[] = {{0, 6},  {1, 7},   {2, 8},   {3, 9},   {4, 10},  {5, 23},  {7, 23},  {8, 23},
                        {9, 23}, {10, 40}, {12, 40}, {15, 40}, {16, -1}, {22, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    board().reset();
    board().find<vboard::SensorPwm>()->set_enabled(false);
    EXPECT_EQ(Exti::irq_of_line(c.line), c.irq);
    EXTI->IMR = 1u << c.line;
    EXTI->SWIER = 1u << c.line;
    EXPECT_TRUE(exti().pending(c.line));
    for (int irq : {6, 7, 8, 9, 10, 23, 40}) {
      EXPECT_EQ(board().nvic().pending(vboard::kExcIrq0 + irq), irq == c.irq) << irq;
    }
  }
}

TEST_F(ExtiModel, RoutingNeedsTheSyscfgClock) {
  RCC->APB2ENR = RCC->APB2ENR & ~RCC_APB2Periph_SYSCFG;
  route(7, 'C');
  EXPECT_EQ(board().peek(SYSCFG_BASE + offsetof(SYSCFG_TypeDef, EXTICR) + 4), 0u) << "ignored without its clock";
  EXTI->FTSR = 0x80u;
  EXTI->IMR = 0x80u;
  fall('C', 7);
  EXPECT_FALSE(exti().pending(7)) << "line 7 still comes from PA7";
  fall('A', 7);
  EXPECT_TRUE(exti().pending(7)) << "EXTI itself needs no clock";
}

// ---------------------------------------------------------------------------
// The keys and their handler

class SetpointKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    board().reset();
    board().find<vboard::SensorPwm>()->set_enabled(false);
    SystemInit();  // 168 MHz: the debounce takes 10 ms
    configure_keys();
  }
  void TearDown() override { board().reset(); }

  std::uint64_t key_entries() const { return board().handler_entries(kKeyException); }
};

TEST_F(SetpointKeys, RaiseKeyAddsAHundredAndLowerKeyTakesItBack) {
  EXPECT_TRUE(wired::level("key up")) << "up: the pull-up holds the pin high";
  keys().click(Key::kRaise, ms(1), ms(60));
  board().run_until(ms(30));
  EXPECT_EQ(MotorAPosition.Des, 100.0f);
  EXPECT_TRUE(keys().pressed(Key::kRaise));
  board().run_until(ms(100));
  EXPECT_EQ(MotorAPosition.Des, 100.0f) << "the release bounces are seen and ignored";
  EXPECT_EQ(key_entries(), 2u) << "one for the press, one for the release's bounce";
  keys().click(Key::kLower, ms(120), ms(40));
  board().run_until(ms(200));
  EXPECT_EQ(MotorAPosition.Des, 0.0f);
  EXPECT_EQ(exti().pending_lines(), 0u);
  EXPECT_EQ(keys().level_changes(Key::kLower), 14u) << "3 bounces each way";
}

TEST_F(SetpointKeys, EveryPressCountsWithoutBounds) {
  for (int n = 0; n < 5; ++n) keys().click(Key::kRaise, ms(1 + 40 * static_cast<std::uint64_t>(n)), ms(20));
  board().run_until(ms(250));
  EXPECT_EQ(MotorAPosition.Des, 500.0f);
  for (int n = 0; n < 7; ++n) keys().click(Key::kLower, ms(260 + 40 * static_cast<std::uint64_t>(n)), ms(20));
  board().run_until(ms(600));
  EXPECT_EQ(MotorAPosition.Des, -200.0f);
}

TEST_F(SetpointKeys, EdgeThatIsGoneAfterTheDebounceIsAcknowledgedOnly) {
  struct Case {
    Ticks width;
    float setpoint;
  };
  const Case cases[] = {{us(5), 0.0f}, {ms(2), 0.0f}, {us(9990), 0.0f}, {ms(11), 100.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(vboard::to_us(c.width));
    board().reset();
    board().find<vboard::SensorPwm>()->set_enabled(false);
    SystemInit();
    configure_keys();
    keys().glitch(Key::kRaise, ms(1), c.width);
    board().run_until(ms(40));
    EXPECT_EQ(MotorAPosition.Des, c.setpoint);
    EXPECT_EQ(key_entries(), 1u);
    EXPECT_FALSE(exti().pending(7)) << "acknowledged either way";
    EXPECT_EQ(exti().triggers(7), 1u) << "the rising edge pends nothing";
  }
}

TEST_F(SetpointKeys, BothKeysTogetherLeaveTheSetpoint) {
  keys().press(Key::kRaise, ms(1));
  keys().press(Key::kLower, ms(1));
  board().run_until(ms(30));
  EXPECT_EQ(MotorAPosition.Des, 0.0f);
  EXPECT_EQ(key_entries(), 1u) << "both lines served in one call";
  EXPECT_EQ(exti().pending_lines(), 0u);
  // Releasing both together: the bounces pend both lines, the handler finds
  // both pins high and changes nothing.
  keys().release(Key::kRaise, ms(40));
  keys().release(Key::kLower, ms(40));
  board().run_until(ms(70));
  EXPECT_EQ(MotorAPosition.Des, 0.0f);
  EXPECT_EQ(key_entries(), 2u);
  EXPECT_EQ(exti().pending_lines(), 0u);
}

TEST_F(SetpointKeys, DebounceHoldsTheSchedulerTickBack) {
  std::vector<Ticks> ticks;
  Ticks key_entry = 0;
  board().on_exception_entry = [&](int e, Ticks t) {
    if (e == kTickException) ticks.push_back(t);
    if (e == kKeyException && key_entry == 0) key_entry = t;
  };
  TIM6_Init(999, 83);
  keys().press(Key::kRaise, ms(20) + us(300));
  board().run_until(ms(100));
  ASSERT_NE(key_entry, 0u);
  EXPECT_EQ(key_entry, ms(20) + us(300)) << "the key interrupt is taken at the edge";
  EXPECT_EQ(MotorAPosition.Des, 100.0f);
  // No tick between the key's entry and the end of its 10 ms wait; the ticks
  // that fell due meanwhile are one, taken as soon as the handler returns.
  std::size_t before = 0;
  while (before < ticks.size() && ticks[before] < key_entry) ++before;
  ASSERT_LT(before + 1, ticks.size());
  const Ticks resumed = ticks[before];
  EXPECT_GE(resumed - key_entry, ms(10));
  EXPECT_LT(resumed - key_entry, ms(10) + us(20));
  EXPECT_EQ(ticks[before + 1] - ticks[before - 1], ms(11)) << "the grid of the timer goes on";
  // Over the run, 9 ticks are lost: the 10 that fell due during the wait
  // were taken as one. (The first tick is taken when its interrupt is
  // enabled, the next 1 ms after the timer started.)
  const Ticks grid = ticks[1] - ms(1);
  EXPECT_EQ(ticks.size(), 1 + (ms(100) - grid) / ms(1) - 9);
}

TEST_F(SetpointKeys, KeysModelBouncesAsConfigured) {
  keys().set_bounce(0, 0);
  keys().click(Key::kLower, ms(1), ms(20));
  board().run_until(ms(50));
  EXPECT_EQ(keys().level_changes(Key::kLower), 2u);
  EXPECT_EQ(exti().triggers(8), 1u);
  keys().set_bounce(5, ms(2));
  std::vector<Ticks> changes;
  wired::port_of("key down").observe([&](int pin, bool, Ticks t) {
    if (pin == wired::pin("key down").pin) changes.push_back(t);
  });
  keys().press(Key::kLower, ms(60));
  board().run_until(ms(80));
  ASSERT_EQ(changes.size(), 11u);
  EXPECT_EQ(changes.front(), ms(60));
  EXPECT_EQ(changes.back(), ms(62)) << "settled after the bounce time";
  EXPECT_FALSE(wired::level("key down"));
  EXPECT_EQ(MotorAPosition.Des, -200.0f);
}

}  // namespace
