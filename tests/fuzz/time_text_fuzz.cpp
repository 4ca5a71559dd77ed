// Fuzz target for the time texts and gain triples typed on the command line.
// The input is taken as one text (and, from its first 8 bytes, as a number of
// seconds). A time is refused with a TimeError that quotes the text, or is
// finite, 0 or more and at most the longest run; shown back to the user it
// reads as exactly the same time, and shows the same again. Gains are
// refused with std::invalid_argument or are three finite numbers.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "run_options.h"
#include "time_text.h"

namespace {

void check(bool ok, const char* what) { fuzz::check(ok, "time_text", what); }

// A time as the program shows it must read back as that very time.
void check_shown(double seconds) {
  check(std::isfinite(seconds) && seconds >= 0.0 && seconds <= run::kMaxSeconds, "a time out of range");
  const std::string shown = run::format_time(seconds);
  double again = -1.0;
  try {
    again = run::parse_time(shown);
  } catch (const run::TimeError&) {
    fuzz::fail("time_text", "a time as shown is refused when read back");
  }
  check(again == seconds, "a time as shown reads back as another time");
  check(run::format_time(again) == shown, "a time read back is shown differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    check_shown(run::parse_time(text));
  } catch (const run::TimeError& e) {
    // A message is a C string: it can quote a text only up to a NUL (which
    // no command-line argument holds).
    const std::string quoted = "'" + text + "'";
    check(text.find('\0') != std::string::npos || std::string_view(e.what()).find(quoted) != std::string_view::npos,
          "a refusal does not quote the text");
  }

  if (size >= sizeof(double)) {
    double seconds = 0.0;
    std::memcpy(&seconds, data, sizeof seconds);
    try {
      const double checked = run::checked_seconds(seconds);
      check(checked == seconds, "checked seconds changed");
      check_shown(checked);
    } catch (const run::TimeError&) {
      // -0 counts as negative, as "-0s" does.
      check(!(std::isfinite(seconds) && !std::signbit(seconds) && seconds <= run::kMaxSeconds), "a usable time refused");
    }
  }

  try {
    const run::Gains g = run::parse_gains(text);
    check(g.kp && g.ki && g.kd, "gains missing");
    check(std::isfinite(*g.kp) && std::isfinite(*g.ki) && std::isfinite(*g.kd), "gains not finite");
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
