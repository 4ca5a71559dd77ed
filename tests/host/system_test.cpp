// The whole firmware on the virtual board: the timing of the main loop's
// works from the end of start-up, and bad input from the world outside (the
// sensor, the capture line, the numbers in the control chain). Whatever
// comes in, the firmware behaves as designed, never hangs, and keeps sending
// a frame every 5 ms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "as5048a.h"
#include "global_variable.h"
#include "sensor_frame.h"
#include "vboard/parts/as5048a.h"
#include "device.h"
#include "vboard/board/board.h"
#include "wired_pins.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/gpio.h"
#include "vboard/parts/ground_station.h"
#include "work_monitor.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/chip/spi.h"
#include "vboard/chip/tim/timer.h"

namespace {

using vboard::board;
using vboard::ms;
using vboard::Ticks;
using vboard::us;

struct Frame {
  Ticks start;  // first byte's start bit
  Ticks end;    // last byte's stop bit
  telemetry::SensorValues values;
};

// Listens on the ground station's line and decodes what the firmware sends.
struct Telemetry {
  telemetry::SensorFrameDecoder decoder;
  std::vector<Frame> frames;
  Ticks first_byte_start = 0;
  std::uint64_t bytes = 0;
  void attach() {
    auto& station = board().ground_station();
    station.set_recording(false);
    station.on_byte = [this](const vboard::GroundStation::Heard& b) {
      if (bytes++ % telemetry::kSensorFrameSize == 0) first_byte_start = b.start;
      if (auto f = decoder.feed(static_cast<std::uint8_t>(b.value))) {
        frames.push_back({first_byte_start, b.end, f->values});
      }
    };
  }
  // Frames follow each other every 5 ms (the encoder read, which comes first
  // in its pass of the main loop, delays one frame in twenty by 31 us, or
  // 62 us after a sensor error; a capture interrupt by a few more).
  void expect_every_5ms(std::size_t at_least) const {
    EXPECT_GE(frames.size(), at_least);
    EXPECT_EQ(decoder.bad_frames(), 0u);
    EXPECT_EQ(decoder.garbage_bytes(), 0u);
    for (std::size_t n = 1; n < frames.size(); ++n) {
      const double gap = vboard::to_us(frames[n].start - frames[n - 1].start);
      EXPECT_NEAR(gap, 5000.0, 80.0) << "between frames " << n - 1 << " and " << n;
    }
  }
};

class System : public ::testing::Test {
 protected:
  void SetUp() override {
    board().reset();
    telemetry.attach();
    works.attach(board());
    board().on_exception_entry = [this](int e, Ticks t) {
      if (e == vboard::kExcIrq0 + TIM6_DAC_IRQn && start_end == 0) start_end = t;
    };
  }
  void TearDown() override {
    const auto& stop = board().stop_info();
    EXPECT_FALSE(stop.stopped_in_handler) << stop.handler;
    EXPECT_FALSE(stop.stalled);
    board().reset();
  }
  static vboard::As5048a& sensor() { return *board().find<vboard::As5048a>(); }
  static vboard::SensorPwm& pwm() { return *board().find<vboard::SensorPwm>(); }

  Telemetry telemetry;
  vboard::WorkMonitor works;
  Ticks start_end = 0;
};

TEST_F(System, WorksComeAtTheirTimesFromTheEndOfStartUp) {
  board().rotor().set(123.0, 0.0, 0);
  auto& spi = board().spi(2);
  board().power_on();
  board().run_for(ms(120));
  ASSERT_GT(start_end, 0u);
  // First frame about 4 ms after start-up ends (the 5th tick), first control
  // work after about 9 ms, first encoder read after about 99 ms.
  ASSERT_FALSE(telemetry.frames.empty());
  EXPECT_NEAR(vboard::to_us(telemetry.frames[0].start - start_end), 4000.0, 20.0);
  ASSERT_FALSE(works.times(vboard::Work::kControl).empty());
  // The 10th tick raises the 5 ms flag too, and the frame goes first.
  EXPECT_NEAR(vboard::to_us(works.times(vboard::Work::kControl)[0] - start_end), 9000.0 + 460.0, 30.0);
  ASSERT_GE(spi.frames().size(), 2u);
  EXPECT_NEAR(vboard::to_us(spi.frames()[0].start - start_end), 99000.0, 30.0);
  EXPECT_EQ(spi.frames().size(), 2u) << "a good read is two frames";
  // The main loop is blocked while the 23 bytes leave: 460 us a frame.
  for (const auto& f : telemetry.frames) EXPECT_NEAR(vboard::to_us(f.end - f.start), 460.0, 1.0);
  telemetry.expect_every_5ms(20);
  // The encoder count and the status LED after the read.
  EXPECT_EQ(error_flag, 0u);
  EXPECT_TRUE(wired::level("status LED"));
}

TEST_F(System, CaptureCountsOfZeroChangeNoAngle) {
  board().rotor().set(100.0, 0.0, 0);
  board().power_on();
  // Change the world between two edges of the sensor's signal, with no
  // capture interrupt in progress.
  board().run_until(ms(60) + us(600));
  const float angle = AbPitchAngle;
  pwm().set_enabled(false);
  auto& tim3 = board().tim(3);
  for (int n = 0; n < 20; ++n) tim3.inject_capture(0, static_cast<std::uint32_t>(n * 7), board().now() + ms(2) * (n + 1));
  board().run_for(ms(60));
  EXPECT_EQ(DutyCycle, 0.0f);
  EXPECT_EQ(Frequency, 0.0f);
  EXPECT_EQ(AbPitchAngle, angle);
  telemetry.expect_every_5ms(20);
}

TEST_F(System, HighTimeLongerThanThePeriodIsSkipped) {
  // No frame of the sensor's has it: the capture carries no angle (the
  // decoder's own reading of it is in the shared vectors).
  board().rotor().set(100.0, 0.0, 0);
  board().power_on();
  board().run_until(ms(60) + us(600));
  const float electrical = ElePitchAngle;
  const std::int32_t theta = MotorAPark.Theta;
  const std::uint32_t decoded = DecodedCaptures;
  pwm().set_enabled(false);
  board().tim(3).inject_capture(10500, 12000, board().now() + ms(1));
  board().run_for(ms(40));
  EXPECT_EQ(IC2Value, 12000u) << "the capture was read";
  EXPECT_EQ(DecodedCaptures, decoded);
  EXPECT_EQ(ElePitchAngle, electrical);
  EXPECT_EQ(MotorAPark.Theta, theta);
  telemetry.expect_every_5ms(15);
}

TEST_F(System, JumpOf200DegreesOrMoreIsTakenAsAWrap) {
  // The rotor jumps from 10 to 260 degrees between two captures: the decoder
  // takes it as a pass downward through zero (a change of -110 degrees).
  board().rotor().set(10.0, 0.0, 0);
  board().power_on();
  board().run_until(ms(60) + us(600));
  const float before = AbPitchAngle;
  board().rotor().set(260.0, 0.0, board().now());
  board().run_for(ms(60));
  EXPECT_NEAR(AbPitchAngle - before, -110.0f, 0.1f);
  // The last frame reports it, in hundredths.
  ASSERT_FALSE(telemetry.frames.empty());
  EXPECT_NEAR(telemetry.frames.back().values[telemetry::kAx] / 100.0, static_cast<double>(AbPitchAngle), 0.5);
  telemetry.expect_every_5ms(20);
}

TEST_F(System, NaNInTheControlChainIsSentAsZeroAndNothingStops) {
  board().rotor().set(45.0, 0.0, 0);
  board().power_on();
  board().run_for(ms(60));
  // A NaN zero offset makes every decoded angle NaN from the next capture on.
  AngleComp = std::numeric_limits<float>::quiet_NaN();
  board().run_for(ms(60));
  EXPECT_TRUE(std::isnan(AbPitchAngle));
  EXPECT_TRUE(std::isnan(MotorAPosition.U)) << "NaN passes the PID's clamp";
  EXPECT_TRUE(std::isnan(MotorASVPWM.UAlpha));
  ASSERT_FALSE(telemetry.frames.empty());
  EXPECT_EQ(telemetry.frames.back().values[telemetry::kAx], 0) << "NaN converts to 0 as on the board";
  telemetry.expect_every_5ms(20);
}

TEST_F(System, SensorRepliesWithBadParityAreFlaggedAndStillUsed) {
  board().rotor().set(90.0, 0.0, 0);
  sensor().set_bad_parity(true);
  board().power_on();
  board().run_for(ms(115));
  EXPECT_EQ(error_flag, 1u);
  EXPECT_TRUE(wired::level("status LED"));
  telemetry.expect_every_5ms(20);
}

TEST_F(System, SensorErrorFlagIsClearedAndTheReadFails) {
  board().rotor().set(90.0, 0.0, 0);
  sensor().set_error_forced(true);
  auto& spi = board().spi(2);
  board().power_on();
  board().run_for(ms(115));
  EXPECT_FALSE(wired::level("status LED")) << "the status LED shows the failed read";
  ASSERT_EQ(spi.frames().size(), 4u);
  EXPECT_EQ(spi.frames()[2].sent, 0x4001u);
  EXPECT_EQ(spi.frames()[3].sent, 0xC000u);
  telemetry.expect_every_5ms(20);
}

TEST_F(System, WithoutASensorTheLoopRunsOnAndReportsTheFailure) {
  sensor().set_absent(true);
  pwm().set_enabled(false);
  board().power_on();
  board().run_for(ms(320));
  EXPECT_FALSE(wired::level("status LED"));
  EXPECT_EQ(PitchAngle, 0.0f) << "a failed read stores count 0";
  EXPECT_EQ(AbPitchAngle, 0.0f) << "no capture ever came";
  EXPECT_EQ(works.runs(vboard::Work::k100ms), 3u);
  telemetry.expect_every_5ms(60);
}

}  // namespace
