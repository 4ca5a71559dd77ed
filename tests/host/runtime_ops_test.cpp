// The run-time peripheral operations: each is one register access (or one
// read and test), with the exact width and value on the bus, whatever the
// mask: none, one bit or several.
#include <gtest/gtest.h>

#include <vector>

#include "device.h"
#include "drv_exti.h"
#include "drv_gpio.h"
#include "drv_rcc.h"
#include "drv_spi.h"
#include "drv_tim.h"
#include "drv_usart.h"
#include "vboard/board/board.h"
#include "vboard/chip/gpio.h"

namespace {

using vboard::board;
using vboard::BusAccess;

class RuntimeOps : public ::testing::Test {
 protected:
  void SetUp() override {
    board().reset();
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOC, ENABLE);
    RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM3 | RCC_APB1Periph_SPI2 | RCC_APB1Periph_USART3, ENABLE);
    RCC_APB2PeriphClockCmd(RCC_APB2Periph_SYSCFG, ENABLE);
    GPIOA->MODER = 0x00005555u;  // PA0..PA7 outputs
  }
  void TearDown() override { board().reset(); }

  // The accesses `op` makes, in order.
  template <typename Op>
  std::vector<BusAccess> accesses(Op op) {
    std::vector<BusAccess> log;
    board().bus_log = &log;
    op();
    board().bus_log = nullptr;
    for (auto& a : log) a.time = 0;
    return log;
  }
  static BusAccess w(std::uintptr_t address, std::uint32_t value, unsigned width) {
    return {0, address, value, width, true};
  }
  static BusAccess r(std::uintptr_t address, std::uint32_t value, unsigned width) {
    return {0, address, value, width, false};
  }
};

TEST_F(RuntimeOps, PinSetResetAndToggleAreOneAccessEachForAnyMask) {
  for (std::uint16_t mask : {std::uint16_t{0}, GPIO_Pin_6, std::uint16_t(GPIO_Pin_1 | GPIO_Pin_6 | GPIO_Pin_7)}) {
    SCOPED_TRACE(mask);
    GPIOA->ODR = 0x0021u;
    EXPECT_EQ(accesses([&] { GPIO_SetBits(GPIOA, mask); }), (std::vector{w(GPIOA_BASE + offsetof(GPIO_TypeDef, BSRRL), mask, 2)}));
    EXPECT_EQ(board().peek(GPIOA_BASE + offsetof(GPIO_TypeDef, ODR)), 0x0021u | mask);
    EXPECT_EQ(accesses([&] { GPIO_ResetBits(GPIOA, mask); }), (std::vector{w(GPIOA_BASE + offsetof(GPIO_TypeDef, BSRRH), mask, 2)}));
    EXPECT_EQ(board().peek(GPIOA_BASE + offsetof(GPIO_TypeDef, ODR)), 0x0021u & ~mask);
    GPIOA->ODR = 0x0021u;
    EXPECT_EQ(accesses([&] { GPIO_ToggleBits(GPIOA, mask); }),
              (std::vector{r(GPIOA_BASE + offsetof(GPIO_TypeDef, ODR), 0x0021u, 4), w(GPIOA_BASE + offsetof(GPIO_TypeDef, ODR), 0x0021u ^ mask, 4)}));
    // The pins follow.
    for (int pin = 0; pin < 8; ++pin) EXPECT_EQ(board().gpio('A').level(pin), ((0x0021u ^ mask) >> pin) & 1u);
  }
}

TEST_F(RuntimeOps, PinReadIsSetWhenAnySelectedPinIsHigh) {
  auto& c = board().gpio('C');
  c.drive(7, false);
  c.drive(8, true);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOC, 0), Bit_RESET);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOC, GPIO_Pin_7), Bit_RESET);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOC, GPIO_Pin_8), Bit_SET);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOC, GPIO_Pin_7 | GPIO_Pin_8), Bit_SET);
  const auto log = accesses([] { (void)GPIO_ReadInputDataBit(GPIOC, GPIO_Pin_7); });
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], r(GPIOC_BASE + offsetof(GPIO_TypeDef, IDR), board().gpio('C').levels(), 4));
}

TEST_F(RuntimeOps, TimerStatusNeedsTheFlagAndItsInterruptEnable) {
  board().poke(TIM3_BASE + offsetof(TIM_TypeDef, SR), TIM_SR_UIF | TIM_SR_CC1IF, 2);
  board().poke(TIM3_BASE + offsetof(TIM_TypeDef, DIER), 0, 2);
  EXPECT_EQ(TIM_GetITStatus(TIM3, TIM_IT_Update), RESET) << "raised, but its interrupt is disabled";
  board().poke(TIM3_BASE + offsetof(TIM_TypeDef, DIER), TIM_DIER_UIE, 2);
  EXPECT_EQ(TIM_GetITStatus(TIM3, TIM_IT_Update), SET);
  EXPECT_EQ(TIM_GetITStatus(TIM3, TIM_IT_CC1), RESET);
  EXPECT_EQ(TIM_GetITStatus(TIM3, 0), RESET);
  EXPECT_EQ(TIM_GetITStatus(TIM3, TIM_IT_Update | TIM_IT_CC1), SET);
}

TEST_F(RuntimeOps, TimerFlagsAreClearedByWritingTheComplement) {
  board().poke(TIM3_BASE + offsetof(TIM_TypeDef, SR), TIM_SR_UIF | TIM_SR_CC1IF | TIM_SR_CC2IF, 2);
  EXPECT_EQ(accesses([] { TIM_ClearITPendingBit(TIM3, TIM_IT_CC1); }), (std::vector{w(TIM3_BASE + offsetof(TIM_TypeDef, SR), 0xFFFDu, 2)}));
  EXPECT_EQ(board().peek(TIM3_BASE + offsetof(TIM_TypeDef, SR), 2), TIM_SR_UIF | TIM_SR_CC2IF) << "other flags untouched";
  TIM_ClearITPendingBit(TIM3, 0);
  EXPECT_EQ(board().peek(TIM3_BASE + offsetof(TIM_TypeDef, SR), 2), TIM_SR_UIF | TIM_SR_CC2IF);
  TIM_ClearITPendingBit(TIM3, TIM_IT_Update | TIM_IT_CC2);
  EXPECT_EQ(board().peek(TIM3_BASE + offsetof(TIM_TypeDef, SR), 2), 0u);
}

TEST_F(RuntimeOps, CapturesAreReadAsWholeWords) {
  board().poke(TIM3_BASE + offsetof(TIM_TypeDef, CCR1), 10500);
  board().poke(TIM3_BASE + offsetof(TIM_TypeDef, CCR2), 5250);
  EXPECT_EQ(TIM_GetCapture1(TIM3), 10500u);
  EXPECT_EQ(TIM_GetCapture2(TIM3), 5250u);
}

TEST_F(RuntimeOps, ExternalLineStatusReadsOnlyThePendingRegister) {
  board().poke(EXTI_BASE + offsetof(EXTI_TypeDef, PR), EXTI_Line7);
  board().poke(EXTI_BASE + offsetof(EXTI_TypeDef, IMR), 0);  // line 7 masked
  EXPECT_EQ(accesses([] { EXPECT_EQ(EXTI_GetITStatus(EXTI_Line7), SET); }),
            (std::vector{r(EXTI_BASE + offsetof(EXTI_TypeDef, PR), EXTI_Line7, 4)}));
  EXPECT_EQ(EXTI_GetITStatus(EXTI_Line8), RESET);
  EXPECT_EQ(EXTI_GetITStatus(0), RESET);
  EXPECT_EQ(EXTI_GetITStatus(EXTI_Line7 | EXTI_Line8), SET);
  // Clearing writes the mask: a 1 clears, a 0 leaves.
  board().poke(EXTI_BASE + offsetof(EXTI_TypeDef, PR), EXTI_Line7 | EXTI_Line8);
  EXPECT_EQ(accesses([] { EXTI_ClearITPendingBit(EXTI_Line8); }), (std::vector{w(EXTI_BASE + offsetof(EXTI_TypeDef, PR), EXTI_Line8, 4)}));
  EXPECT_EQ(EXTI_GetITStatus(EXTI_Line8), RESET);
  EXPECT_EQ(EXTI_GetITStatus(EXTI_Line7), SET);
  EXTI_ClearITPendingBit(0);
  EXPECT_EQ(EXTI_GetITStatus(EXTI_Line7), SET);
}

TEST_F(RuntimeOps, SpiWordsAndFlagsAreHalfWordAccesses) {
  // Through the SPI model: enabled master, 16-bit frames.
  SPI2->CR1 = SPI_CR1_MSTR | SPI_CR1_SSM | SPI_CR1_SSI | SPI_CR1_DFF | SPI_CR1_SPE;
  EXPECT_EQ(SPI_I2S_GetFlagStatus(SPI2, SPI_I2S_FLAG_RXNE), RESET);
  EXPECT_EQ(SPI_I2S_GetFlagStatus(SPI2, SPI_I2S_FLAG_TXE), SET);
  EXPECT_EQ(SPI_I2S_GetFlagStatus(SPI2, 0), RESET);
  EXPECT_EQ(accesses([] { SPI_I2S_SendData(SPI2, 0xFFFF); }), (std::vector{w(SPI2_BASE + offsetof(SPI_TypeDef, DR), 0xFFFFu, 2)}));
  while (SPI_I2S_GetFlagStatus(SPI2, SPI_I2S_FLAG_RXNE) != SET) {
  }
  const auto log = accesses([] { (void)SPI_I2S_ReceiveData(SPI2); });
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].address, SPI2_BASE + offsetof(SPI_TypeDef, DR));
  EXPECT_EQ(log[0].width, 2u);
  EXPECT_EQ(SPI_I2S_GetFlagStatus(SPI2, SPI_I2S_FLAG_RXNE), RESET) << "reading the word clears RXNE";
}

TEST_F(RuntimeOps, SerialStatusAndInterruptStatus) {
  board().poke(USART3_BASE + offsetof(USART_TypeDef, SR), USART_SR_TC | USART_SR_TXE, 2);
  board().poke(USART3_BASE + offsetof(USART_TypeDef, CR1), USART_CR1_UE, 2);
  EXPECT_EQ(USART_GetFlagStatus(USART3, USART_FLAG_TC), SET);
  EXPECT_EQ(USART_GetFlagStatus(USART3, USART_FLAG_RXNE), RESET);
  EXPECT_EQ(USART_GetFlagStatus(USART3, 0), RESET);
  // The interrupt status needs both the enable bit in the register the code
  // selects and the status bit the code names.
  EXPECT_EQ(USART_GetITStatus(USART3, USART_IT_TC), RESET) << "TC raised, TCIE clear";
  board().poke(USART3_BASE + offsetof(USART_TypeDef, CR1), USART_CR1_UE | USART_CR1_TCIE, 2);
  EXPECT_EQ(USART_GetITStatus(USART3, USART_IT_TC), SET);
  EXPECT_EQ(USART_GetITStatus(USART3, USART_IT_IDLE), RESET);
  const auto log = accesses([] { (void)USART_GetITStatus(USART3, USART_IT_TC); });
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].address, USART3_BASE + offsetof(USART_TypeDef, CR1));  // CR1, as 16 bits
  EXPECT_EQ(log[0].width, 2u);
  EXPECT_EQ(log[1].address, USART3_BASE + offsetof(USART_TypeDef, SR));  // SR
  // A code whose register field is 2 or another value selects CR2 or CR3.
  board().poke(USART3_BASE + offsetof(USART_TypeDef, CR3), 0x0001u, 2);  // CR3 bit 0 (error interrupt enable)
  board().poke(USART3_BASE + offsetof(USART_TypeDef, SR), 0x0001u << 3, 2);  // ORE
  EXPECT_EQ(USART_GetITStatus(USART3, 0x0360u), SET);  // CR3 bit 0, SR bit 3
  EXPECT_EQ(USART_GetITStatus(USART3, 0x0340u), RESET) << "CR2 bit 0 is clear";
}

}  // namespace
