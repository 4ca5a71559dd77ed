// The AS5048A link over SPI2: the parity bit, the register read word by word
// on the wire, the chip select and frame timing, and the read against the
// sensor model (one-frame lag, error flag and its clearing, faults).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <deque>
#include <vector>

#include "as5048a.h"
#include "spi.h"
#include "device.h"
#include "drv_gpio.h"
#include "system_clock.h"
#include "vboard/parts/as5048a.h"
#include "vboard/board/board.h"
#include "wired_pins.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/rcc.h"
#include "vboard/chip/spi.h"
#include "vectors/link_vectors.h"

namespace {

using vboard::board;
using vboard::Ticks;
using vboard::us;

vboard::Spi& spi2() { return board().spi(2); }
vboard::As5048a& sensor() { return *board().find<vboard::As5048a>(); }
bool status_led() { return wired::level("status LED"); }

std::vector<std::uint16_t> sent_words() {
  std::vector<std::uint16_t> words;
  for (const auto& f : spi2().frames()) words.push_back(f.sent);
  return words;
}

std::vector<std::uint16_t> received_words() {
  std::vector<std::uint16_t> words;
  for (const auto& f : spi2().frames()) words.push_back(f.received);
  return words;
}

// The link as the board's bring-up leaves it, written register by register:
// PB12 output high (sensor deselected), PB13..15 alternate function 5 with
// pull-up, SPI2 master, 16-bit frames, clock idle low, capture on the second
// edge, software select held high, fPCLK1 / 32, enabled. PA7 an output.
void bring_up_link() {
  RCC->AHB1ENR = RCC->AHB1ENR | 0x00000003u;  // GPIOA, GPIOB
  RCC->APB1ENR = RCC->APB1ENR | 0x00004000u;  // SPI2

  GPIOB->BSRRL = GPIO_Pin_12;
  std::uint32_t afr = GPIOB->AFR[1];
  afr = (afr & 0x000FFFFFu) | 0x55500000u;  // AF5 on pins 13, 14, 15
  GPIOB->AFR[1] = afr;
  std::uint32_t pupdr = GPIOB->PUPDR;
  pupdr = (pupdr & 0x00FFFFFFu) | 0x55000000u;  // pull-up on pins 12..15
  GPIOB->PUPDR = pupdr;
  std::uint32_t moder = GPIOB->MODER;
  moder = (moder & 0x00FFFFFFu) | 0xA9000000u;  // 12 output, 13..15 alternate
  GPIOB->MODER = moder;

  GPIOA->BSRRL = GPIO_Pin_7;
  std::uint32_t moder_a = GPIOA->MODER;
  moder_a = (moder_a & ~0x0000C000u) | 0x00004000u;  // PA7 output
  GPIOA->MODER = moder_a;

  const std::uint16_t cr1 = SPI_CR1_MSTR | SPI_CR1_DFF | SPI_CR1_CPHA | SPI_CR1_SSM | SPI_CR1_SSI | (4u << 3);
  SPI2->CR1 = cr1;
  SPI2->CR1 = static_cast<std::uint16_t>(cr1 | SPI_CR1_SPE);
}

// Fresh board at 168 MHz (PCLK1 42 MHz) with the link up and no frame yet.
void fresh_link() {
  board().reset();
  SystemInit();
  bring_up_link();
  spi2().clear_frames();
  sensor().clear_commands();
}

// A device on PB12 that replies from a script, then 0x0000.
class ScriptedSlave : public vboard::SpiSlave {
 public:
  explicit ScriptedSlave(std::deque<std::uint16_t> replies) : replies_(std::move(replies)) {
    spi2().attach(this, 'B', 12);
  }
  ~ScriptedSlave() override { spi2().detach(this); }
  ScriptedSlave(const ScriptedSlave&) = delete;
  ScriptedSlave& operator=(const ScriptedSlave&) = delete;

  std::uint16_t exchange(std::uint16_t mosi, const vboard::SpiFormat&, Ticks) override {
    received.push_back(mosi);
    if (replies_.empty()) return 0x0000;
    const std::uint16_t r = replies_.front();
    replies_.pop_front();
    return r;
  }
  std::vector<std::uint16_t> received;

 private:
  std::deque<std::uint16_t> replies_;
};

class SensorLink : public ::testing::Test {
 protected:
  void SetUp() override { fresh_link(); }
  void TearDown() override { board().reset(); }
};

// ---------------------------------------------------------------------------
// Parity

// Shared with the image for the board: tests/shared/link_cases.cpp.

// ---------------------------------------------------------------------------
// The read on the wire, against scripted replies

TEST(SensorLinkWire, ReadVectors) {
  for (const auto& v : link_vectors::kReads) {
    SCOPED_TRACE(testing::Message() << std::hex << "register 0x" << v.reg << " reply 0x" << v.reply);
    fresh_link();
    sensor().set_absent(true);
    ScriptedSlave slave({v.stale, v.reply});
    // Start from the opposite outcome, so that both are written by the read.
    error_flag = static_cast<std::uint8_t>(v.error_flag ^ 1u);
    if (v.status_led) {
      GPIO_ResetBits(GPIOA, GPIO_Pin_7);
    } else {
      GPIO_SetBits(GPIOA, GPIO_Pin_7);
    }

    const std::uint16_t result = Read_As5048A_Reg(v.reg);

    EXPECT_EQ(result, v.result);
    EXPECT_EQ(error_flag, v.error_flag);
    EXPECT_EQ(status_led(), v.status_led != 0);
    const std::vector<std::uint16_t> expected(v.sent, v.sent + v.sent_count);
    EXPECT_EQ(sent_words(), expected);
    EXPECT_EQ(slave.received, expected);
    for (const auto& f : spi2().frames()) {
      EXPECT_TRUE(f.completed);
      EXPECT_FALSE(f.cs_high);
      EXPECT_TRUE(f.cs_steady);
    }
  }
  board().reset();
}

TEST_F(SensorLink, SendHalfWordReturnsTheWordShiftedBack) {
  sensor().set_absent(true);
  ScriptedSlave slave({0x1234, 0xBEEF});
  EXPECT_EQ(SPI_SendHalfWord(0xA5A5), 0x1234);
  EXPECT_EQ(SPI_SendHalfWord(0x0000), 0xBEEF);
  EXPECT_EQ(slave.received, (std::vector<std::uint16_t>{0xA5A5, 0x0000}));
  EXPECT_TRUE(wired::level("sensor chip select")) << "chip select left low";
}

TEST_F(SensorLink, ChipSelectFramesEveryWordWithItsDelays) {
  struct Edge {
    bool level;
    Ticks time;
    bool rxne;  // received word still unread at the edge
  };
  std::vector<Edge> edges;
  wired::port_of("sensor chip select").observe([&](int pin, bool level, Ticks t) {
    if (pin == wired::pin("sensor chip select").pin) edges.push_back({level, t, (board().peek(SPI2_BASE + offsetof(SPI_TypeDef, SR), 2) & SPI_SR_RXNE) != 0});
  });
  sensor().set_error_forced(true);  // four frames: the read and the clear sequence
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 0);

  const auto& frames = spi2().frames();
  ASSERT_EQ(frames.size(), 4u);
  ASSERT_EQ(edges.size(), 8u);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const Edge& fall = edges[2 * i];
    const Edge& rise = edges[2 * i + 1];
    EXPECT_FALSE(fall.level);
    EXPECT_TRUE(rise.level);
    // delay_us(1) between select and the first clock.
    EXPECT_GE(frames[i].start - fall.time, us(1));
    EXPECT_LT(frames[i].start - fall.time, us(2));
    // Deselected once the last clock has passed, before the word is read.
    EXPECT_GE(rise.time, frames[i].end);
    EXPECT_LT(rise.time - frames[i].end, us(1));
    EXPECT_TRUE(rise.rxne);
    EXPECT_FALSE(frames[i].cs_high);
    EXPECT_TRUE(frames[i].cs_steady);
    // delay_us(2) before the next select.
    if (i + 1 < frames.size()) {
      EXPECT_GE(edges[2 * i + 2].time - rise.time, us(2));
    }
  }
  EXPECT_TRUE(wired::level("sensor chip select"));
}

TEST_F(SensorLink, FrameTakesSixteenClocksAtPclk1Over32) {
  ASSERT_EQ(board().rcc().pclk1_hz(), 42'000'000u);
  EXPECT_EQ(spi2().prescaler(), 32u);
  (void)Read_As5048A_Reg(0x3FFF);
  ASSERT_EQ(spi2().frames().size(), 2u);
  for (const auto& f : spi2().frames()) {
    // 1.3125 MHz: 16 clocks take 12.19 us.
    EXPECT_EQ(f.end - f.start, 16u * vboard::period_of(1'312'500));
    EXPECT_NEAR(vboard::to_us(f.end - f.start), 12.19, 0.01);
    EXPECT_EQ(f.format.bits, 16u);
    EXPECT_EQ(f.format.mode(), 1u);
  }
}

TEST(SensorLinkClock, FrameFollowsTheLiveBusClock) {
  // Without the clock set-up the bus runs at 16 MHz: 500 kHz, 32 us a frame.
  board().reset();
  bring_up_link();
  spi2().clear_frames();
  ASSERT_EQ(board().rcc().pclk1_hz(), 16'000'000u);
  (void)SPI_SendHalfWord(0xC000);
  ASSERT_EQ(spi2().frames().size(), 1u);
  EXPECT_EQ(spi2().frames()[0].end - spi2().frames()[0].start, us(32));
  board().reset();
}

TEST(SensorLinkBringUp, FirmwareSetUpGivesTheLinkTheSensorNeeds) {
  board().reset();
  SystemInit();
  SPI_Config();
  EXPECT_TRUE(spi2().frames().empty());  // nothing is sent during set-up
  EXPECT_TRUE(wired::level("sensor chip select"));
  EXPECT_TRUE(spi2().enabled());
  EXPECT_TRUE(spi2().master());
  sensor().set_angle(90.0);
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 4096);
  ASSERT_EQ(spi2().frames().size(), 2u);
  for (const auto& f : spi2().frames()) {
    EXPECT_EQ(f.format.bits, 16u);
    EXPECT_EQ(f.format.mode(), 1u);
    EXPECT_EQ(f.end - f.start, 16u * vboard::period_of(1'312'500));
    EXPECT_FALSE(f.cs_high);
    EXPECT_TRUE(f.cs_steady);
  }
  EXPECT_TRUE(wired::level("sensor chip select"));
  board().reset();
}

// ---------------------------------------------------------------------------
// Against the sensor model

TEST_F(SensorLink, AngleReadReturnsTheRotorCount) {
  struct Case {
    double degrees;
    std::uint16_t count;
  };
  const Case cases[] = {{0.0, 0}, {90.0, 4096}, {180.0, 8192}, {123.4567, 5619}, {359.98, 16383}, {359.99, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.degrees);
    sensor().set_angle(c.degrees);
    EXPECT_EQ(Read_As5048A_Reg(0x3FFF), c.count);
    EXPECT_EQ(error_flag, 0);
    EXPECT_TRUE(status_led());
  }
  // Two frames a read, the angle command each time, and nothing else.
  EXPECT_EQ(sent_words(), std::vector<std::uint16_t>(2 * std::size(cases), 0xFFFF));
  EXPECT_EQ(sensor().command_words(), sent_words());
}

TEST_F(SensorLink, ReplyLagsOneFrameAcrossCalls) {
  sensor().set_angle(45.0);  // 2048
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 2048);
  sensor().set_angle(270.0);  // 12288
  // The next frame still carries the answer to the last angle command,
  // taken when it arrived, whatever is sent now.
  EXPECT_EQ(SPI_SendHalfWord(0xC000), 0x8800);
  // Its own answer (no operation: 0) comes in the frame after.
  EXPECT_EQ(SPI_SendHalfWord(0xFFFF), 0x0000);
  // The doubled command hides the lag from the caller.
  EXPECT_EQ(Read_As5048A_Reg(0x3FFE), vboard::As5048a::kMagnitude);
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 12288);
  EXPECT_EQ(sent_words(), (std::vector<std::uint16_t>{0xFFFF, 0xFFFF, 0xC000, 0xFFFF, 0x7FFE, 0x7FFE, 0xFFFF, 0xFFFF}));
  // 0x0800 and 0x0E00 need the parity bit, 0x3000 does not.
  EXPECT_EQ(received_words(), (std::vector<std::uint16_t>{0x0000, 0x8800, 0x8800, 0x0000, 0x3000, 0x8E00, 0x8E00, 0x3000}));
}

TEST_F(SensorLink, NoSensorReadsAllOnesAndTakesTheErrorBranch) {
  sensor().set_absent(true);
  sensor().set_angle(90.0);
  for (int n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    spi2().clear_frames();
    GPIO_SetBits(GPIOA, GPIO_Pin_7);
    error_flag = 1;
    EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 0);
    EXPECT_EQ(error_flag, 0);
    EXPECT_FALSE(status_led());
    EXPECT_EQ(sent_words(), (std::vector<std::uint16_t>{0xFFFF, 0xFFFF, 0x4001, 0xC000}));
    EXPECT_EQ(received_words(), std::vector<std::uint16_t>(4, 0xFFFF));
  }
  EXPECT_TRUE(sensor().commands().empty());
}

TEST_F(SensorLink, BadParityRepliesAreFlaggedButReturned) {
  sensor().set_bad_parity(true);
  struct Case {
    double degrees;
    std::uint16_t count;
  };
  // 4096 (one bit), 12288 (two bits), 5461 (0x1555, seven bits).
  for (const Case c : {Case{90.0, 4096}, Case{270.0, 12288}, Case{120.0, 5461}}) {
    SCOPED_TRACE(c.degrees);
    sensor().set_angle(c.degrees);
    GPIO_ResetBits(GPIOA, GPIO_Pin_7);
    EXPECT_EQ(Read_As5048A_Reg(0x3FFF), c.count);
    EXPECT_EQ(error_flag, 1);
    EXPECT_TRUE(status_led());
  }
  // A good reply puts the flag back to 0.
  sensor().set_bad_parity(false);
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 5461);
  EXPECT_EQ(error_flag, 0);
  EXPECT_EQ(sent_words(), std::vector<std::uint16_t>(8, 0xFFFF));
}

TEST_F(SensorLink, BadCommandSetsTheFlagAndTheReadClearsIt) {
  sensor().set_angle(180.0);  // 8192
  (void)SPI_SendHalfWord(0x7FFF);  // angle read with its parity bit wrong
  EXPECT_TRUE(sensor().error_flag());
  EXPECT_EQ(sensor().error_register(), vboard::As5048a::kParityError);
  spi2().clear_frames();

  GPIO_SetBits(GPIOA, GPIO_Pin_7);
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 0);
  EXPECT_FALSE(status_led());
  EXPECT_EQ(error_flag, 0);
  EXPECT_EQ(sent_words(), (std::vector<std::uint16_t>{0xFFFF, 0xFFFF, 0x4001, 0xC000}));
  // The bad command's reply carries the flag; so do the angle replies
  // (0x4000 | 8192); the clear's reply carries the error register (parity
  // error) and the flag as it stood; then the flag is down.
  EXPECT_EQ(received_words(), (std::vector<std::uint16_t>{0xC000, 0x6000, 0x6000, 0x4004}));
  EXPECT_FALSE(sensor().error_flag());
  EXPECT_EQ(sensor().error_register(), 0);

  spi2().clear_frames();
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 8192);
  EXPECT_TRUE(status_led());
  EXPECT_EQ(error_flag, 0);
  EXPECT_EQ(sent_words(), (std::vector<std::uint16_t>{0xFFFF, 0xFFFF}));
}

TEST_F(SensorLink, ForcedErrorFlagFailsEveryReadUntilItGoes) {
  sensor().set_angle(30.0);  // 1365
  sensor().set_error_forced(true);
  for (int n = 0; n < 2; ++n) {
    GPIO_SetBits(GPIOA, GPIO_Pin_7);
    EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 0);
    EXPECT_FALSE(status_led());
  }
  EXPECT_EQ(sent_words(), (std::vector<std::uint16_t>{0xFFFF, 0xFFFF, 0x4001, 0xC000, 0xFFFF, 0xFFFF, 0x4001, 0xC000}));
  sensor().set_error_forced(false);
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 1365);
  EXPECT_TRUE(status_led());
  EXPECT_EQ(error_flag, 0);
}

TEST_F(SensorLink, RotatingRotorReadOverSeveralCalls) {
  // 1000 degrees a second, read every 40 ms: 40 degrees a step, through 0.
  const double start = 250.0;
  sensor().set_angle(start, 1000.0);
  std::vector<std::uint16_t> results;
  for (int n = 0; n < 8; ++n) {
    results.push_back(Read_As5048A_Reg(0x3FFF));
    EXPECT_EQ(error_flag, 0);
    board().run_for(vboard::ms(40));
  }
  // Each read answers with the angle when its first command arrived.
  const auto& commands = sensor().commands();
  ASSERT_EQ(commands.size(), 16u);
  bool wrapped = false;
  for (std::size_t n = 0; n < results.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(results[n], vboard::As5048a::count_of(board().rotor().angle(commands[2 * n].time)));
    if (n > 0) {
      const int step = (results[n] - results[n - 1] + 16384) % 16384;
      EXPECT_NEAR(step, 40.0 / 360.0 * 16384.0, 3.0);
      wrapped = wrapped || results[n] < results[n - 1];
    }
  }
  EXPECT_TRUE(wrapped);
}

// ---------------------------------------------------------------------------
// The SPI master model itself

TEST_F(SensorLink, SecondWordWaitsInTheTransmitBuffer) {
  sensor().set_absent(true);
  ScriptedSlave slave({0x1111, 0x2222});
  GPIO_ResetBits(GPIOB, GPIO_Pin_12);
  SPI2->DR = 0xA001;
  EXPECT_TRUE(SPI2->SR & SPI_SR_TXE);
  EXPECT_TRUE(SPI2->SR & SPI_SR_BSY);
  SPI2->DR = 0xA002;
  EXPECT_FALSE(SPI2->SR & SPI_SR_TXE);
  while (!(SPI2->SR & SPI_SR_RXNE)) {
  }
  EXPECT_EQ(static_cast<std::uint16_t>(SPI2->DR), 0x1111);
  EXPECT_TRUE(SPI2->SR & SPI_SR_TXE);
  while (!(SPI2->SR & SPI_SR_RXNE)) {
  }
  EXPECT_EQ(static_cast<std::uint16_t>(SPI2->DR), 0x2222);
  while (SPI2->SR & SPI_SR_BSY) {
  }
  GPIO_SetBits(GPIOB, GPIO_Pin_12);
  const auto& f = spi2().frames();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[1].start, f[0].end);  // back to back
  EXPECT_EQ(slave.received, (std::vector<std::uint16_t>{0xA001, 0xA002}));
}

TEST_F(SensorLink, UnreadWordIsLostAndSetsOverrun) {
  sensor().set_absent(true);
  ScriptedSlave slave({0x1111, 0x2222});
  GPIO_ResetBits(GPIOB, GPIO_Pin_12);
  SPI2->DR = 0xA001;
  SPI2->DR = 0xA002;
  while (SPI2->SR & SPI_SR_BSY) {
  }
  EXPECT_TRUE(SPI2->SR & SPI_SR_OVR);
  EXPECT_EQ(static_cast<std::uint16_t>(SPI2->DR), 0x1111);  // the first word stays
  EXPECT_FALSE(SPI2->SR & SPI_SR_RXNE);
  // Read DR then SR: the overrun is cleared.
  EXPECT_FALSE(SPI2->SR & SPI_SR_OVR);
}

TEST_F(SensorLink, ReceivedWordRaisesTheInterruptLineWhenEnabled) {
  const int exception = vboard::kExcIrq0 + SPI2_IRQn;
  (void)SPI_SendHalfWord(0xC000);
  EXPECT_FALSE(board().nvic().pending(exception));
  SPI2->CR2 = 0x0040;  // RXNEIE
  (void)SPI_SendHalfWord(0xC000);
  EXPECT_TRUE(board().nvic().pending(exception));
}

TEST_F(SensorLink, InternalSelectLowIsAModeFault) {
  SPI2->CR1 = SPI_CR1_MSTR | SPI_CR1_DFF | SPI_CR1_SSM | SPI_CR1_SPE;  // SSI low
  EXPECT_TRUE(SPI2->SR & 0x0020);  // MODF
  EXPECT_FALSE(spi2().master());
  EXPECT_FALSE(spi2().enabled());
  SPI2->DR = 0xFFFF;
  EXPECT_TRUE(spi2().frames().empty());
}

TEST_F(SensorLink, ClosedClockGateSendsNothing) {
  RCC->APB1ENR = RCC->APB1ENR & ~0x00004000u;
  SPI2->DR = 0xFFFF;
  EXPECT_EQ(static_cast<std::uint16_t>(SPI2->SR), 0);
  board().run_for(us(50));
  EXPECT_TRUE(spi2().frames().empty());
}

TEST_F(SensorLink, SelectCutMidFrameIsAFramingError) {
  sensor().set_angle(90.0);
  GPIO_ResetBits(GPIOB, GPIO_Pin_12);
  SPI2->DR = 0xFFFF;
  GPIO_SetBits(GPIOB, GPIO_Pin_12);
  while (!(SPI2->SR & SPI_SR_RXNE)) {
  }
  EXPECT_EQ(static_cast<std::uint16_t>(SPI2->DR), 0xFFFF);  // nobody drove the line
  ASSERT_EQ(spi2().frames().size(), 1u);
  EXPECT_FALSE(spi2().frames()[0].cs_steady);
  EXPECT_TRUE(sensor().commands().empty());
  EXPECT_TRUE(sensor().error_flag());
  EXPECT_EQ(sensor().error_register(), vboard::As5048a::kFramingError);
  // The next read sees the flag and clears it.
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 0);
  EXPECT_FALSE(sensor().error_flag());
  EXPECT_EQ(Read_As5048A_Reg(0x3FFF), 4096);
}

}  // namespace
