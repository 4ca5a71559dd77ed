#include "time_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace run {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

[[noreturn]] void bad(std::string_view text, const char* why) {
  throw TimeError("'" + std::string(text) + "' " + why);
}

}  // namespace

double parse_time(std::string_view text) {
  const std::string_view s = trim(text);
  double value = 0.0;
  // from_chars also takes "inf" and "nan"; those are caught below.
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec == std::errc::result_out_of_range) bad(text, "is too large a time");
  if (ec != std::errc{}) bad(text, "is not a time: expected a number with a unit s, ms or us, e.g. 500ms or 1.5s");
  const std::string_view unit = trim(s.substr(static_cast<std::size_t>(end - s.data())));
  double scale = 1.0;
  if (unit == "ms") {
    scale = 1e-3;
  } else if (unit == "us") {
    scale = 1e-6;
  } else if (!unit.empty() && unit != "s") {
    bad(text, "has an unknown time unit: use s, ms or us");
  }
  if (!std::isfinite(value)) bad(text, "is not a finite time");
  if (std::signbit(value)) bad(text, "is a negative time");
  const double seconds = value * scale;
  if (seconds > kMaxSeconds) bad(text, "is longer than the longest run, 1000000 s");
  return seconds;
}

double checked_seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  if (!std::isfinite(seconds)) bad(text, "is not a finite time");
  if (std::signbit(seconds)) bad(text, "is a negative time");
  if (seconds > kMaxSeconds) bad(text, "is longer than the longest run, 1000000 s");
  return seconds;
}

std::string format_time(double seconds) {
  char buf[48];
  if (seconds != 0.0 && seconds < 1e-3) {
    std::snprintf(buf, sizeof buf, "%g us", seconds * 1e6);
  } else if (seconds != 0.0 && seconds < 1.0) {
    std::snprintf(buf, sizeof buf, "%g ms", seconds * 1e3);
  } else {
    std::snprintf(buf, sizeof buf, "%g s", seconds);
  }
  return buf;
}

}  // namespace run
