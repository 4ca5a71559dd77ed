// The peripheral configuration operations, called directly on the virtual
// board: every register effect is read back with the board's debugger view
// (no side effects, no time), and every expectation is written out by hand
// from the register layouts.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device.h"
#include "drv_exti.h"
#include "drv_gpio.h"
#include "drv_misc.h"
#include "drv_rcc.h"
#include "drv_spi.h"
#include "drv_syscfg.h"
#include "drv_tim.h"
#include "drv_usart.h"
#include "port.h"
#include "register_access.h"
#include "vboard/board/board.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/tim/timer.h"

namespace {

using vboard::board;

using namespace test_registers;

// Every clock gate this board's firmware can open, opened behind the
// firmware's back so that the models accept register accesses.
void open_all_gates() {
  poke32(kRccAhb1enr, 0x00100007u);  // CCM data RAM (reset value), GPIOA..C
  poke32(kRccApb1enr, 0x1006C03Fu);  // TIM2..TIM7, SPI2, SPI3, USART2, USART3, PWR
  poke32(kRccApb2enr, 0x00004033u);  // TIM1, TIM8, USART1, USART6, SYSCFG
}

class ConfigOps : public ::testing::Test {
 protected:
  void SetUp() override {
    board().reset();
    open_all_gates();
  }
  void TearDown() override { board().reset(); }
};

// ---------------------------------------------------------------------------
// GPIO

struct GpioRegs {
  std::uint32_t moder, otyper, ospeedr, pupdr;
};

void preset_port_c(const GpioRegs& r) {
  poke32(GPIOC_BASE + offsetof(GPIO_TypeDef, MODER), r.moder);
  poke32(GPIOC_BASE + offsetof(GPIO_TypeDef, OTYPER), r.otyper);
  poke32(GPIOC_BASE + offsetof(GPIO_TypeDef, OSPEEDR), r.ospeedr);
  poke32(GPIOC_BASE + offsetof(GPIO_TypeDef, PUPDR), r.pupdr);
}

GpioRegs port_c() {
  return {peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, MODER)), peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, OTYPER)), peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, OSPEEDR)), peek32(GPIOC_BASE + offsetof(GPIO_TypeDef, PUPDR))};
}

struct GpioCase {
  const char* what;
  GPIO_InitTypeDef init;
  GpioRegs before;
  GpioRegs after;
};

constexpr GpioRegs kOnes = {0xFFFFFFFFu, 0x0000FFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
constexpr GpioRegs kZeros = {0, 0, 0, 0};
// A two-bit field of 01 for pins 0, 8 and 15 (output mode, pull-up; shifted
// left by one, fast speed).
constexpr std::uint32_t kPins0815Field01 = (1u << 0) | (1u << 16) | (1u << 30);

TEST_F(ConfigOps, GpioInitProgramsEachSelectedPinAndNothingElse) {
  const std::vector<GpioCase> cases = {
      // Inputs and analogue pins: speed and output type stay as they were,
      // whatever the record holds; the pull is written for every mode.
      {"input from zeros",
       {GPIO_Pin_7, GPIO_Mode_IN, GPIO_High_Speed, GPIO_OType_OD, GPIO_PuPd_UP},
       {0xFFFFFFFFu, 0, 0, 0xFFFFFFFFu},
       {0xFFFF3FFFu, 0, 0, 0xFFFF7FFFu}},
      {"input from ones",
       {GPIO_Pin_7, GPIO_Mode_IN, GPIO_Low_Speed, GPIO_OType_PP, GPIO_PuPd_DOWN},
       kOnes,
       {0xFFFF3FFFu, 0x0000FFFFu, 0xFFFFFFFFu, 0xFFFFBFFFu}},
      {"analogue",
       {GPIO_Pin_7, GPIO_Mode_AN, GPIO_High_Speed, GPIO_OType_OD, GPIO_PuPd_NOPULL},
       kZeros,
       {0x0000C000u, 0, 0, 0}},
      // Driven pins get speed and output type too.
      {"output",
       {GPIO_Pin_7, GPIO_Mode_OUT, GPIO_High_Speed, GPIO_OType_OD, GPIO_PuPd_UP},
       {0xFFFFFFFFu, 0, 0, 0xFFFFFFFFu},
       {0xFFFF7FFFu, 0x00000080u, 0x0000C000u, 0xFFFF7FFFu}},
      {"alternate function",
       {GPIO_Pin_7, GPIO_Mode_AF, GPIO_Medium_Speed, GPIO_OType_PP, GPIO_PuPd_DOWN},
       kOnes,
       {0xFFFFBFFFu, 0x0000FF7Fu, 0xFFFF7FFFu, 0xFFFFBFFFu}},
      // Several pins: each programmed identically, the others untouched.
      {"pins 0, 8, 15 from ones",
       {GPIO_Pin_0 | GPIO_Pin_8 | GPIO_Pin_15, GPIO_Mode_OUT, GPIO_Fast_Speed, GPIO_OType_OD, GPIO_PuPd_UP},
       {0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0xFFFFFFFFu},
       {0x7FFDFFFDu, 0x00008101u, 0xBFFEFFFEu, 0x7FFDFFFDu}},
      {"pins 0, 8, 15 from zeros",
       {GPIO_Pin_0 | GPIO_Pin_8 | GPIO_Pin_15, GPIO_Mode_OUT, GPIO_Fast_Speed, GPIO_OType_PP, GPIO_PuPd_UP},
       kZeros,
       {kPins0815Field01, 0, kPins0815Field01 << 1, kPins0815Field01}},
      // No pin selected, or only bits above pin 15: nothing changes.
      {"mask 0", {0, GPIO_Mode_OUT, GPIO_High_Speed, GPIO_OType_OD, GPIO_PuPd_DOWN}, kOnes, kOnes},
      {"mask above pin 15",
       {0xFFFF0000u, GPIO_Mode_OUT, GPIO_High_Speed, GPIO_OType_OD, GPIO_PuPd_DOWN},
       kZeros,
       kZeros},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    preset_port_c(c.before);
    GPIO_InitTypeDef init = c.init;
    GPIO_Init(GPIOC, &init);
    const GpioRegs r = port_c();
    EXPECT_EQ(r.moder, c.after.moder);
    EXPECT_EQ(r.otyper, c.after.otyper);
    EXPECT_EQ(r.ospeedr, c.after.ospeedr);
    EXPECT_EQ(r.pupdr, c.after.pupdr);
  }
}

TEST_F(ConfigOps, GpioPinAfConfigWritesTheFourBitFieldInEitherHalf) {
  struct Case {
    std::uint16_t source;
    std::uint8_t af;
    std::uint32_t afr0_before, afr1_before, afr0_after, afr1_after;
  };
  const std::vector<Case> cases = {
      {GPIO_PinSource0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFFFu},
      {GPIO_PinSource3, GPIO_AF_SPI2, 0xFFFFFFFFu, 0, 0xFFFF5FFFu, 0},
      {GPIO_PinSource7, GPIO_AF_USART3, 0, 0, 0x70000000u, 0},
      {GPIO_PinSource8, GPIO_AF_TIM5, 0, 0xFFFFFFFFu, 0, 0xFFFFFFF2u},
      {GPIO_PinSource12, GPIO_AF_USART3, 0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0x00070000u},
      {GPIO_PinSource15, 0xA, 0, 0x0FFFFFFFu, 0, 0xAFFFFFFFu},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    poke32(GPIOB_BASE + offsetof(GPIO_TypeDef, AFR), c.afr0_before);
    poke32(GPIOB_BASE + offsetof(GPIO_TypeDef, AFR) + 4, c.afr1_before);
    GPIO_PinAFConfig(GPIOB, c.source, c.af);
    EXPECT_EQ(peek32(GPIOB_BASE + offsetof(GPIO_TypeDef, AFR)), c.afr0_after);
    EXPECT_EQ(peek32(GPIOB_BASE + offsetof(GPIO_TypeDef, AFR) + 4), c.afr1_after);
  }
}

// ---------------------------------------------------------------------------
// EXTI and SYSCFG

struct ExtiRegs {
  std::uint32_t imr, emr, rtsr, ftsr;
};

TEST_F(ConfigOps, ExtiInitSelectsMaskAndEdgesOfTheGivenLinesOnly) {
  struct Case {
    const char* what;
    EXTI_InitTypeDef init;
    ExtiRegs before, after;
  };
  const std::vector<Case> cases = {
      {"both edges",
       {EXTI_Line7, EXTI_Mode_Interrupt, EXTI_Trigger_Rising_Falling, ENABLE},
       {0, 0x00000180u, 0, 0},
       {0x00000080u, 0x00000100u, 0x00000080u, 0x00000080u}},
      {"falling clears a rising selection",
       {EXTI_Line8, EXTI_Mode_Interrupt, EXTI_Trigger_Falling, ENABLE},
       {0, 0, 0x007FFFFFu, 0},
       {0x00000100u, 0, 0x007FFEFFu, 0x00000100u}},
      {"rising clears a falling selection",
       {EXTI_Line8, EXTI_Mode_Interrupt, EXTI_Trigger_Rising, ENABLE},
       {0, 0, 0, 0x007FFFFFu},
       {0x00000100u, 0, 0x00000100u, 0x007FFEFFu}},
      {"event mode clears the interrupt mask",
       {EXTI_Line7 | EXTI_Line8, EXTI_Mode_Event, EXTI_Trigger_Falling, ENABLE},
       {0x000001C0u, 0, 0x00000180u, 0},
       {0x00000040u, 0x00000180u, 0, 0x00000180u}},
      {"any non-zero state enables",
       {EXTI_Line8, EXTI_Mode_Interrupt, EXTI_Trigger_Falling, static_cast<FunctionalState>(2)},
       {0, 0, 0, 0},
       {0x00000100u, 0, 0, 0x00000100u}},
      {"disable masks only, triggers stay",
       {EXTI_Line8, EXTI_Mode_Interrupt, EXTI_Trigger_Rising, DISABLE},
       {0x00000180u, 0x00000100u, 0x00000100u, 0x00000180u},
       {0x00000080u, 0x00000100u, 0x00000100u, 0x00000180u}},
      {"disable in event mode clears the event mask only",
       {EXTI_Line8, EXTI_Mode_Event, EXTI_Trigger_Falling, DISABLE},
       {0x00000180u, 0x00000180u, 0x00000100u, 0x00000100u},
       {0x00000180u, 0x00000080u, 0x00000100u, 0x00000100u}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    poke32(EXTI_BASE + offsetof(EXTI_TypeDef, IMR), c.before.imr);
    poke32(EXTI_BASE + offsetof(EXTI_TypeDef, EMR), c.before.emr);
    poke32(EXTI_BASE + offsetof(EXTI_TypeDef, RTSR), c.before.rtsr);
    poke32(EXTI_BASE + offsetof(EXTI_TypeDef, FTSR), c.before.ftsr);
    EXTI_InitTypeDef init = c.init;
    EXTI_Init(&init);
    EXPECT_EQ(peek32(EXTI_BASE + offsetof(EXTI_TypeDef, IMR)), c.after.imr);
    EXPECT_EQ(peek32(EXTI_BASE + offsetof(EXTI_TypeDef, EMR)), c.after.emr);
    EXPECT_EQ(peek32(EXTI_BASE + offsetof(EXTI_TypeDef, RTSR)), c.after.rtsr);
    EXPECT_EQ(peek32(EXTI_BASE + offsetof(EXTI_TypeDef, FTSR)), c.after.ftsr);
  }
}

TEST_F(ConfigOps, SyscfgRoutesALineToItsPortInTheRightField) {
  struct Case {
    std::uint8_t port, pin;
    std::uint32_t before[4], after[4];
  };
  const std::vector<Case> cases = {
      {EXTI_PortSourceGPIOC, 8, {0, 0, 0xFFFFu, 0}, {0, 0, 0xFFF2u, 0}},
      {EXTI_PortSourceGPIOC, 7, {0, 0xFFFFu, 0, 0}, {0, 0x2FFFu, 0, 0}},
      {EXTI_PortSourceGPIOB, 15, {0xFFFFu, 0xFFFFu, 0xFFFFu, 0}, {0xFFFFu, 0xFFFFu, 0xFFFFu, 0x1000u}},
      {EXTI_PortSourceGPIOA, 0, {0xFFFFu, 0, 0, 0}, {0xFFF0u, 0, 0, 0}},
      {EXTI_PortSourceGPIOB, 5, {0, 0x0020u, 0, 0}, {0, 0x0010u, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.pin));
    for (int n = 0; n < 4; ++n) poke32(SYSCFG_BASE + offsetof(SYSCFG_TypeDef, EXTICR) + 4u * static_cast<unsigned>(n), c.before[n]);
    SYSCFG_EXTILineConfig(c.port, c.pin);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(peek32(SYSCFG_BASE + offsetof(SYSCFG_TypeDef, EXTICR) + 4u * static_cast<unsigned>(n)), c.after[n]) << n;
  }
}

// ---------------------------------------------------------------------------
// Interrupt controller

// Shared with the image for the board: tests/shared/nvic_cases.cpp.

// ---------------------------------------------------------------------------
// Clock gates and clock readout

TEST_F(ConfigOps, RccClockGatesChangeOnlyTheGivenBits) {
  struct Case {
    void (*op)(std::uint32_t, FunctionalState);
    std::uintptr_t reg;
    std::uint32_t before, mask;
    FunctionalState state;
    std::uint32_t after;
  };
  const std::vector<Case> cases = {
      {RCC_AHB1PeriphClockCmd, kRccAhb1enr, 0x00100000u, RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOC, ENABLE,
       0x00100005u},
      {RCC_AHB1PeriphClockCmd, kRccAhb1enr, 0xFFFFFFFFu, RCC_AHB1Periph_GPIOB, DISABLE, 0xFFFFFFFDu},
      {RCC_APB1PeriphClockCmd, kRccApb1enr, 0x10000000u, RCC_APB1Periph_USART3, static_cast<FunctionalState>(0x80),
       0x10040000u},
      {RCC_APB1PeriphClockCmd, kRccApb1enr, 0x1004C03Fu, RCC_APB1Periph_SPI2 | RCC_APB1Periph_TIM6, DISABLE,
       0x1004802Fu},
      {RCC_APB2PeriphClockCmd, kRccApb2enr, 0, RCC_APB2Periph_SYSCFG, ENABLE, 0x00004000u},
      {RCC_APB2PeriphClockCmd, kRccApb2enr, 0x00004033u, RCC_APB2Periph_SYSCFG, DISABLE, 0x00000033u},
  };
  for (const auto& c : cases) {
    poke32(c.reg, c.before);
    c.op(c.mask, c.state);
    EXPECT_EQ(peek32(c.reg), c.after) << std::hex << c.reg << " " << c.before;
  }
}

TEST_F(ConfigOps, RccSysclkSourceIsTheSwitchStatus) {
  for (std::uint32_t cfgr : {0x00000000u, 0x00000005u, 0x0000940Au, 0xFFFFFFF3u, 0x0000000Fu}) {
    poke32(kRccCfgr, cfgr);
    EXPECT_EQ(RCC_GetSYSCLKSource(), cfgr & 0x0Cu) << std::hex << cfgr;
  }
}

TEST_F(ConfigOps, RccClocksFollowSwitchStatusPllAndDividers) {
  struct Case {
    const char* what;
    std::uint32_t cfgr, pllcfgr;
    RCC_ClocksTypeDef expected;
  };
  const std::vector<Case> cases = {
      {"internal oscillator", 0x00000000u, 0x07405418u, {16000000, 16000000, 16000000, 16000000}},
      {"switch status 0x0C", 0x0000000Cu, 0x07405418u, {16000000, 16000000, 16000000, 16000000}},
      // AHB / 2 (HPRE 8), APB1 / 4 (PPRE1 5), APB2 / 16 (PPRE2 7).
      {"crystal with dividers", 0x0000F484u, 0x07405418u, {24000000, 12000000, 3000000, 750000}},
      // The board's tree: PLL from the crystal, M 24, N 336, P 2.
      {"the board's PLL", 0x0000940Au, 0x07405418u, {168000000, 168000000, 42000000, 84000000}},
      // PLL from the internal oscillator at the register's reset value:
      // 16 MHz / 16 x 192 / 2.
      {"PLL from the internal oscillator", 0x00000008u, 0x24003010u, {96000000, 96000000, 96000000, 96000000}},
      // The division comes first: 16 MHz / 3 = 5333333, x 50, / 2.
      {"PLL input truncated", 0x00000008u, 0x00000C83u, {133333325, 133333325, 133333325, 133333325}},
      // P field 3: divide by 8. 24 MHz / 24 x 336 / 8.
      {"PLL P 8", 0x00000008u, 0x00435418u, {42000000, 42000000, 42000000, 42000000}},
      // M 0 is not a configuration the PLL runs with; the readout gives 0
      // rather than dividing by zero.
      {"PLL M 0", 0x00000008u, 0x07405400u, {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    poke32(kRccCfgr, c.cfgr);
    poke32(kRccPllcfgr, c.pllcfgr);
    RCC_ClocksTypeDef clocks = {1, 2, 3, 4};
    RCC_GetClocksFreq(&clocks);
    EXPECT_EQ(clocks.SYSCLK_Frequency, c.expected.SYSCLK_Frequency);
    EXPECT_EQ(clocks.HCLK_Frequency, c.expected.HCLK_Frequency);
    EXPECT_EQ(clocks.PCLK1_Frequency, c.expected.PCLK1_Frequency);
    EXPECT_EQ(clocks.PCLK2_Frequency, c.expected.PCLK2_Frequency);
  }
}

TEST_F(ConfigOps, RccClocksBusDividerForEveryFieldValue) {
  // The crystal as the system clock, 24 MHz.
  const std::uint32_t ahb_divider[16] = {1, 1, 1, 1, 1, 1, 1, 1, 2, 4, 8, 16, 64, 128, 256, 512};
  for (std::uint32_t hpre = 0; hpre < 16; ++hpre) {
    poke32(kRccCfgr, 0x00000004u | (hpre << 4));
    RCC_ClocksTypeDef clocks{};
    RCC_GetClocksFreq(&clocks);
    EXPECT_EQ(clocks.HCLK_Frequency, 24000000u / ahb_divider[hpre]) << "HPRE " << hpre;
    EXPECT_EQ(clocks.PCLK1_Frequency, clocks.HCLK_Frequency);
  }
  const std::uint32_t apb_divider[8] = {1, 1, 1, 1, 2, 4, 8, 16};
  for (std::uint32_t ppre = 0; ppre < 8; ++ppre) {
    // PPRE1 alone, then PPRE2 alone.
    poke32(kRccCfgr, 0x00000004u | (ppre << 10));
    RCC_ClocksTypeDef clocks{};
    RCC_GetClocksFreq(&clocks);
    EXPECT_EQ(clocks.PCLK1_Frequency, 24000000u / apb_divider[ppre]) << "PPRE1 " << ppre;
    EXPECT_EQ(clocks.PCLK2_Frequency, 24000000u);
    poke32(kRccCfgr, 0x00000004u | (ppre << 13));
    RCC_GetClocksFreq(&clocks);
    EXPECT_EQ(clocks.PCLK1_Frequency, 24000000u);
    EXPECT_EQ(clocks.PCLK2_Frequency, 24000000u / apb_divider[ppre]) << "PPRE2 " << ppre;
  }
}

// ---------------------------------------------------------------------------
// SPI

TEST_F(ConfigOps, SpiInitKeepsCrcAndEnableBitsAndSelectsSpiMode) {
  SPI_InitTypeDef init = {SPI_Direction_2Lines_FullDuplex, SPI_Mode_Master, SPI_DataSize_16b, SPI_CPOL_Low,
                          SPI_CPHA_2Edge, SPI_NSS_Soft, SPI_BaudRatePrescaler_32, SPI_FirstBit_MSB, 15};
  struct Case {
    std::uint16_t cr1_before, i2scfgr_before, cr1_after, i2scfgr_after;
  };
  // Record bits: 0x0104 | 0x0800 | 0x0001 | 0x0200 | 0x0020 = 0x0B25.
  for (const Case& c : {Case{0x0000, 0x0000, 0x0B25, 0x0000}, Case{0xFFFF, 0xFFFF, 0x3B65, 0xF7FF},
                        Case{0x3040, 0x0800, 0x3B65, 0x0000}, Case{0x0082, 0x0000, 0x0B25, 0x0000}}) {
    poke16(SPI2_BASE + offsetof(SPI_TypeDef, CR1), c.cr1_before);
    poke16(SPI2_BASE + offsetof(SPI_TypeDef, I2SCFGR), c.i2scfgr_before);
    poke16(SPI2_BASE + offsetof(SPI_TypeDef, CRCPR), 0x0007);
    SPI_Init(SPI2, &init);
    EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, CR1)), c.cr1_after) << std::hex << c.cr1_before;
    EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, I2SCFGR)), c.i2scfgr_after);
    EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, CRCPR)), 15u);
  }
}

TEST_F(ConfigOps, SpiCmdSetsOrClearsTheEnableBitOnly) {
  poke16(SPI2_BASE + offsetof(SPI_TypeDef, CR1), 0x0B25);
  SPI_Cmd(SPI2, ENABLE);
  EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, CR1)), 0x0B65u);
  SPI_Cmd(SPI2, DISABLE);
  EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, CR1)), 0x0B25u);
  SPI_Cmd(SPI2, static_cast<FunctionalState>(7));
  EXPECT_EQ(peek16(SPI2_BASE + offsetof(SPI_TypeDef, CR1)), 0x0B65u);
}

// ---------------------------------------------------------------------------
// Timers

TIM_TypeDef* tim_at(std::uintptr_t base) { return port::block_at<TIM_TypeDef>(base); }

TEST_F(ConfigOps, TimeBaseInitDependsOnTheKindOfTimer) {
  // Record: prescaler 83, centre-aligned mode 3, period 999, clock / 4,
  // repetition 7.
  TIM_TimeBaseInitTypeDef init = {83, TIM_CounterMode_CenterAligned3, 999, TIM_CKD_DIV4, 7};
  struct Case {
    const char* what;
    std::uintptr_t base;
    std::uint16_t cr1_before, cr1_after;
    bool repetition;
  };
  // Before: clock / 8 (CKD 3), ARPE, DIR, URS. Timers with a counter mode
  // take the mode (DIR cleared, CMS 3) and the clock division (CKD 2);
  // ARPE and URS survive.
  const std::vector<Case> cases = {
      {"TIM1", TIM1_BASE, 0x0394, 0x02E4, true},   {"TIM8", TIM8_BASE, 0x0394, 0x02E4, true},
      {"TIM2", TIM2_BASE, 0x0394, 0x02E4, false},  {"TIM3", TIM3_BASE, 0x0394, 0x02E4, false},
      {"TIM4", TIM4_BASE, 0x0394, 0x02E4, false},  {"TIM5", TIM5_BASE, 0x0394, 0x02E4, false},
      // The basic timers take neither; TIM7's block shows that nothing of
      // the mode or the division is written, TIM6's that ARPE survives.
      {"TIM6", TIM6_BASE, 0x0084, 0x0084, false},  {"TIM7", TIM7_BASE, 0x0394, 0x0394, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    poke16(c.base + offsetof(TIM_TypeDef, CR1), c.cr1_before);
    poke16(c.base + offsetof(TIM_TypeDef, RCR), 0x0055);
    TIM_TimeBaseInit(tim_at(c.base), &init);
    EXPECT_EQ(peek16(c.base + offsetof(TIM_TypeDef, CR1)), c.cr1_after);
    EXPECT_EQ(peek32(c.base + offsetof(TIM_TypeDef, ARR)), 999u);
    EXPECT_EQ(peek16(c.base + offsetof(TIM_TypeDef, PSC)), 83u);
    EXPECT_EQ(peek16(c.base + offsetof(TIM_TypeDef, RCR)), c.repetition ? 7u : 0x55u);
  }
}

TEST_F(ConfigOps, TimeBaseInitReloadsAtOnceAndLeavesTheUpdateFlagRaised) {
  for (int n : {2, 5, 6}) {
    SCOPED_TRACE(n);
    const std::uintptr_t base = vboard::hw::find(vboard::hw::Kind::timer, n)->base;
    TIM_TimeBaseInitTypeDef init = {83, TIM_CounterMode_Up, 999, TIM_CKD_DIV1, 0};
    TIM_TimeBaseInit(tim_at(base), &init);
    // The update event loaded prescaler and reload into the counter.
    EXPECT_EQ(board().tim(n).prescaler(), 83u);
    EXPECT_EQ(board().tim(n).auto_reload(), 999u);
    EXPECT_EQ(peek16(base + offsetof(TIM_TypeDef, SR)) & TIM_SR_UIF, TIM_SR_UIF);
  }
  // The 32-bit reload of TIM2 and TIM5 takes the whole period.
  TIM_TimeBaseInitTypeDef wide = {0, TIM_CounterMode_Up, 0x00012345u, TIM_CKD_DIV1, 0};
  TIM_TimeBaseInit(TIM5, &wide);
  EXPECT_EQ(peek32(TIM5_BASE + offsetof(TIM_TypeDef, ARR)), 0x00012345u);
}

struct OcRegs {
  std::uint16_t ccmr1, ccmr2, ccer, cr2;
  std::uint32_t ccr1, ccr2, ccr3;
};

void preset_oc(std::uintptr_t base, const OcRegs& r) {
  poke16(base + offsetof(TIM_TypeDef, CCMR1), r.ccmr1);
  poke16(base + offsetof(TIM_TypeDef, CCMR2), r.ccmr2);
  poke16(base + offsetof(TIM_TypeDef, CCER), r.ccer);
  poke16(base + offsetof(TIM_TypeDef, CR2), r.cr2);
  poke32(base + offsetof(TIM_TypeDef, CCR1), r.ccr1);
  poke32(base + offsetof(TIM_TypeDef, CCR2), r.ccr2);
  poke32(base + offsetof(TIM_TypeDef, CCR3), r.ccr3);
}

void expect_oc(std::uintptr_t base, const OcRegs& r) {
  EXPECT_EQ(peek16(base + offsetof(TIM_TypeDef, CCMR1)), r.ccmr1);
  EXPECT_EQ(peek16(base + offsetof(TIM_TypeDef, CCMR2)), r.ccmr2);
  EXPECT_EQ(peek16(base + offsetof(TIM_TypeDef, CCER)), r.ccer);
  EXPECT_EQ(peek16(base + offsetof(TIM_TypeDef, CR2)), r.cr2);
  EXPECT_EQ(peek32(base + offsetof(TIM_TypeDef, CCR1)), r.ccr1);
  EXPECT_EQ(peek32(base + offsetof(TIM_TypeDef, CCR2)), r.ccr2);
  EXPECT_EQ(peek32(base + offsetof(TIM_TypeDef, CCR3)), r.ccr3);
}

TEST_F(ConfigOps, OutputCompareInitOnTim5IgnoresComplementaryAndIdleFields) {
  // Arbitrary values in the four fields TIM5 does not have.
  TIM_OCInitTypeDef oc = {TIM_OCMode_PWM1, TIM_OutputState_Enable, 0xFFFF, 0x1234, TIM_OCPolarity_High,
                          0xFFFF, 0xFFFF, 0xFFFF};
  preset_oc(TIM5_BASE, {0, 0, 0, 0, 0, 0, 0});
  TIM_OC1Init(TIM5, &oc);
  TIM_OC2Init(TIM5, &oc);
  TIM_OC3Init(TIM5, &oc);
  // PWM mode 1 on three channels, three enable bits, no idle bits.
  expect_oc(TIM5_BASE, {0x6060, 0x0060, 0x0111, 0, 0x1234, 0x1234, 0x1234});
}

TEST_F(ConfigOps, OutputCompareInitChannelLayouts) {
  // Every field set to a non-zero value, at its channel-1 position.
  const TIM_OCInitTypeDef all_set = {TIM_OCMode_PWM2,      TIM_OutputState_Enable, TIM_OutputNState_Enable, 77,
                                     TIM_OCPolarity_Low,   TIM_OCNPolarity_Low,    TIM_OCIdleState_Set,
                                     TIM_OCNIdleState_Set};
  const TIM_OCInitTypeDef all_clear = {TIM_OCMode_Timing,    TIM_OutputState_Disable, TIM_OutputNState_Disable, 0,
                                       TIM_OCPolarity_High,  TIM_OCNPolarity_High,    TIM_OCIdleState_Reset,
                                       TIM_OCNIdleState_Reset};
  // Arbitrary values in the complementary and idle fields.
  const TIM_OCInitTypeDef arbitrary = {TIM_OCMode_PWM2, TIM_OutputState_Enable, 0xFFFF, 77, TIM_OCPolarity_Low,
                                       0xFFFF, 0xFFFF, 0xFFFF};
  constexpr OcRegs kZero = {0, 0, 0, 0, 0, 0, 0};
  constexpr OcRegs kOnesOc = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  struct Case {
    const char* what;
    std::uintptr_t base;
    void (*op)(TIM_TypeDef*, const TIM_OCInitTypeDef*);
    const TIM_OCInitTypeDef* oc;
    OcRegs before, after;
  };
  const std::vector<Case> cases = {
      // Advanced timer: all four CCER bits and both idle bits of the channel.
      {"TIM1 ch1 set", TIM1_BASE, TIM_OC1Init, &all_set, kZero, {0x0070, 0, 0x000F, 0x0300, 77, 0, 0}},
      {"TIM1 ch2 set", TIM1_BASE, TIM_OC2Init, &all_set, kZero, {0x7000, 0, 0x00F0, 0x0C00, 0, 77, 0}},
      {"TIM1 ch3 set", TIM1_BASE, TIM_OC3Init, &all_set, kZero, {0, 0x0070, 0x0F00, 0x3000, 0, 0, 77}},
      {"TIM8 ch1 clear",
       TIM8_BASE,
       TIM_OC1Init,
       &all_clear,
       kOnesOc,
       {0xFF8C, 0xFFFF, 0xFFF0, 0xFCFF, 0, 0xFFFFFFFFu, 0xFFFFFFFFu}},
      {"TIM8 ch2 clear",
       TIM8_BASE,
       TIM_OC2Init,
       &all_clear,
       kOnesOc,
       {0x8CFF, 0xFFFF, 0xFF0F, 0xF3FF, 0xFFFFFFFFu, 0, 0xFFFFFFFFu}},
      {"TIM8 ch3 clear",
       TIM8_BASE,
       TIM_OC3Init,
       &all_clear,
       kOnesOc,
       {0xFFFF, 0xFF8C, 0xF0FF, 0xCFFF, 0xFFFFFFFFu, 0xFFFFFFFFu, 0}},
      // General-purpose timer: enable and polarity only; CR2 untouched.
      {"TIM4 ch1 set", TIM4_BASE, TIM_OC1Init, &all_set, kZero, {0x0070, 0, 0x0003, 0, 77, 0, 0}},
      {"TIM4 ch2 set", TIM4_BASE, TIM_OC2Init, &all_set, kZero, {0x7000, 0, 0x0030, 0, 0, 77, 0}},
      {"TIM4 ch3 set", TIM4_BASE, TIM_OC3Init, &all_set, kZero, {0, 0x0070, 0x0300, 0, 0, 0, 77}},
      {"TIM4 ch1 arbitrary", TIM4_BASE, TIM_OC1Init, &arbitrary, kZero, {0x0070, 0, 0x0003, 0, 77, 0, 0}},
      {"TIM4 ch2 arbitrary", TIM4_BASE, TIM_OC2Init, &arbitrary, kZero, {0x7000, 0, 0x0030, 0, 0, 77, 0}},
      {"TIM4 ch3 arbitrary", TIM4_BASE, TIM_OC3Init, &arbitrary, kZero, {0, 0x0070, 0x0300, 0, 0, 0, 77}},
      {"TIM4 ch1 clear",
       TIM4_BASE,
       TIM_OC1Init,
       &all_clear,
       kOnesOc,
       {0xFF8C, 0xFFFF, 0xFFFC, 0xFFFF, 0, 0xFFFFFFFFu, 0xFFFFFFFFu}},
      {"TIM4 ch2 clear",
       TIM4_BASE,
       TIM_OC2Init,
       &all_clear,
       kOnesOc,
       {0x8CFF, 0xFFFF, 0xFFCF, 0xFFFF, 0xFFFFFFFFu, 0, 0xFFFFFFFFu}},
      {"TIM4 ch3 clear",
       TIM4_BASE,
       TIM_OC3Init,
       &all_clear,
       kOnesOc,
       {0xFFFF, 0xFF8C, 0xFCFF, 0xFFFF, 0xFFFFFFFFu, 0xFFFFFFFFu, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    preset_oc(c.base, c.before);
    TIM_OCInitTypeDef oc = *c.oc;
    c.op(tim_at(c.base), &oc);
    expect_oc(c.base, c.after);
  }
}

TEST_F(ConfigOps, TimerBitOperationsTouchOnlyTheirBits) {
  TIM_TypeDef* t = tim_at(TIM4_BASE);
  struct Case {
    const char* what;
    std::uintptr_t offset;
    std::uint16_t before;
    void (*op)(TIM_TypeDef*);
    std::uint16_t after;
  };
  const std::vector<Case> cases = {
      {"OC1 preload on", 0x18, 0x0000, [](TIM_TypeDef* x) { TIM_OC1PreloadConfig(x, TIM_OCPreload_Enable); }, 0x0008},
      {"OC1 preload off", 0x18, 0xFFFF, [](TIM_TypeDef* x) { TIM_OC1PreloadConfig(x, TIM_OCPreload_Disable); }, 0xFFF7},
      {"OC2 preload on", 0x18, 0x0000, [](TIM_TypeDef* x) { TIM_OC2PreloadConfig(x, TIM_OCPreload_Enable); }, 0x0800},
      {"OC2 preload off", 0x18, 0xFFFF, [](TIM_TypeDef* x) { TIM_OC2PreloadConfig(x, TIM_OCPreload_Disable); }, 0xF7FF},
      {"OC3 preload on", 0x1C, 0x0000, [](TIM_TypeDef* x) { TIM_OC3PreloadConfig(x, TIM_OCPreload_Enable); }, 0x0008},
      {"OC3 preload off", 0x1C, 0xFFFF, [](TIM_TypeDef* x) { TIM_OC3PreloadConfig(x, TIM_OCPreload_Disable); }, 0xFFF7},
      {"ARPE on", 0x00, 0x0361, [](TIM_TypeDef* x) { TIM_ARRPreloadConfig(x, ENABLE); }, 0x03E1},
      {"ARPE off", 0x00, 0xFFFF, [](TIM_TypeDef* x) { TIM_ARRPreloadConfig(x, DISABLE); }, 0xFF7F},
      {"update interrupt on", 0x0C, 0x0040, [](TIM_TypeDef* x) { TIM_ITConfig(x, TIM_IT_Update, ENABLE); }, 0x0041},
      {"two interrupts on", 0x0C, 0x0000,
       [](TIM_TypeDef* x) { TIM_ITConfig(x, TIM_IT_CC1 | TIM_IT_CC3, static_cast<FunctionalState>(3)); }, 0x000A},
      {"update interrupt off", 0x0C, 0xFFFF, [](TIM_TypeDef* x) { TIM_ITConfig(x, TIM_IT_Update, DISABLE); }, 0xFFFE},
      {"counter on", 0x00, 0x0080, [](TIM_TypeDef* x) { TIM_Cmd(x, ENABLE); }, 0x0081},
      {"counter off", 0x00, 0x03FF, [](TIM_TypeDef* x) { TIM_Cmd(x, DISABLE); }, 0x03FE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    poke16(TIM4_BASE + c.offset, c.before);
    c.op(t);
    EXPECT_EQ(peek16(TIM4_BASE + c.offset), c.after);
  }
}

// ---------------------------------------------------------------------------
// USART

USART_TypeDef* usart_at(std::uintptr_t base) { return port::block_at<USART_TypeDef>(base); }

// The board's clock tree, 42 MHz APB1 and 84 MHz APB2, as register contents.
void board_clock_registers() {
  poke32(kRccCfgr, 0x0000940Au);
  poke32(kRccPllcfgr, 0x07405418u);
}

TEST_F(ConfigOps, UsartInitDividerFromTheLiveBusClock) {
  struct Case {
    const char* what;
    std::uintptr_t base;
    bool internal_oscillator;  // else the board's tree
    std::uint32_t baud;
    bool over8;
    std::uint16_t brr;
  };
  const std::vector<Case> cases = {
      // 42 MHz: D = 525, mantissa 5, fraction (25 x 16 + 50) / 100 = 4.
      {"500000 from 42 MHz", USART3_BASE, 0, 500000, false, 0x0054},
      // D = 2278, mantissa 22, fraction (78 x 16 + 50) / 100 = 12.
      {"115200 from 42 MHz", USART3_BASE, 0, 115200, false, 0x016C},
      // Eighths: D = 1050, mantissa 10, fraction (50 x 8 + 50) / 100 = 4.
      {"500000 from 42 MHz, 8x", USART3_BASE, 0, 500000, true, 0x00A4},
      // D = 4557, mantissa 45, fraction (57 x 8 + 50) / 100 = 5.
      {"115200 from 42 MHz, 8x", USART3_BASE, 0, 115200, true, 0x02D5},
      // USART2 is on APB1 too.
      {"USART2 500000", USART2_BASE, 0, 500000, false, 0x0054},
      // USART1 and USART6 run from APB2, 84 MHz: D = 1050, fraction 8.
      {"USART1 500000", USART1_BASE, 0, 500000, false, 0x00A8},
      {"USART6 500000", USART6_BASE, 0, 500000, false, 0x00A8},
      // D = 4557, mantissa 45, fraction (57 x 16 + 50) / 100 = 9.
      {"USART1 115200", USART1_BASE, 0, 115200, false, 0x02D9},
      // Rounding up to a whole unit carries into the mantissa:
      // D = 2599, mantissa 25, fraction (99 x 16 + 50) / 100 = 16.
      {"carry in sixteenths", USART3_BASE, 0, 101000, false, 0x01A0},
      // D = 5198, mantissa 51, fraction (98 x 8 + 50) / 100 = 8.
      {"carry in eighths", USART3_BASE, 0, 101000, true, 0x0340},
      // The internal oscillator, all dividers 1: D = 200.
      {"500000 from 16 MHz", USART3_BASE, true, 500000, false, 0x0020},
      {"USART1 500000 from 16 MHz", USART1_BASE, true, 500000, false, 0x0020},
      // A rate of 0 gives a divider of 0, as the core's division by zero does.
      {"rate 0", USART3_BASE, false, 0, false, 0x0000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    board_clock_registers();
    if (c.internal_oscillator) poke32(kRccCfgr, 0);  // switch status 0, all dividers 1
    poke16(c.base + offsetof(USART_TypeDef, CR1), c.over8 ? USART_CR1_OVER8 : 0);
    poke16(c.base + offsetof(USART_TypeDef, BRR), 0xFFFF);
    USART_InitTypeDef init = {c.baud, USART_WordLength_8b, USART_StopBits_1, USART_Parity_No,
                              USART_Mode_Rx | USART_Mode_Tx, USART_HardwareFlowControl_None};
    USART_Init(usart_at(c.base), &init);
    EXPECT_EQ(peek16(c.base + offsetof(USART_TypeDef, BRR)), c.brr);
  }
}

// Every implemented bit of CR1, CR2 and CR3 set.
constexpr std::uint16_t kCr1All = 0xBFFF, kCr2All = 0x7F7F, kCr3All = 0x0FFF;

void preset_usart3_control(std::uint16_t cr1, std::uint16_t cr2, std::uint16_t cr3) {
  poke16(USART3_BASE + offsetof(USART_TypeDef, CR1), cr1);
  poke16(USART3_BASE + offsetof(USART_TypeDef, CR2), cr2);
  poke16(USART3_BASE + offsetof(USART_TypeDef, CR3), cr3);
}

TEST_F(ConfigOps, UsartInitControlFields) {
  board_clock_registers();
  struct Case {
    std::uint16_t before_cr1, before_cr2, before_cr3;
    USART_InitTypeDef init;
    std::uint16_t cr1, cr2, cr3;
  };
  const std::vector<Case> cases = {
      {0, 0, 0,
       {500000, USART_WordLength_8b, USART_StopBits_1, USART_Parity_No, USART_Mode_Rx | USART_Mode_Tx,
        USART_HardwareFlowControl_None},
       0x000C, 0x0000, 0x0000},
      // Other bits survive (OVER8 among them, so the divider is in eighths).
      {kCr1All, kCr2All, kCr3All,
       {500000, USART_WordLength_8b, USART_StopBits_2, USART_Parity_No, USART_Mode_Tx,
        USART_HardwareFlowControl_None},
       0xA9FB, 0x6F7F, 0x0CFF},
      {0, 0, 0,
       {500000, USART_WordLength_9b, USART_StopBits_1_5, USART_Parity_Odd, USART_Mode_Rx,
        USART_HardwareFlowControl_RTS_CTS},
       0x1604, 0x3000, 0x0300},
  };
  for (const auto& c : cases) {
    preset_usart3_control(c.before_cr1, c.before_cr2, c.before_cr3);
    USART_InitTypeDef init = c.init;
    USART_Init(USART3, &init);
    EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR1)), c.cr1);
    EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR2)), c.cr2);
    EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR3)), c.cr3);
  }
}

TEST_F(ConfigOps, UsartItConfigSetsTheCodedBitInTheCodedRegister) {
  struct Case {
    std::uint16_t code;
    std::uintptr_t offset;
    std::uint16_t bit;
  };
  const std::vector<Case> cases = {
      {USART_IT_RXNE, 0x0C, USART_CR1_RXNEIE},
      {USART_IT_IDLE, 0x0C, USART_CR1_IDLEIE},
      {USART_IT_TC, 0x0C, USART_CR1_TCIE},
      {USART_IT_TXE, 0x0C, USART_CR1_TXEIE},
      {0x0846, 0x10, 0x0040},  // selector 2: CR2, bit 6
      {0x096A, 0x14, 0x0400},  // selector 3: CR3, bit 10
      {0x0060, 0x14, 0x0001},  // selector 3: CR3, bit 0
      {0x0001, 0x14, 0x0002},  // selector 0: CR3 too
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    preset_usart3_control(0, 0, 0);
    USART_ITConfig(USART3, c.code, ENABLE);
    for (std::uintptr_t off : {0x0Cu, 0x10u, 0x14u}) {
      EXPECT_EQ(peek16(USART3_BASE + off), off == c.offset ? c.bit : 0u) << off;
    }
    preset_usart3_control(kCr1All, kCr2All, kCr3All);
    USART_ITConfig(USART3, c.code, DISABLE);
    EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR1)), c.offset == 0x0C ? kCr1All & ~c.bit : kCr1All);
    EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR2)), c.offset == 0x10 ? kCr2All & ~c.bit : kCr2All);
    EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR3)), c.offset == 0x14 ? kCr3All & ~c.bit : kCr3All);
  }
}

TEST_F(ConfigOps, UsartItConfigRxneKeepsTheRestOfCr1) {
  poke16(USART3_BASE + offsetof(USART_TypeDef, CR1), 0x200C);
  USART_ITConfig(USART3, USART_IT_RXNE, ENABLE);
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR1)), 0x202Cu);
  USART_ITConfig(USART3, USART_IT_RXNE, DISABLE);
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR1)), 0x200Cu);
}

TEST_F(ConfigOps, UsartCmdSetsOrClearsTheEnableBitOnly) {
  poke16(USART3_BASE + offsetof(USART_TypeDef, CR1), 0x002C);
  USART_Cmd(USART3, ENABLE);
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR1)), 0x202Cu);
  USART_Cmd(USART3, DISABLE);
  EXPECT_EQ(peek16(USART3_BASE + offsetof(USART_TypeDef, CR1)), 0x002Cu);
}

}  // namespace
