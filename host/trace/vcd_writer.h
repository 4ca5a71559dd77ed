// A Value Change Dump of 1-bit signals over a window of virtual time, at
// nanosecond resolution, for GTKWave and PulseView.
//
// Changes may be recorded in any order across signals (a serial frame's
// edges arrive when the frame is known, after pin changes that happened
// during it); each signal's own changes must come in time order. Only the
// window [from, to) is written: the level of every signal at `from` goes
// into $dumpvars, changes at or after `to` are dropped. The number of
// changes held is bounded: past the bound the dump is cut at the latest
// change time held, so it covers [from, cut) completely, and the header
// says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trace {

using Ns = std::uint64_t;

// `count` periods of a clock of `per_second` Hz in nanoseconds, rounded
// half up, exactly. Throws std::invalid_argument for a rate of 0 and
// std::out_of_range past 2^64 ns (some 584 years).
Ns to_ns(std::uint64_t count, std::uint64_t per_second);

// The board's virtual time: 336 million ticks a second.
inline constexpr std::uint64_t kTicksPerSecond = 336'000'000u;
inline Ns ticks_to_ns(std::uint64_t ticks) { return to_ns(ticks, kTicksPerSecond); }

struct Window {
  Ns from = 0;
  Ns to = 0;  // excluded
};

class VcdWriter {
 public:
  using Signal = std::uint32_t;

  // About 24 MB held and a file of about 15 MB at the bound.
  static constexpr std::size_t kDefaultMaxChanges = 1'000'000;

  // Throws std::invalid_argument when the window is empty or the bound is 0.
  explicit VcdWriter(Window window, std::size_t max_changes = kDefaultMaxChanges);

  // Declares a 1-bit wire `name` in module `scope`, at `initial` until its
  // first change. Names and scopes are printable ASCII without spaces and
  // do not start with '$'. Throws std::invalid_argument on a bad or repeated
  // name.
  Signal wire(std::string_view scope, std::string_view name, bool initial);

  // `signal` takes `level` at `t`. A change to the level it already has is
  // ignored. Throws std::invalid_argument for an unknown signal or a time
  // before that signal's previous change.
  void change(Signal signal, Ns t, bool level);

  // The level after the last change recorded for `signal`.
  bool level(Signal signal) const;

  const Window& window() const { return window_; }
  // Where the bound cut the dump, if it did.
  std::optional<Ns> cut() const { return cut_; }
  // Where the dump ends: the window's end or the cut.
  Ns end() const { return cut_.value_or(window_.to); }
  // Changes held for the file (at most the bound).
  std::size_t held() const { return changes_.size(); }

  // The dump's text into `out`; false when a write failed.
  bool write(std::FILE* out) const;
  // The dump into `path` through an atomic file: the path shows either the
  // whole dump or what stood there before. Throws std::runtime_error naming
  // the path when it cannot be written.
  void write(const std::string& path) const;

 private:
  struct Wire {
    std::string scope;
    std::string name;
    std::string code;  // the dump's short identifier
    bool at_from;      // level at the window's start
    bool last;         // level after the last change recorded
    Ns last_time = 0;
  };
  struct Change {
    Ns time;
    std::uint64_t order;  // recording order: the later of two at one time wins
    Signal signal;
    bool level;
  };
  Wire& at(Signal signal);
  void drop_latest();

  Window window_;
  std::size_t max_changes_;
  std::optional<Ns> cut_;
  std::vector<Wire> wires_;
  std::vector<Change> changes_;  // a max-heap on (time, order)
  std::uint64_t recorded_ = 0;
};

}  // namespace trace
