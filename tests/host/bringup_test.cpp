// Board bring-up on the virtual board: the clock set-up from reset, the
// whole start-up sequence and what it leaves in the registers, the system
// tick, the scheduler timer's first tick, and the board with a crystal that
// never starts.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device.h"
#include "drv_gpio.h"
#include "rcc.h"
#include "system_clock.h"
#include "register_access.h"
#include "vboard/board/board.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/rcc.h"
#include "vboard/chip/tim/timer.h"

namespace {

using vboard::board;
using vboard::ms;
using vboard::Ticks;
using vboard::us;

constexpr int kTickException = vboard::kExcIrq0 + TIM6_DAC_IRQn;

using namespace test_registers;

constexpr std::uintptr_t kFlashAcr = FLASH_R_BASE + offsetof(FLASH_TypeDef, ACR);
constexpr std::uintptr_t kPwrCr = PWR_BASE + offsetof(PWR_TypeDef, CR);
constexpr std::uintptr_t kScbVtor = SCB_BASE + offsetof(SCB_Type, VTOR);
constexpr std::uintptr_t kScbCpacr = SCB_BASE + offsetof(SCB_Type, CPACR);
// SHP holds the priorities of exceptions 4 to 15.
constexpr std::uintptr_t kSysTickShp = SCB_BASE + offsetof(SCB_Type, SHP) + (vboard::kExcSysTick - 4);

class Bringup : public ::testing::Test {
 protected:
  void SetUp() override { board().reset(); }
  void TearDown() override { board().reset(); }

  // Powers the board on and lets start-up finish (about 10.6 ms, most of it
  // the SPI link's settling delay).
  static void start(const vboard::BoardConfig& config = {}, Ticks run = ms(20)) {
    board().reset(config);
    board().power_on();
    board().run_for(run);
  }
};

// ---------------------------------------------------------------------------
// Clock set-up

TEST_F(Bringup, SystemInitRunsThePllAt168MHz) {
  SystemInit();
  EXPECT_EQ(peek32(kRccPllcfgr), 0x07405418u);
  EXPECT_EQ(peek32(kFlashAcr), 0x00000705u);
  // AHB / 1, APB1 / 4 (PPRE1 5), APB2 / 2 (PPRE2 4), PLL selected and in use.
  const std::uint32_t cfgr = peek32(kRccCfgr);
  EXPECT_EQ((cfgr >> 4) & 0xFu, 0u);
  EXPECT_EQ((cfgr >> 10) & 7u, 5u);
  EXPECT_EQ((cfgr >> 13) & 7u, 4u);
  EXPECT_EQ(cfgr & 3u, 2u);
  EXPECT_EQ(cfgr & 0xCu, 0x8u);
  EXPECT_EQ(cfgr, 0x0000940Au);
  // Crystal on, not bypassed, no clock security; PLL on and locked.
  const std::uint32_t cr = peek32(kRccCr);
  EXPECT_EQ(cr & 0x010F0000u, 0x01030000u);
  EXPECT_NE(cr & 0x02000000u, 0u);
  EXPECT_EQ(peek32(RCC_BASE + offsetof(RCC_TypeDef, CIR)), 0u);  // CIR
  EXPECT_NE(peek32(kRccApb1enr) & 0x10000000u, 0u);  // PWR clock
  EXPECT_EQ(peek32(kPwrCr) & 0x0000C000u, 0x0000C000u);
  EXPECT_EQ(peek32(kScbVtor), 0x08000000u);
  EXPECT_EQ(peek32(kScbCpacr) & 0x00F00000u, 0x00F00000u);
  EXPECT_EQ(board().rcc().sysclk_hz(), 168000000u);
  EXPECT_EQ(board().rcc().pclk1_hz(), 42000000u);
  EXPECT_EQ(board().rcc().pclk2_hz(), 84000000u);
  EXPECT_EQ(board().rcc().apb1_timer_hz(), 84000000u);
}

TEST_F(Bringup, SystemInitGivesUpOnTheCrystalAfter20480Polls) {
  vboard::BoardConfig cfg;
  cfg.crystal_fails = true;
  board().reset(cfg);
  const std::uint64_t before = board().register_accesses();
  SystemInit();
  // 15 accesses around the wait (read and write of CPACR, CR; CFGR; read and
  // write of CR; PLLCFGR; read and write of CR; CIR; read and write of CR
  // for HSEON; the final HSERDY check; VTOR) and one CR read per poll.
  EXPECT_EQ(board().register_accesses() - before, 15u + 20480u);
  // Nothing else is touched: internal oscillator, dividers 1, PLL off at
  // its reset configuration, regulator and flash as they were.
  EXPECT_EQ(peek32(kRccCfgr), 0u);
  EXPECT_EQ(peek32(kRccPllcfgr), 0x24003010u);
  EXPECT_EQ(peek32(kRccCr) & 0x01000000u, 0u);
  EXPECT_EQ(peek32(kRccApb1enr) & 0x10000000u, 0u);
  EXPECT_EQ(peek32(kFlashAcr), 0u);
  EXPECT_EQ(peek32(kScbVtor), 0x08000000u);
  EXPECT_EQ(board().rcc().sysclk_hz(), 16000000u);
}

// ---------------------------------------------------------------------------
// The whole start-up

TEST_F(Bringup, StartUpLeavesThePriorityPlan) {
  start();
  EXPECT_EQ(board().scb().prigroup(), 6u);  // NVIC_PriorityGroup_1
  EXPECT_EQ(board().nvic().ip(EXTI9_5_IRQn), 0x30);
  EXPECT_EQ(board().nvic().ip(USART3_IRQn), 0xB0);
  EXPECT_EQ(board().nvic().ip(TIM6_DAC_IRQn), 0x10);
  EXPECT_EQ(peek8(kSysTickShp), 0xF0u);
  for (int irq : {EXTI9_5_IRQn, USART3_IRQn, TIM6_DAC_IRQn}) EXPECT_TRUE(board().nvic().enabled(irq)) << irq;
}

TEST_F(Bringup, StartUpCapturesTheClockTreeAndStartsTheSystemTick) {
  start();
  EXPECT_EQ(SysClockSource, 0x08);
  EXPECT_EQ(RCC_ClockFreq.SYSCLK_Frequency, 168000000u);
  EXPECT_EQ(RCC_ClockFreq.HCLK_Frequency, 168000000u);
  EXPECT_EQ(RCC_ClockFreq.PCLK1_Frequency, 42000000u);
  EXPECT_EQ(RCC_ClockFreq.PCLK2_Frequency, 84000000u);
  EXPECT_EQ(peek32(SysTick_BASE + offsetof(SysTick_Type, LOAD)), 167999u);
  EXPECT_EQ(peek32(SysTick_BASE + offsetof(SysTick_Type, CTRL)) & 7u, 7u);
  EXPECT_EQ(board().systick().period(), ms(1));
}

TEST_F(Bringup, StartUpOpensTheClockGates) {
  start();
  constexpr std::uint32_t kPorts = RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOB | RCC_AHB1Periph_GPIOC;
  EXPECT_EQ(peek32(kRccAhb1enr) & kPorts, kPorts);
  constexpr std::uint32_t kApb1 = RCC_APB1Periph_TIM2 | RCC_APB1Periph_TIM5 | RCC_APB1Periph_TIM6 |
                                  RCC_APB1Periph_SPI2 | RCC_APB1Periph_USART3 | RCC_APB1ENR_PWREN;
  EXPECT_EQ(peek32(kRccApb1enr) & kApb1, kApb1);
  EXPECT_EQ(peek32(kRccApb2enr) & RCC_APB2Periph_SYSCFG, RCC_APB2Periph_SYSCFG);
}

TEST_F(Bringup, StartUpSetsTheTimers) {
  start();
  // TIM2: 1 MHz, free-running to 0xFFFF, reload preloaded, counting up.
  EXPECT_EQ(peek16(TIM2_BASE + offsetof(TIM_TypeDef, PSC)), 83u);
  EXPECT_EQ(peek32(TIM2_BASE + offsetof(TIM_TypeDef, ARR)), 0xFFFFu);
  EXPECT_EQ(peek16(TIM2_BASE + offsetof(TIM_TypeDef, CR1)), 0x0081u);  // ARPE, CEN
  EXPECT_EQ(peek16(TIM2_BASE + offsetof(TIM_TypeDef, DIER)), 0u);      // no interrupt
  // TIM5: centre-aligned mode 1 up to 50; PWM mode 1 with compare preload
  // on channels 1 to 3, outputs enabled, active high, compare values 0;
  // reload not preloaded, no idle bits.
  EXPECT_EQ(peek16(TIM5_BASE + offsetof(TIM_TypeDef, PSC)), 83u);
  EXPECT_EQ(peek32(TIM5_BASE + offsetof(TIM_TypeDef, ARR)), 50u);
  EXPECT_EQ(peek16(TIM5_BASE + offsetof(TIM_TypeDef, CR1)), 0x0021u);
  EXPECT_EQ(peek16(TIM5_BASE + offsetof(TIM_TypeDef, CCMR1)), 0x6868u);
  EXPECT_EQ(peek16(TIM5_BASE + offsetof(TIM_TypeDef, CCMR2)), 0x0068u);
  EXPECT_EQ(peek16(TIM5_BASE + offsetof(TIM_TypeDef, CCER)), 0x0111u);
  EXPECT_EQ(peek16(TIM5_BASE + offsetof(TIM_TypeDef, CR2)), 0u);
  for (std::uintptr_t ccr : {0x34u, 0x38u, 0x3Cu}) EXPECT_EQ(peek32(TIM5_BASE + ccr), 0u) << ccr;
  // TIM6: 1 MHz, 1000 counts, update interrupt.
  EXPECT_EQ(peek16(TIM6_BASE + offsetof(TIM_TypeDef, PSC)), 83u);
  EXPECT_EQ(peek32(TIM6_BASE + offsetof(TIM_TypeDef, ARR)), 999u);
  EXPECT_EQ(peek16(TIM6_BASE + offsetof(TIM_TypeDef, CR1)), 0x0001u);
  EXPECT_EQ(peek16(TIM6_BASE + offsetof(TIM_TypeDef, DIER)), 0x0001u);
  EXPECT_EQ(board().tim(6).update_period(), ms(1));
  EXPECT_EQ(board().tim(2).count_period(), us(1));
}

TEST_F(Bringup, StartUpConfiguresThePinMap) {
  start();
  struct Pin {
    std::string_view signal;  // the wiring row: port, pin and alternate function
    unsigned mode, speed, type, pull;
    int level;  // -1: not asserted
  };
  constexpr unsigned IN = GPIO_Mode_IN, OUT = GPIO_Mode_OUT, AF = GPIO_Mode_AF;
  constexpr unsigned LOW = GPIO_Low_Speed, FAST = GPIO_Fast_Speed, HIGH = GPIO_High_Speed;
  constexpr unsigned PP = GPIO_OType_PP, NOPULL = GPIO_PuPd_NOPULL, UP = GPIO_PuPd_UP;
  const Pin pins[] = {
      {"phase A", AF, HIGH, PP, NOPULL, 0},          {"phase B", AF, HIGH, PP, NOPULL, 0},
      {"phase C", AF, HIGH, PP, NOPULL, 0},          {"heartbeat LED", OUT, HIGH, PP, UP, 1},
      {"status LED", OUT, HIGH, PP, UP, 1},          {"key up", IN, LOW, PP, UP, 1},
      {"key down", IN, LOW, PP, UP, 1},              {"sensor chip select", OUT, LOW, PP, UP, 1},
      {"SPI2 SCK", AF, LOW, PP, UP, -1},             {"SPI2 MISO", AF, LOW, PP, UP, -1},
      {"SPI2 MOSI", AF, LOW, PP, UP, -1},            {"USART3 TX", AF, FAST, PP, UP, -1},
      {"USART3 RX", AF, FAST, PP, UP, -1},
  };
  for (const Pin& p : pins) {
    SCOPED_TRACE(std::string(p.signal));
    const vboard::hw::PinRow& row = vboard::hw::pin(p.signal);
    auto& port = board().gpio(row.port);
    EXPECT_EQ(port.mode(row.pin), p.mode);
    EXPECT_EQ(port.speed(row.pin), p.speed);
    EXPECT_EQ(port.output_type(row.pin), p.type);
    EXPECT_EQ(port.pull(row.pin), p.pull);
    EXPECT_EQ(port.alternate_function(row.pin), row.af);
    if (p.level >= 0) {
      EXPECT_EQ(port.level(row.pin), p.level == 1);
    }
  }
  // Whole registers: no other pin changed from its reset value (PA13..15
  // and PB3..4 are the debug port).
  EXPECT_EQ(peek32(GPIOA_BASE + offsetof(GPIO_TypeDef, MODER)), 0xA800502Au);
  EXPECT_EQ(peek32(GPIOA_BASE + offsetof(GPIO_TypeDef, OTYPER)), 0u);
  EXPECT_EQ(peek32(GPIOA_BASE + offsetof(GPIO_TypeDef, OSPEEDR)), 0x0C00F03Fu);
  EXPECT_EQ(peek32(GPIOA_BASE + offsetof(GPIO_TypeDef, PUPDR)), 0x64005000u);
  EXPECT_EQ(peek32(GPIOA_BASE + offsetof(GPIO_TypeDef, AFR)), 0x00000222u);
  EXPECT_EQ(peek32(GPIOA_BASE + offsetof(GPIO_TypeDef, AFR) + 4), 0u);
  EXPECT_EQ(peek32(GPIOB_BASE + offsetof(GPIO_TypeDef, MODER)), 0xA9A00280u);
  EXPECT_EQ(peek32(GPIOB_BASE + offsetof(GPIO_TypeDef, OTYPER)), 0u);
  EXPECT_EQ(peek32(GPIOB_BASE + offsetof(GPIO_TypeDef, OSPEEDR)), 0x00A000C0u);
  EXPECT_EQ(peek32(GPIOB_BASE + offsetof(GPIO_TypeDef, PUPDR)), 0x55500100u);
  EXPECT_EQ(peek32(GPIOB_BASE + offsetof(GPIO_TypeDef, AFR)), 0u);
  EXPECT_EQ(peek32(GPIOB_BASE + offsetof(GPIO_TypeDef, AFR) + 4), 0x55507700u);
  // Port C apart from PC6, the capture timer's input.
  constexpr std::uint32_t kPc6Field = 0x00003000u;
  EXPECT_EQ(peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, MODER)) & ~kPc6Field, 0u);
  EXPECT_EQ(peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, OTYPER)) & ~0x40u, 0u);
  EXPECT_EQ(peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, OSPEEDR)) & ~kPc6Field, 0u);
  EXPECT_EQ(peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, PUPDR)) & ~kPc6Field, 0x00014000u);
  EXPECT_EQ(peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, AFR)) & ~0x0F000000u, 0u);
  EXPECT_EQ(peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, AFR) + 4), 0u);
}

TEST_F(Bringup, StartUpRoutesTheKeysToFallingEdgeInterrupts) {
  start();
  EXPECT_EQ(peek32(EXTI_BASE + offsetof(EXTI_TypeDef, IMR)), 0x00000180u);  // IMR: lines 7 and 8
  EXPECT_EQ(peek32(EXTI_BASE + offsetof(EXTI_TypeDef, EMR)), 0u);           // EMR
  EXPECT_EQ(peek32(EXTI_BASE + offsetof(EXTI_TypeDef, RTSR)), 0u);           // RTSR
  EXPECT_EQ(peek32(EXTI_BASE + offsetof(EXTI_TypeDef, FTSR)), 0x00000180u);  // FTSR
  // Lines 7 and 8 from port C.
  EXPECT_EQ(peek32(SYSCFG_BASE + offsetof(SYSCFG_TypeDef, EXTICR) + 4), 0x00002000u);
  EXPECT_EQ(peek32(SYSCFG_BASE + offsetof(SYSCFG_TypeDef, EXTICR) + 8), 0x00000002u);
}

TEST_F(Bringup, StartUpSetsTheLinks) {
  start();
  // SPI2: master (with SSI), 16-bit, CPHA 1, software select, / 32, enabled.
  EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, CR1)), 0x0B65u);
  EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, CRCPR)), 15u);
  EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, I2SCFGR)) & 0x0800u, 0u);
  // USART3: 500000 baud from 42 MHz, receiver and transmitter, receive
  // interrupt, enabled; 1 stop bit, no flow control.
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, BRR)), 0x0054u);
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR1)), 0x202Cu);
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR2)), 0u);
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR3)), 0u);
}

TEST_F(Bringup, FirstSchedulerTickComesAtTheEndOfStartUp) {
  struct Entry {
    Ticks when;
    std::uint64_t updates;
    std::uint32_t count;
  };
  std::vector<Entry> entries;
  board().reset();
  board().on_exception_entry = [&](int e, Ticks t) {
    if (e == kTickException) entries.push_back({t, board().tim(6).updates(), board().tim(6).counter()});
  };
  board().power_on();
  board().run_for(ms(20));
  ASSERT_GE(entries.size(), 3u);
  // The first is taken on the flag the immediate reload raised (only that
  // update so far), a few counts after TIM6 started.
  EXPECT_EQ(entries[0].updates, 1u);
  EXPECT_LT(entries[0].count, 5u);
  // The next ones on the 1 ms overflows.
  EXPECT_EQ(entries[1].updates, 2u);
  EXPECT_LT(entries[1].when - entries[0].when, ms(1));
  EXPECT_GT(entries[1].when - entries[0].when, ms(1) - us(5));
  EXPECT_EQ(entries[2].when - entries[1].when, ms(1));
}

TEST_F(Bringup, TaskDelaySlotsCountDownOnTheSystemTick) {
  start();
  std::vector<std::vector<std::uint32_t>> seen;
  board().on_exception_entry = [&](int e, Ticks) {
    if (e == vboard::kExcSysTick) seen.push_back({Task_Delay[0], Task_Delay[1], Task_Delay[2]});
  };
  Task_Delay[0] = 3;
  Task_Delay[1] = 0;
  Task_Delay[2] = 1;
  // Five entries see the slots after 0, 1, 2, 3 and 4 ticks.
  board().run_for(ms(5) - us(1));
  ASSERT_GE(seen.size(), 5u);
  EXPECT_EQ(seen[0], (std::vector<std::uint32_t>{3, 0, 1}));
  EXPECT_EQ(seen[1], (std::vector<std::uint32_t>{2, 0, 0}));
  EXPECT_EQ(seen[2], (std::vector<std::uint32_t>{1, 0, 0}));
  EXPECT_EQ(seen[3], (std::vector<std::uint32_t>{0, 0, 0}));
  EXPECT_EQ(seen[4], (std::vector<std::uint32_t>{0, 0, 0}));
}

// Thrown from a timed action to end a call that would never return.
struct StillSpinning {};

TEST_F(Bringup, SysTickInitStopsWhenTheReloadDoesNotFit24Bits) {
  // A core clock below 1000 Hz makes the reload wrap to 0xFFFFFFFF. The
  // call must still be spinning 5 ms later.
  SystemCoreClock = 999;
  board().at(board().now() + ms(5), [] { throw StillSpinning{}; });
  EXPECT_THROW(SysTick_Init(), StillSpinning);
  EXPECT_EQ(peek32(SysTick_BASE + offsetof(SysTick_Type, LOAD)), 0u);
  EXPECT_EQ(peek32(SysTick_BASE + offsetof(SysTick_Type, CTRL)), 0u);
  EXPECT_EQ(peek8(kSysTickShp), 0u);
  // The clock check ran first.
  EXPECT_EQ(RCC_ClockFreq.SYSCLK_Frequency, 16000000u);

  // At 1000 Hz the reload is 0, which fits.
  board().reset();
  SystemCoreClock = 1000;
  SysTick_Init();
  EXPECT_EQ(peek32(SysTick_BASE + offsetof(SysTick_Type, LOAD)), 0u);
  EXPECT_EQ(peek32(SysTick_BASE + offsetof(SysTick_Type, CTRL)), 7u);
  EXPECT_EQ(peek8(kSysTickShp), 0xF0u);
}

// ---------------------------------------------------------------------------
// A crystal that never starts

std::vector<Ticks> intervals(const std::vector<Ticks>& t) {
  std::vector<Ticks> d;
  for (std::size_t n = 1; n < t.size(); ++n) d.push_back(t[n] - t[n - 1]);
  return d;
}

TEST_F(Bringup, WithoutTheCrystalTheBoardRunsSlowOnTheInternalOscillator) {
  vboard::BoardConfig cfg;
  cfg.crystal_fails = true;
  board().reset(cfg);
  std::vector<Ticks> systicks, scheduler_ticks;
  board().on_exception_entry = [&](int e, Ticks t) {
    if (e == vboard::kExcSysTick) systicks.push_back(t);
    if (e == kTickException) scheduler_ticks.push_back(t);
  };
  board().power_on();
  // Start-up takes about 110 ms: the 10 ms settling delay alone lasts
  // 105 ms at 16 MHz.
  board().run_for(ms(400));
  EXPECT_EQ(SysClockSource, 0x00);
  EXPECT_EQ(RCC_ClockFreq.SYSCLK_Frequency, 16000000u);
  EXPECT_EQ(RCC_ClockFreq.HCLK_Frequency, 16000000u);
  EXPECT_EQ(RCC_ClockFreq.PCLK1_Frequency, 16000000u);
  EXPECT_EQ(RCC_ClockFreq.PCLK2_Frequency, 16000000u);
  // SystemCoreClock still says 168 MHz: the same reload, 168000 cycles of
  // 16 MHz, 10.5 ms.
  EXPECT_EQ(peek32(SysTick_BASE + offsetof(SysTick_Type, LOAD)), 167999u);
  ASSERT_GE(systicks.size(), 20u);
  for (Ticks d : intervals(systicks)) EXPECT_NEAR(vboard::to_us(d), 10500.0, 5.0);
  EXPECT_NEAR(vboard::to_us(systicks.back() - systicks.front()) / static_cast<double>(systicks.size() - 1), 10500.0,
              0.5);
  // The scheduler timer counts a 16 MHz timer clock (APB1 divider 1):
  // 84 x 1000 counts, 5.25 ms.
  ASSERT_GE(scheduler_ticks.size(), 40u);
  const auto d = intervals(scheduler_ticks);
  for (std::size_t n = 1; n < d.size(); ++n) EXPECT_NEAR(vboard::to_us(d[n]), 5250.0, 5.0) << n;
  EXPECT_NEAR(vboard::to_us(scheduler_ticks.back() - scheduler_ticks[1]) /
                  static_cast<double>(scheduler_ticks.size() - 2),
              5250.0, 0.5);
  // The serial divider follows the live 16 MHz bus: 500000 baud exactly.
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, BRR)), 0x0020u);
}

}  // namespace
