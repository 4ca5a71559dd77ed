#include "time_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Too large, or so small that the nearest number is 0 ("1e-400s"); from
    // _chars tells neither apart nor gives the value, strtod does.
    value = std::strtod(std::string(s.substr(0, static_cast<std::size_t>(end - s.data()))).c_str(), nullptr);
    if (std::isinf(value)) bad(text, "is too large a time");
    ec = std::errc{};
  }
  if (ec != std::errc{}) bad(text, "is not a time: expected a number with a unit s, ms or us, e.g. 500ms or 1.5s");
  const std::string_view unit = trim(s.substr(static_cast<std::size_t>(end - s.data())));
  if (!std::isfinite(value)) bad(text, "is not a finite time");
  if (std::signbit(value)) bad(text, "is a negative time");
  double scale = 1.0;
  if (unit == "ms") {
    scale = 1e-3;
  } else if (unit == "us") {
    scale = 1e-6;
  } else if (unit.empty()) {
    // "1.5" could mean seconds or milliseconds: the reader must say which.
    const std::string n(s);
    throw TimeError("'" + std::string(text) + "' has no unit: write " + n + "s, " + n + "ms or " + n + "us");
  } else if (unit != "s") {
    bad(text, "has an unknown time unit: use s, ms or us");
  }
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
  // As parse_time reads the unit back, and its inverse for showing.
  double scale = 1.0;
  double per_second = 1.0;
  const char* unit = "s";
  if (seconds != 0.0 && seconds < 1e-3) {
    scale = 1e-6;
    per_second = 1e6;
    unit = "us";
  } else if (seconds != 0.0 && seconds < 1.0) {
    scale = 1e-3;
    per_second = 1e3;
    unit = "ms";
  }
  char buf[48];
  if (!std::isfinite(seconds)) {
    std::snprintf(buf, sizeof buf, "%g s", seconds);
    return buf;
  }
  // Six significant digits, or as many more as it takes for the text to read
  // back as this very time: "1 s is not before the end of the run (1 s)"
  // must not happen when the two differ in the seventh digit.
  const double shown = seconds * per_second;
  for (int digits = 6; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g %s", digits, shown, unit);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(buf, buf + std::strlen(buf), value);
    if (ec == std::errc{} && value * scale == seconds) return buf;
  }
  // In seconds, 17 digits always read back exactly.
  std::snprintf(buf, sizeof buf, "%.17g s", seconds);
  return buf;
}

}  // namespace run
