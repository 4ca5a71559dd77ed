// Times typed by users: units, bare seconds, and everything that must be refused.
#include <gtest/gtest.h>

#include <limits>

#include "time_text.h"

namespace {

TEST(TimeText, UnitsAreRequired) {
  EXPECT_DOUBLE_EQ(run::parse_time("500ms"), 0.5);
  EXPECT_DOUBLE_EQ(run::parse_time("1.5s"), 1.5);
  EXPECT_DOUBLE_EQ(run::parse_time("250us"), 250e-6);
  EXPECT_DOUBLE_EQ(run::parse_time(" 2 s "), 2.0);
  EXPECT_DOUBLE_EQ(run::parse_time("0s"), 0.0);
  EXPECT_DOUBLE_EQ(run::parse_time("1e3ms"), 1.0);
  EXPECT_DOUBLE_EQ(run::parse_time("1000000s"), run::kMaxSeconds);
}

// Each of these once gave a bogus duration or an unexplained "stod".
TEST(TimeText, RefusesWhatIsNotAUsableTime) {
  for (const char* text : {"abc", "", "s", "ms5", "1.5 sec", "1h", "inf", "infs", "nan", "-1s", "-0", "1e12s",
                           "1e20s", "1e400", "1,5s", "0x10s", "1e7"}) {
    EXPECT_THROW(run::parse_time(text), run::TimeError) << text;
  }
  // A bare number could be meant in any unit: the refusal offers them.
  try {
    run::parse_time("1.5");
    ADD_FAILURE() << "1.5 without a unit was taken";
  } catch (const run::TimeError& e) {
    EXPECT_STREQ(e.what(), "'1.5' has no unit: write 1.5s, 1.5ms or 1.5us");
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

// Shown back in messages ("... is not before the end of the run (--duration
// ...)"), a time must read as the time it is: six digits once showed two
// different times alike, and "1000 us" for a time just under 1 ms.
TEST(TimeText, ShownTimesReadBackAsTheSameTime) {
  EXPECT_EQ(run::format_time(1.5), "1.5 s");
  EXPECT_EQ(run::format_time(0.25), "250 ms");
  EXPECT_EQ(run::format_time(250e-6), "250 us");
  EXPECT_EQ(run::format_time(0.0), "0 s");
  EXPECT_EQ(run::format_time(1.2345671), "1.2345671 s");
  for (double t : {1.2345671, 1.2345679, 0.3333333333333333, 1e-3 - 5e-10, 999999.99999999, 0.0015, 7e-9,
                   4.9406564584124654e-324, 1e-300}) {
    EXPECT_EQ(run::parse_time(run::format_time(t)), t) << run::format_time(t);
  }
}

// A time too small for a double is 0, not "too large".
TEST(TimeText, TimesBelowTheSmallestNumberAreZero) {
  EXPECT_EQ(run::parse_time("1e-400s"), 0.0);
  EXPECT_EQ(run::parse_time("1e-400 ms"), 0.0);
}

}  // namespace
