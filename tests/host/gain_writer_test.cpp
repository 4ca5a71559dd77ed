// Gains written into the firmware's RAM after reset, as a debugger would:
// in force from the first control work, and gone again at the next reset.
#include <gtest/gtest.h>

#include "gain_writer.h"
#include "global_variable.h"
#include "vboard/board/board.h"
#include "vboard/parts/rotor.h"
#include "work_monitor.h"

namespace {

using vboard::board;
using vboard::ms;
using vboard::Ticks;

class GainWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    board().reset();
    board().rotor().set(30.0, 0.0, 0);  // off the setpoint: the loop has an error to act on
  }
  void TearDown() override { board().reset(); }
};

TEST_F(GainWriter, GainsRuleFromTheFirstControlWorkAndTheImageKeepsItsOwn) {
  int entries = 0;
  board().on_exception_entry = [&](int, Ticks) { ++entries; };
  Ticks written = 0;
  vboard::write_gains_after_reset(board(), {0.05, 0.0, 0.0}, [&](Ticks t) { written = t; });
  vboard::WorkMonitor works;
  works.attach(board());
  board().power_on();
  board().run_for(ms(100));

  ASSERT_GT(written, 0);
  ASSERT_FALSE(works.times(vboard::Work::kControl).empty());
  EXPECT_LT(written, works.times(vboard::Work::kControl).front());
  EXPECT_GT(entries, 100) << "the observer set before keeps seeing every entry";
  EXPECT_EQ(MotorAPosition.Kp, 0.05f);
  EXPECT_EQ(MotorAPosition.Ki, 0.0f);
  EXPECT_EQ(MotorAPosition.Kd, 0.0f);
  // The start-up code did not undo the write: the last step used these gains.
  ASSERT_NE(MotorAPosition.E, 0.0f);
  EXPECT_EQ(MotorAPosition.U, 0.05f * MotorAPosition.E);

  board().reset();
  EXPECT_EQ(MotorAPosition.Kp, 0.26f);
  EXPECT_EQ(MotorAPosition.Ki, 0.04f);
  EXPECT_EQ(MotorAPosition.Kd, 0.06f);
}

TEST_F(GainWriter, UnsetGainsKeepTheImagesValues) {
  vboard::write_gains_after_reset(board(), {0.5, std::nullopt, std::nullopt});
  board().power_on();
  board().run_for(ms(20));
  EXPECT_EQ(MotorAPosition.Kp, 0.5f);
  EXPECT_EQ(MotorAPosition.Ki, 0.04f);
  EXPECT_EQ(MotorAPosition.Kd, 0.06f);
}

}  // namespace
