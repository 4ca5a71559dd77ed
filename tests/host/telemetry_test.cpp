// The sensor frame on USART3 as the ground station hears it: the bytes on the
// wire, their timing, the blocking send, and the receive side (bytes from the
// ground station consumed, overruns cleared, a flood that does not hold the
// frames up). Also the USART model's line timing and status flags, on which
// all of that rests.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "ano_tc.h"
#include "device.h"
#include "global_variable.h"
#include "sensor_frame.h"
#include "system_clock.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/parts/ground_station.h"
#include "vboard/chip/rcc.h"
#include "vboard/chip/usart.h"
#include "vectors/frame_vectors.h"

namespace {

using vboard::board;
using vboard::GroundStation;
using vboard::Ticks;
using vboard::us;
using vboard::Usart;

constexpr int kUsart3Irq = 39;
constexpr int kUsart3Exception = vboard::kExcIrq0 + kUsart3Irq;
constexpr std::uint16_t kReceiveConditions =
    USART_SR_RXNE | USART_SR_ORE | USART_SR_FE | USART_SR_NE | USART_SR_PE;

// USART3 as the serial set-up leaves it (500000 baud 8N1 from the 42 MHz
// APB1 clock, receiver and its interrupt on, priority byte 0xB0), written
// straight into the registers. Returns the time the port was enabled.
Ticks bring_up_usart3(bool enable_interrupt = true) {
  SystemInit();  // 168 MHz core, 42 MHz APB1
  RCC->AHB1ENR = RCC->AHB1ENR | 0x00000002u;  // GPIOB
  RCC->APB1ENR = RCC->APB1ENR | 0x00040000u;  // USART3
  GPIOB->AFR[1] = (GPIOB->AFR[1] & ~0x0000FF00u) | 0x00007700u;  // PB10, PB11: AF7
  GPIOB->MODER = (GPIOB->MODER & ~0x00F00000u) | 0x00A00000u;    // alternate function
  USART3->BRR = static_cast<std::uint16_t>(0x0054);
  USART3->CR1 = static_cast<std::uint16_t>(USART_CR1_UE | USART_CR1_TE | USART_CR1_RE | USART_CR1_RXNEIE);
  const Ticks enabled_at = board().now();
  NVIC->IP[kUsart3Irq] = static_cast<std::uint8_t>(0xB0);
  if (enable_interrupt) NVIC->ISER[1] = 1u << (kUsart3Irq - 32);
  return enabled_at;
}

void send_frame(const frame_vectors::FrameVector& v) {
  ANO_TC_Send_Senser(v.values[0], v.values[1], v.values[2], v.values[3], v.values[4], v.values[5], v.values[6],
                     v.values[7], v.values[8]);
}

std::vector<std::uint8_t> expected_bytes(const frame_vectors::FrameVector& v) {
  return std::vector<std::uint8_t>(std::begin(v.bytes), std::end(v.bytes));
}

class TelemetryTest : public ::testing::Test {
 protected:
  void SetUp() override { board().reset(); }
  void TearDown() override { board().reset(); }
  static GroundStation& station() { return board().ground_station(); }
  static Usart& usart3() { return board().usart(3); }
  // Brings USART3 up and lets the idle frame that enabling sends go by.
  static void ready_port(bool enable_interrupt = true) {
    bring_up_usart3(enable_interrupt);
    board().run_for(us(40));
  }
};

class TelemetryFrame : public TelemetryTest {};
class TelemetryTiming : public TelemetryTest {};
class TelemetryReceive : public TelemetryTest {};
class TelemetryMainLoop : public TelemetryTest {};
class TelemetryUsartModel : public TelemetryTest {
 protected:
  // Sends a byte as the firmware does (SR read, DR write) and waits for TC;
  // returns when the byte was written.
  static Ticks send_polled(std::uint8_t byte) {
    const std::uint16_t armed = USART3->SR;
    (void)armed;
    USART3->DR = byte;
    const Ticks written = board().now();
    while ((USART3->SR & USART_SR_TC) == 0u) {
    }
    return written;
  }
};

// ---------------------------------------------------------------------------
// The frame on the wire

TEST_F(TelemetryFrame, EachFrameGoesOutExactlyAndNothingElse) {
  ready_port();
  for (const auto& v : frame_vectors::kFrames) {
    SCOPED_TRACE(v.name);
    station().clear_heard();
    send_frame(v);
    EXPECT_EQ(station().heard_bytes(), expected_bytes(v));
    for (const auto& h : station().heard()) EXPECT_TRUE(h.clean) << "a byte the station could not read";
    // Returned only once the line is idle.
    ASSERT_FALSE(station().heard().empty());
    EXPECT_GE(board().now(), station().heard().back().end);
    EXPECT_FALSE(usart3().transmitting());
    EXPECT_NE(usart3().status() & USART_SR_TC, 0);
    // The frame is built in the first 23 bytes of the buffer; the rest stays 0.
    EXPECT_TRUE(std::equal(std::begin(v.bytes), std::end(v.bytes), data_to_send));
    EXPECT_TRUE(std::all_of(data_to_send + 23, data_to_send + 100, [](std::uint8_t b) { return b == 0; }));
  }
  // Nothing trails the last frame.
  const auto heard = station().bytes_heard();
  board().run_for(vboard::ms(2));
  EXPECT_EQ(station().bytes_heard(), heard);
}

TEST_F(TelemetryFrame, SendDataSendsTheGivenBytesInOrder) {
  ready_port();
  std::array<std::uint8_t, 255> buffer{};
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 37u + 11u);
  const auto original = buffer;
  for (const std::uint8_t length : {1, 2, 23, 100, 255}) {
    SCOPED_TRACE(static_cast<int>(length));
    station().clear_heard();
    ANO_TC_Send_Data(buffer.data(), length);
    EXPECT_EQ(station().heard_bytes(), std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + length));
    EXPECT_EQ(buffer, original);
  }
}

TEST_F(TelemetryFrame, LengthZeroSendsNothingAndWaitsForTheLineToBeIdle) {
  ready_port();
  std::uint8_t unused = 0x99;

  // Idle line: returns at once.
  Ticks before = board().now();
  ANO_TC_Send_Data(&unused, 0);
  EXPECT_TRUE(station().heard().empty());
  EXPECT_LT(board().now() - before, us(1));

  // A byte still on the line: returns when it has left, sends nothing more.
  const std::uint16_t status = USART3->SR;
  (void)status;
  USART3->DR = static_cast<std::uint16_t>(0x55);
  before = board().now();
  ANO_TC_Send_Data(&unused, 0);
  ASSERT_EQ(station().heard_bytes(), std::vector<std::uint8_t>{0x55});
  EXPECT_GE(board().now(), station().heard().back().end);
  EXPECT_GE(board().now() - before, us(20));
  EXPECT_LT(board().now() - before, us(21));
  board().run_for(us(100));
  EXPECT_EQ(station().bytes_heard(), 1u);
}

// ---------------------------------------------------------------------------
// Timing

TEST_F(TelemetryTiming, BytesTakeTwentyMicrosecondsAndFollowEachOtherOnlyAfterTransmissionComplete) {
  ready_port();
  ASSERT_EQ(board().rcc().pclk1_hz(), 42'000'000u);
  ASSERT_DOUBLE_EQ(usart3().baud(), 500000.0);

  const Ticks before = board().now();
  send_frame(frame_vectors::kFrames[1]);
  const Ticks blocked = board().now() - before;

  const auto& heard = station().heard();
  ASSERT_EQ(heard.size(), 23u);
  for (std::size_t i = 0; i < heard.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(heard[i].end - heard[i].start, us(20));
    if (i > 0) {
      // Written after the previous byte had left the line, and promptly.
      EXPECT_GT(heard[i].start, heard[i - 1].end);
      EXPECT_LT(heard[i].start - heard[i - 1].end, us(1));
    }
  }
  // No byte ever waited in the data register behind another.
  EXPECT_EQ(usart3().stats().queued_writes, 0u);
  // The main loop is held for the whole frame, 23 x 20 us.
  EXPECT_GE(blocked, us(460));
  EXPECT_LE(blocked, us(462));
  EXPECT_LT(board().now() - heard.back().end, us(1));
}

TEST_F(TelemetryTiming, FramesBackToBackLeaveNoGapBeyondThePolls) {
  ready_port();
  const Ticks before = board().now();
  for (int n = 0; n < 10; ++n) send_frame(frame_vectors::kFrames[static_cast<std::size_t>(n) % frame_vectors::kFrameCount]);
  EXPECT_EQ(station().bytes_heard(), 230u);
  EXPECT_GE(board().now() - before, us(4600));
  EXPECT_LE(board().now() - before, us(4620));
}

// ---------------------------------------------------------------------------
// Receive side: the firmware's USART3 handler

TEST_F(TelemetryReceive, EveryByteFromTheGroundStationIsReadAndDropped) {
  ready_port();
  std::vector<std::uint8_t> bytes(100);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0xA0u + i);
  station().send(bytes, board().now() + us(5));
  board().run_for(vboard::ms(3));

  const auto& s = usart3().stats();
  EXPECT_EQ(station().bytes_sent(), 100u);
  EXPECT_EQ(s.frames_arrived, 100u);
  EXPECT_EQ(s.frames_received, 100u);
  EXPECT_EQ(s.bytes_read, 100u);
  EXPECT_EQ(s.overruns, 0u);
  EXPECT_EQ(s.framing_errors, 0u);
  EXPECT_EQ(board().handler_entries(kUsart3Exception), 100u);
  EXPECT_EQ(usart3().status() & kReceiveConditions, 0);
  EXPECT_FALSE(usart3().irq_level());
  // Received bytes are not interpreted and stored nowhere.
  EXPECT_TRUE(std::all_of(std::begin(DT_RxBuffer), std::end(DT_RxBuffer), [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(std::begin(data_to_send), std::end(data_to_send), [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(station().heard().empty());
}

TEST_F(TelemetryReceive, HandlerClearsEveryReceiveCondition) {
  struct Case {
    const char* name;
    std::uint32_t baud;
    vboard::SerialFormat format;
    std::vector<std::uint8_t> bytes;
    std::uint16_t raised;  // receive flags before the handler runs
  };
  const std::vector<Case> cases = {
      {"one byte", 500000, {}, {0x42}, USART_SR_RXNE},
      {"a rate 3 % off still reads", 515000, {}, {0x42}, USART_SR_RXNE},
      {"overrun: three bytes with nobody reading", 500000, {}, {0x01, 0x02, 0x03}, USART_SR_RXNE | USART_SR_ORE},
      {"framing error: half the rate", 250000, {}, {0x42}, USART_SR_RXNE | USART_SR_FE},
      {"framing error: nine data bits", 500000, {9, vboard::Parity::kNone, 2}, {0x42}, USART_SR_RXNE | USART_SR_FE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    board().reset();
    ready_port(/*enable_interrupt=*/false);
    station().set_line(c.baud, c.format);
    station().send(c.bytes, board().now());
    board().run_for(us(400));
    ASSERT_EQ(usart3().status() & kReceiveConditions, c.raised);
    EXPECT_EQ(usart3().received_data(), c.bytes.front());  // an overrun keeps the first byte
    EXPECT_TRUE(usart3().irq_level());

    NVIC->ISER[1] = 1u << (kUsart3Irq - 32);  // the pending request is taken now
    EXPECT_EQ(board().handler_entries(kUsart3Exception), 1u);
    EXPECT_EQ(usart3().status() & kReceiveConditions, 0);
    EXPECT_FALSE(usart3().irq_level());

    // Reception goes on normally afterwards.
    station().set_line(500000);
    station().send({0x10, 0x20}, board().now());
    board().run_for(us(100));
    EXPECT_EQ(usart3().stats().bytes_read, 3u);
    EXPECT_EQ(usart3().status() & kReceiveConditions, 0);
  }
}

TEST_F(TelemetryReceive, FrameGoesOutExactlyWhileTheGroundStationFloods) {
  ready_port();
  station().flood(board().now(), vboard::ms(2), 7);
  board().run_for(us(33));  // the frame starts in the middle of an incoming byte
  for (const auto& v : frame_vectors::kFrames) {
    SCOPED_TRACE(v.name);
    station().clear_heard();
    send_frame(v);
    EXPECT_EQ(station().heard_bytes(), expected_bytes(v));
    EXPECT_EQ(usart3().stats().queued_writes, 0u);
  }
  board().run_for(vboard::ms(2));
  EXPECT_FALSE(station().sending());
  const auto& s = usart3().stats();
  EXPECT_EQ(s.frames_arrived, station().bytes_sent());
  EXPECT_EQ(s.frames_arrived, vboard::ms(2) / station().byte_time());
  EXPECT_EQ(s.bytes_read, s.frames_arrived);
  EXPECT_EQ(s.overruns, 0u);
}

// ---------------------------------------------------------------------------
// With the main loop running

// These run the whole firmware: its own start-up brings USART3 up.

TEST_F(TelemetryMainLoop, FloodForSecondsDoesNotStallTheFrames) {
  telemetry::SensorFrameDecoder decoder;
  std::vector<Ticks> frame_ends;
  station().set_recording(false);
  station().on_byte = [&](const GroundStation::Heard& h) {
    if (decoder.feed(static_cast<std::uint8_t>(h.value))) frame_ends.push_back(h.end);
  };
  board().power_on();

  const Ticks flood_start = vboard::ms(20);
  const Ticks flood_length = vboard::ms(5000);
  station().flood(flood_start, flood_length, 2024);
  board().run_until(flood_start + flood_length + vboard::ms(20));

  EXPECT_EQ(station().bytes_sent(), flood_length / us(20));
  EXPECT_EQ(station().garbled(), 0u);  // the start-up set the line the station expects
  EXPECT_EQ(decoder.bad_frames(), 0u);
  EXPECT_EQ(decoder.garbage_bytes(), 0u);
  ASSERT_GE(frame_ends.size(), 1000u);
  // A frame every 5 ms throughout: no period lost to the flood.
  Ticks longest_gap = 0;
  std::size_t during_flood = 0;
  for (std::size_t i = 1; i < frame_ends.size(); ++i) longest_gap = std::max(longest_gap, frame_ends[i] - frame_ends[i - 1]);
  for (const Ticks t : frame_ends) during_flood += (t > flood_start && t <= flood_start + flood_length) ? 1u : 0u;
  EXPECT_LE(longest_gap, vboard::ms(5) + us(100));
  EXPECT_GE(during_flood, 999u);

  const auto& s = usart3().stats();
  EXPECT_EQ(s.frames_arrived, station().bytes_sent());
  EXPECT_EQ(s.frames_missed, 0u);
  EXPECT_EQ(s.overruns, 0u);
  EXPECT_EQ(s.bytes_read, s.frames_arrived);
  EXPECT_EQ(usart3().status() & kReceiveConditions, 0);
  EXPECT_FALSE(board().stop_info().stalled);
  board().reset();
}

TEST_F(TelemetryMainLoop, SetpointGoesOutInHundredths) {
  board().power_on();
  board().run_for(vboard::ms(12));
  for (const auto& a : frame_vectors::kAngles) {
    SCOPED_TRACE(a.name);
    const Ticks changed_at = board().now();
    const std::size_t heard_before = station().heard().size();
    MotorAPosition.Des = a.degrees;
    board().run_for(vboard::ms(6));

    // The first frame that began after the change.
    const auto& heard = station().heard();
    telemetry::SensorFrameDecoder decoder;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = heard_before; i < heard.size(); ++i) bytes.push_back(static_cast<std::uint8_t>(heard[i].value));
    const auto frames = decoder.feed(bytes);
    const telemetry::SensorFrame* first = nullptr;
    for (const auto& fr : frames) {
      if (heard[heard_before + fr.offset].start > changed_at) {
        first = &fr;
        break;
      }
    }
    ASSERT_NE(first, nullptr);
    EXPECT_EQ((*first)[telemetry::kAy], a.slot);
    EXPECT_EQ(station().garbled(), 0u);
    for (std::size_t slot = telemetry::kAz; slot < telemetry::kSensorValueCount; ++slot) EXPECT_EQ(first->values[slot], 0);
  }
  board().reset();
}

// ---------------------------------------------------------------------------
// The USART model under the link

TEST_F(TelemetryUsartModel, FrameTimeFollowsBrrFormatAndBusClock) {
  struct Case {
    const char* name;
    int usart;
    bool pll;  // 168 MHz from the PLL, else the 16 MHz internal oscillator
    std::uint16_t brr;
    std::uint16_t cr1;  // besides UE and TE
    std::uint16_t cr2;
    Ticks frame;
  };
  const Case cases[] = {
      {"500000 baud 8N1 on the 42 MHz APB1", 3, true, 0x0054, 0, 0, us(20)},
      {"115200 baud: 364 bus clocks a bit", 3, true, 0x016C, 0, 0, 10 * 364 * 8},
      {"8 times oversampling, 5.25: 1 Mbaud", 3, true, 0x0052, USART_CR1_OVER8, 0, us(10)},
      {"nine data bits", 3, true, 0x0054, USART_CR1_M, 0, us(22)},
      {"parity inside eight bits", 3, true, 0x0054, USART_CR1_PCE, 0, us(20)},
      {"two stop bits", 3, true, 0x0054, 0, 0x2000, us(22)},
      {"half a stop bit", 3, true, 0x0054, 0, 0x1000, us(19)},
      {"on the 16 MHz internal oscillator", 3, false, 0x0054, 0, 0, 10 * 84 * 21},
      {"USART1 on the 84 MHz APB2", 1, true, 0x0054, 0, 0, us(10)},
      {"USART1, 8 times oversampling", 1, true, 0x0052, USART_CR1_OVER8, 0, us(5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    board().reset();
    if (c.pll) SystemInit();
    USART_TypeDef* u = c.usart == 1 ? USART1 : USART3;
    if (c.usart == 1) {
      RCC->APB2ENR = RCC->APB2ENR | 0x00000010u;
    } else {
      RCC->APB1ENR = RCC->APB1ENR | 0x00040000u;
    }
    u->BRR = c.brr;
    u->CR2 = c.cr2;
    u->CR1 = static_cast<std::uint16_t>(USART_CR1_UE | USART_CR1_TE | c.cr1);
    EXPECT_EQ(board().usart(c.usart).frame_time(), c.frame);
    board().run_for(2 * c.frame);  // the idle frame after enabling

    const std::uint16_t armed = u->SR;
    (void)armed;
    u->DR = static_cast<std::uint16_t>(0x00A5);
    const Ticks written = board().now();
    ASSERT_EQ(u->SR & USART_SR_TC, 0);
    while ((u->SR & USART_SR_TC) == 0u) {
    }
    const Ticks took = board().now() - written;
    EXPECT_GE(took, c.frame);
    EXPECT_LE(took, c.frame + 8 * board().core_cycle());
  }
}

TEST_F(TelemetryUsartModel, EnablingTheTransmitterSendsAnIdleFrameFirst) {
  const Ticks enabled_at = bring_up_usart3();
  const std::uint16_t armed = USART3->SR;
  (void)armed;
  USART3->DR = static_cast<std::uint16_t>(0x42);
  EXPECT_EQ(usart3().status() & USART_SR_TXE, 0);  // waits behind the idle frame
  board().run_for(us(100));
  ASSERT_EQ(station().heard_bytes(), std::vector<std::uint8_t>{0x42});
  EXPECT_EQ(station().heard()[0].start, enabled_at + us(20));
  EXPECT_EQ(usart3().status() & (USART_SR_TXE | USART_SR_TC), USART_SR_TXE | USART_SR_TC);
}

TEST_F(TelemetryUsartModel, StatusFlagsClearAsOnTheChip) {
  ready_port(/*enable_interrupt=*/false);
  Usart& u = usart3();
  EXPECT_EQ(u.status(), USART_SR_TXE | USART_SR_TC);

  // TC clears only by an SR read followed by a DR write.
  USART3->DR = static_cast<std::uint16_t>(0x11);
  EXPECT_EQ(u.status() & (USART_SR_TXE | USART_SR_TC), USART_SR_TXE | USART_SR_TC);  // moved on to the shift register
  std::uint16_t sr = USART3->SR;
  USART3->DR = static_cast<std::uint16_t>(0x22);
  EXPECT_EQ(u.status() & (USART_SR_TXE | USART_SR_TC), 0);  // waits behind 0x11
  board().run_for(us(20));
  EXPECT_EQ(u.status() & (USART_SR_TXE | USART_SR_TC), USART_SR_TXE);  // 0x22 on the line
  board().run_for(us(20));
  EXPECT_EQ(u.status() & (USART_SR_TXE | USART_SR_TC), USART_SR_TXE | USART_SR_TC);
  EXPECT_EQ(station().heard_bytes(), (std::vector<std::uint8_t>{0x11, 0x22}));
  // Or by writing 0 to it; other flags ignore the write.
  USART3->SR = static_cast<std::uint16_t>(~USART_SR_TC);
  EXPECT_EQ(u.status(), USART_SR_TXE);

  // A byte that arrives while RXNE is set is lost and sets ORE.
  station().send({0x5A, 0xA5, 0x3C}, board().now());
  board().run_for(us(100));
  EXPECT_EQ(u.status() & kReceiveConditions, USART_SR_RXNE | USART_SR_ORE);
  EXPECT_NE(u.status() & USART_SR_IDLE, 0);  // the line stayed idle for a frame after the last byte
  EXPECT_TRUE(u.irq_level());
  EXPECT_EQ(u.stats().overruns, 2u);
  // A DR read alone takes the byte but leaves ORE, which still requests the interrupt.
  std::uint16_t dr = USART3->DR;
  EXPECT_EQ(dr, 0x5A);
  EXPECT_EQ(u.status() & kReceiveConditions, USART_SR_ORE);
  EXPECT_TRUE(u.irq_level());
  // SR then DR clears it, and IDLE with it.
  sr = USART3->SR;
  dr = USART3->DR;
  (void)sr;
  (void)dr;
  EXPECT_EQ(u.status() & (kReceiveConditions | USART_SR_IDLE), 0);
  EXPECT_FALSE(u.irq_level());
}

TEST_F(TelemetryUsartModel, EachFlagRequestsTheInterruptOnlyThroughItsEnables) {
  RCC->APB1ENR = RCC->APB1ENR | 0x00040000u;
  struct Enable {
    const char* name;
    std::uint16_t cr1, cr3;
    std::uint16_t raises;  // the flags that then request the interrupt
  };
  constexpr std::uint16_t kErrors = USART_SR_FE | USART_SR_NE | USART_SR_ORE;
  const Enable enables[] = {
      {"none", 0, 0, 0},
      {"RXNEIE", USART_CR1_RXNEIE, 0, USART_SR_RXNE | USART_SR_ORE},
      {"TXEIE", USART_CR1_TXEIE, 0, USART_SR_TXE},
      {"TCIE", USART_CR1_TCIE, 0, USART_SR_TC},
      {"IDLEIE", USART_CR1_IDLEIE, 0, USART_SR_IDLE},
      {"PEIE", USART_CR1_PEIE, 0, USART_SR_PE},
      {"EIE alone", 0, USART_CR3_EIE, 0},
      {"DMAR alone", 0, USART_CR3_DMAR, 0},
      {"EIE and DMAR", 0, USART_CR3_EIE | USART_CR3_DMAR, kErrors},
  };
  const std::uint16_t flags[] = {USART_SR_PE,   USART_SR_FE, USART_SR_NE, USART_SR_ORE,
                                 USART_SR_IDLE, USART_SR_RXNE, USART_SR_TC, USART_SR_TXE};
  for (const Enable& e : enables) {
    SCOPED_TRACE(e.name);
    for (const std::uint16_t flag : flags) {
      SCOPED_TRACE(flag);
      board().poke(USART3_BASE + offsetof(USART_TypeDef, SR), flag, 2);
      USART3->CR1 = static_cast<std::uint16_t>(USART_CR1_UE | e.cr1);
      USART3->CR3 = e.cr3;  // the line is looked at again after each write
      EXPECT_EQ(usart3().irq_level(), (e.raises & flag) != 0);
    }
  }
}

TEST_F(TelemetryUsartModel, TheStationJudgesEveryByteByTheLineInForceThen) {
  ready_port(/*enable_interrupt=*/false);
  auto send = [](std::uint8_t b) {
    USART3->DR = b;
    board().run_for(us(60));
  };
  send(0x01);  // both at 500000 baud
  send(0x02);
  station().set_line(250000);
  send(0x03);  // the station at half the rate
  send(0x04);
  USART3->BRR = static_cast<std::uint16_t>(0x00A8);  // the USART follows
  send(0x05);
  station().set_line(250000, {7, vboard::Parity::kEven, 2});
  send(0x06);  // a word of another shape
  station().set_line(250000);
  send(0x07);
  std::vector<bool> clean;
  for (const auto& h : station().heard()) clean.push_back(h.clean);
  EXPECT_EQ(station().heard_bytes(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(clean, (std::vector<bool>{true, true, false, false, true, false, true}));
  EXPECT_EQ(station().garbled(), 3u);
}

TEST_F(TelemetryUsartModel, NothingIsHeardOrReceivedWithoutThePins) {
  SystemInit();
  RCC->APB1ENR = RCC->APB1ENR | 0x00040000u;
  USART3->BRR = static_cast<std::uint16_t>(0x0054);
  USART3->CR1 = static_cast<std::uint16_t>(USART_CR1_UE | USART_CR1_TE | USART_CR1_RE);
  board().run_for(us(40));
  station().send({0x42}, board().now());
  const std::uint16_t sr = USART3->SR;
  (void)sr;
  USART3->DR = static_cast<std::uint16_t>(0x24);
  board().run_for(us(100));
  EXPECT_TRUE(station().heard().empty());
  EXPECT_EQ(usart3().stats().frames_unheard, 1u);
  EXPECT_EQ(usart3().stats().frames_missed, 1u);
  EXPECT_EQ(usart3().status() & USART_SR_RXNE, 0);
}

TEST_F(TelemetryUsartModel, EachByteTakesTheRateAndPinsInForceWhenItStarts) {
  // What a byte's frame depends on (BRR, the TX pin's routing) changes
  // between bytes of one run; each byte follows the settings of its start.
  ready_port(false);
  const auto send = send_polled;
  const Ticks fast = send(0x11);
  USART3->BRR = static_cast<std::uint16_t>(0x016C);  // 115200 baud
  const Ticks slow = send(0x22);
  GPIOB->MODER = GPIOB->MODER & ~0x00300000u;  // PB10 an input: the byte goes nowhere
  send(0x33);
  GPIOB->MODER = GPIOB->MODER | 0x00200000u;  // back to its alternate function
  USART3->BRR = static_cast<std::uint16_t>(0x0054);
  const Ticks fast_again = send(0x44);

  const auto& heard = station().heard();
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[0].value, 0x11);
  EXPECT_EQ(heard[0].end - heard[0].start, us(20));
  EXPECT_EQ(heard[0].start, fast);
  EXPECT_EQ(heard[1].value, 0x22);
  EXPECT_EQ(heard[1].end - heard[1].start, Ticks{10 * 364 * 8});
  EXPECT_EQ(heard[1].start, slow);
  EXPECT_EQ(heard[2].value, 0x44);
  EXPECT_EQ(heard[2].end - heard[2].start, us(20));
  EXPECT_EQ(heard[2].start, fast_again);
  EXPECT_EQ(usart3().stats().frames_unheard, 1u);
  EXPECT_EQ(usart3().stats().frames_sent, 4u);
}

TEST_F(TelemetryUsartModel, BytesFollowTheSetUpHoweverItChanged) {
  // The model keeps the frame timing and the interrupt enables worked out
  // from the set-up registers and the bus clock; a debugger's poke, a byte
  // write into BRR and a prescaler change each make a new set-up.
  ready_port(false);
  const auto send = send_polled;
  constexpr std::uint32_t kBrr = offsetof(USART_TypeDef, BRR);
  send(0x10);
  board().poke(USART3_BASE + kBrr, 0x016C, 2);  // 115200 baud
  send(0x11);
  usart3().write(kBrr + 1, 0x00, 1);  // BRR 0x006C: 108 bus clocks a bit
  send(0x22);
  board().poke(USART3_BASE + kBrr, 0x0054, 2);
  RCC->CFGR = (RCC->CFGR & ~RCC_CFGR_PPRE1) | 0x00001000u;  // APB1 at 84 MHz: 1 Mbaud
  send(0x33);
  const std::uint16_t cr1 = USART3->CR1;
  board().poke(USART3_BASE + offsetof(USART_TypeDef, CR1), cr1 | USART_CR1_TCIE, 2);
  EXPECT_FALSE(usart3().irq_level());  // a poke has no effect of its own
  send(0x44);
  EXPECT_TRUE(usart3().irq_level());  // TC set again, now with TCIE

  const auto& heard = station().heard();
  ASSERT_EQ(heard.size(), 5u);
  EXPECT_EQ(heard[0].end - heard[0].start, us(20));
  EXPECT_EQ(heard[1].end - heard[1].start, Ticks{10 * 364 * 8});
  EXPECT_EQ(heard[2].end - heard[2].start, Ticks{10 * 108 * 8});
  EXPECT_EQ(heard[3].end - heard[3].start, us(10));
  EXPECT_EQ(heard[4].end - heard[4].start, us(10));
}

}  // namespace
