// Times typed by users: units, bare seconds, and everything that must be refused.
#include <gtest/gtest.h>

#include <limits>

#include "time_text.h"

namespace {

TEST(TimeText, UnitsAndBareSeconds) {
  EXPECT_DOUBLE_EQ(run::parse_time("500ms"), 0.5);
  EXPECT_DOUBLE_EQ(run::parse_time("1.5s"), 1.5);
  EXPECT_DOUBLE_EQ(run::parse_time("250us"), 250e-6);
  EXPECT_DOUBLE_EQ(run::parse_time("3"), 3.0);
  EXPECT_DOUBLE_EQ(run::parse_time(" 2 s "), 2.0);
  EXPECT_DOUBLE_EQ(run::parse_time("0"), 0.0);
  EXPECT_DOUBLE_EQ(run::parse_time("1e3ms"), 1.0);
  EXPECT_DOUBLE_EQ(run::parse_time("1000000s"), run::kMaxSeconds);
}

// Each of these once gave a bogus duration or an unexplained "stod".
TEST(TimeText, RefusesWhatIsNotAUsableTime) {
  for (const char* text : {"abc", "", "s", "ms5", "1.5 sec", "1h", "inf", "infs", "nan", "-1s", "-0", "1e12s",
                           "1e20s", "1e400", "1,5s", "0x10s", "1e7"}) {
    EXPECT_THROW(run::parse_time(text), run::TimeError) << text;
  }
  try {
    run::parse_time("abc");
  } catch (const run::TimeError& e) {
    EXPECT_NE(std::string(e.what()).find("'abc'"), std::string::npos) << e.what();
  }
}

TEST(TimeText, SecondsAsNumbersFollowTheSameRules) {
  EXPECT_DOUBLE_EQ(run::checked_seconds(0.25), 0.25);
  EXPECT_THROW(run::checked_seconds(-0.5), run::TimeError);
  EXPECT_THROW(run::checked_seconds(1e12), run::TimeError);
  EXPECT_THROW(run::checked_seconds(std::numeric_limits<double>::quiet_NaN()), run::TimeError);
}

}  // namespace
