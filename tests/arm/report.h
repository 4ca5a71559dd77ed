// Checks for the images that run on the emulated core: every result is
// compared bit for bit with its expectation, and a mismatch is printed with
// its case and both bit patterns. Output goes out through semihosting.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace armtest {

struct Hex {
  std::uint64_t value;
  int digits;
};
struct Dec {
  std::int64_t value;
};

// An unsigned value in hexadecimal, two digits per byte of its type.
template <std::unsigned_integral T>
Hex hex(T v) {
  return {static_cast<std::uint64_t>(v), static_cast<int>(2 * sizeof(T))};
}
inline Dec dec(std::int64_t v) { return {v}; }

// One line of text, assembled in a fixed buffer and written as a whole.
class Line {
 public:
  Line& operator<<(const char* text);
  Line& operator<<(Hex h);
  Line& operator<<(Dec d);
  // Appends the newline and writes the line.
  void flush();
  const char* text() const { return buffer_; }

 private:
  void put(char c);
  char buffer_[160] = {};
  std::size_t length_ = 0;
};

// The bit pattern of a result, as the mismatch report prints it.
template <typename T>
Hex bits(T value) {
  if constexpr (std::same_as<T, float>) {
    return hex(std::bit_cast<std::uint32_t>(value));
  } else if constexpr (std::same_as<T, double>) {
    return hex(std::bit_cast<std::uint64_t>(value));
  } else if constexpr (sizeof(T) == 1) {
    return hex(static_cast<std::uint8_t>(value));
  } else if constexpr (sizeof(T) == 2) {
    return hex(static_cast<std::uint16_t>(value));
  } else if constexpr (sizeof(T) == 4) {
    return hex(static_cast<std::uint32_t>(value));
  } else {
    return hex(static_cast<std::uint64_t>(value));
  }
}

// Bit-identical equality: +0 and -0 differ, a NaN equals only the same NaN.
template <typename T>
bool same_bits(T got, T want) {
  if constexpr (std::same_as<T, float>) {
    return std::bit_cast<std::uint32_t>(got) == std::bit_cast<std::uint32_t>(want);
  } else if constexpr (std::same_as<T, double>) {
    return std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want);
  } else {
    return got == want;
  }
}

// A group of checks under one name. A mismatch prints
//   MISMATCH <group> case <n> [<label>] <field>: got 0x... want 0x...
// (the first few of each group; all are counted).
class Group {
 public:
  explicit Group(const char* name);
  ~Group();
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

  // Names the case the next checks belong to (printed with a mismatch).
  void at(int index, const char* label = nullptr) {
    index_ = index;
    label_ = label;
  }

  int index() const { return index_; }
  const char* label() const { return label_; }

  // A check whose comparison is already made: counted, and reported with
  // both values when it failed.
  bool expect(const char* field, bool ok, Hex got, Hex want) {
    ++checks_;
    if (!ok) {
      report(field, got.value, want.value, got.digits > want.digits ? got.digits : want.digits);
    }
    return ok;
  }

  // The expectation takes the result's type.
  template <typename T>
  bool equal(const char* field, T got, std::type_identity_t<T> want) {
    ++checks_;
    if (same_bits(got, want)) {
      return true;
    }
    const Hex g = bits(got);
    report(field, g.value, bits(want).value, g.digits);
    return false;
  }

  // Byte sequences: length first, then every byte (the first difference is
  // reported with its position).
  bool bytes(const char* field, const std::uint8_t* got, std::size_t got_length, const std::uint8_t* want,
             std::size_t want_length);

  int checks() const { return checks_; }
  int mismatches() const { return mismatches_; }

 private:
  // Out of line, with plain arguments: the checks stay small on the stack.
  [[gnu::noinline]] void report(const char* field, std::uint64_t got, std::uint64_t want, int digits);
  const char* name_;
  int index_ = -1;
  const char* label_ = nullptr;
  int checks_ = 0;
  int mismatches_ = 0;
};

// The group of the case that is running, if any (set by the case runner).
Group* running_group();
void set_running_group(Group* group);

// Puts every firmware global back to its initial value, as the start-up
// code does after reset (the report's own counts and the running case
// survive).
void power_on_state();

// Prints the summary line and returns the exit status: 0 when every check
// passed, 1 otherwise.
int finish(const char* image);

}  // namespace armtest
