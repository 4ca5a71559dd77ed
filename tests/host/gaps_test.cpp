// The board says what it does not model: an access to an address with no
// model, a write to a register a model does not name or one that sets a bit
// outside the fields it names, is recorded with its time; and the whole
// firmware, from reset through start-up and a second of running with the
// sensor turning, makes none.
#include <gtest/gtest.h>

#include <cstdio>

#include "device.h"
#include "drv_gpio.h"
#include "drv_rcc.h"
#include "vboard/board/board.h"
#include "vboard/parts/rotor.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/register_fields.h"

namespace {

using vboard::board;
using vboard::ms;

TEST(Gaps, AnAddressWithNoModelIsRecordedWithItsAccessAndTime) {
  board().reset();
  board().run_for(ms(2));
  // TIM4 is on the chip but has no model on this board.
  auto& reg = port::reg_at<std::uint32_t>(TIM4_BASE + offsetof(TIM_TypeDef, ARR));
  reg = 0x1234u;
  const std::uint32_t back = reg;
  EXPECT_EQ(back, 0x1234u) << "the access goes on as plain memory";
  ASSERT_EQ(board().gap_count(), 2u);
  const auto& g = board().gaps();
  EXPECT_EQ(g[0].address, TIM4_BASE + offsetof(TIM_TypeDef, ARR));
  EXPECT_TRUE(g[0].write);
  EXPECT_EQ(g[0].value, 0x1234u);
  EXPECT_FALSE(g[1].write);
  EXPECT_GE(g[0].time, ms(2));
  char address[16];
  std::snprintf(address, sizeof address, "0x%08lx", static_cast<unsigned long>(TIM4_BASE + offsetof(TIM_TypeDef, ARR)));
  EXPECT_NE(board().gap_report().find(address), std::string::npos) << board().gap_report();
  board().reset();
  EXPECT_EQ(board().gap_count(), 0u) << "reset forgets them";
}

TEST(Gaps, APollOfAnAddressWithNoModelIsAWaitLikeAnyOther) {
  // Reads that see the same value again and again are a poll; with no
  // model behind the address nothing is coming, and the poll runs at the
  // cost of its accesses instead of skipping ahead.
  board().reset();
  board().run_for(ms(2));
  auto& reg = port::reg_at<std::uint32_t>(TIM4_BASE + offsetof(TIM_TypeDef, ARR));
  const vboard::Ticks before = board().now();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(static_cast<std::uint32_t>(reg), 0u);
  EXPECT_LT(board().now() - before, vboard::us(10)) << "ten accesses, no skip to the next event";
  EXPECT_EQ(board().gap_count(), 10u);
}

std::string hex(std::uintptr_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(address));
  return text;
}

TEST(Gaps, AFieldOrRegisterAModelDoesNotImplementIsRecorded) {
  board().reset();
  RCC->APB1ENR = RCC_APB1Periph_SPI2;
  RCC->AHB1ENR = RCC_AHB1Periph_GPIOA;
  ASSERT_EQ(board().gap_count(), 0u) << board().gap_report();
  board().run_for(ms(1));

  // CRCEN: SPI2 keeps the bit, but computes no CRC.
  SPI2->CR1 = SPI_CR1_MSTR | SPI_CR1_SSM | SPI_CR1_SSI | SPI_CR1_CRCEN;
  // LCKR: no pin locking on this board.
  GPIOA->LCKR = 1u;
  // Fields kept without effect on purpose are no gap (the output speed),
  // nor are the modelled ones, nor zeros outside them.
  GPIOA->OSPEEDR = 0xFFFFFFFFu;
  GPIOA->MODER = 0u;
  SPI2->CR2 = 0u;

  ASSERT_EQ(board().gap_count(), 2u) << board().gap_report();
  const auto& g = board().gaps();
  EXPECT_EQ(g[0].address, SPI2_BASE + offsetof(SPI_TypeDef, CR1));
  EXPECT_TRUE(g[0].write);
  EXPECT_EQ(g[0].value, SPI_CR1_MSTR | SPI_CR1_SSM | SPI_CR1_SSI | SPI_CR1_CRCEN);
  EXPECT_GE(g[0].time, ms(1));
  EXPECT_NE(g[0].what.find("SPI2"), std::string::npos) << g[0].what;
  char bits[16];
  std::snprintf(bits, sizeof bits, "0x%08x", static_cast<unsigned>(SPI_CR1_CRCEN));
  EXPECT_NE(g[0].what.find(bits), std::string::npos) << "names the bits outside the fields: " << g[0].what;
  EXPECT_EQ(g[1].address, GPIOA_BASE + offsetof(GPIO_TypeDef, LCKR));
  EXPECT_NE(g[1].what.find("register not modelled"), std::string::npos) << g[1].what;
  const std::string report = board().gap_report();
  EXPECT_NE(report.find(hex(SPI2_BASE + offsetof(SPI_TypeDef, CR1))), std::string::npos) << report;
  EXPECT_NE(report.find(hex(GPIOA_BASE + offsetof(GPIO_TypeDef, LCKR))), std::string::npos) << report;
  board().reset();
}

TEST(Gaps, AFieldKeptWithoutEffectSaysWhy) {
  // Every field a model keeps on purpose without effect carries its reason,
  // and no field is both implemented and kept without effect.
  for (const vboard::hw::DeviceRow& row : vboard::hw::kDevices) {
    SCOPED_TRACE(std::string(row.name));
    const auto registers = vboard::implemented_registers(row);
    EXPECT_FALSE(registers.empty());
    for (const vboard::RegisterFields& r : registers) {
      EXPECT_LT(r.offset + 4u * r.count, row.size + 4u) << r.offset;
      EXPECT_EQ(r.implemented & r.ignored, 0u) << r.offset;
      if (r.ignored != 0) {
        EXPECT_NE(r.why_ignored, nullptr) << r.offset;
      }
    }
  }
}

TEST(Gaps, StartUpAndOneSecondOfRunningTouchNothingUnmodelled) {
  board().reset();
  board().rotor().set(10.0, 90.0, 0);
  board().power_on();
  board().run_for(ms(1000));
  EXPECT_EQ(board().gap_count(), 0u) << board().gap_report();
  EXPECT_FALSE(board().stop_info().stalled);
  board().reset();
}

}  // namespace
