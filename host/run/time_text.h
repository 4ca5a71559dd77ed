// Times typed by a user, on the command line or in a scenario file: a number
// with a unit ("500ms", "1.5s", "250us"). A bare number is refused: "1.5"
// could be meant in any unit.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace run {

// Longest time a run may last or an event may lie in the future. Far beyond
// any useful run, and small enough that every time converts to the virtual
// board's clock ticks without overflow.
inline constexpr double kMaxSeconds = 1e6;

struct TimeError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Seconds, finite, 0 or more and at most kMaxSeconds, from a number with a
// unit; anything else throws TimeError with a message that quotes the text.
double parse_time(std::string_view text);

// A number of seconds given as a number; the same checks as parse_time.
double checked_seconds(double seconds);

// A number of seconds as it is shown back to the user: "1.5 s", "250 ms".
std::string format_time(double seconds);

}  // namespace run
