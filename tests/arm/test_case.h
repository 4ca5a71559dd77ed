// The case macros of the shared test sources, for the images that run on the
// emulated Cortex-M4: the same TEST, EXPECT_* and SCOPED_TRACE texts that the
// host build compiles against GoogleTest, here reported through the
// semihosting report. Each TEST is one group named "Suite.Name"; a mismatch
// prints the innermost trace as the case (a number as its index, a text as
// its label) with both values' bit patterns.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <functional>
#include <type_traits>

#include "report.h"

namespace armtest {

struct TestEntry {
  const char* suite;
  const char* name;
  void (*body)();
};

// Static constructors list the cases in link order; they run again at every
// power_on_state, on a list zeroed before, so the list stays the same.
struct Registrar {
  explicit Registrar(const TestEntry* entry);
};

// Runs every listed case, each as its own group.
void run_tests();

// The group of the running case.
Group& current();

// A trace names the case of the checks inside its scope.
class Trace {
 public:
  explicit Trace(const char* label) : index_(current().index()), label_(current().label()) {
    current().at(index_, label);
  }
  template <std::integral T>
  explicit Trace(T index) : index_(current().index()), label_(current().label()) {
    current().at(static_cast<int>(index), label_);
  }
  ~Trace() { current().at(index_, label_); }
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

 private:
  int index_;
  const char* label_;
};

// A value as the report prints it: integers and enumerations in the width
// of the wider of the two operands, floating point as its bit pattern.
template <typename T>
Hex shown(T value) {
  if constexpr (std::is_enum_v<T>) {
    return bits(static_cast<std::underlying_type_t<T>>(value));
  } else if constexpr (std::same_as<T, bool>) {
    return hex(static_cast<std::uint8_t>(value));
  } else {
    return bits(value);
  }
}

template <typename A, typename B>
using Common = std::conditional_t<std::is_enum_v<A> || std::is_enum_v<B>, std::int64_t, std::common_type_t<A, B>>;

// Compares as the host's GoogleTest does (operator== on the common type, so
// +0 equals -0 and a NaN equals nothing).
template <typename Op, typename A, typename B>
bool compare(const char* field, A got, B want, Op op) {
  using C = Common<A, B>;
  const C g = static_cast<C>(got);
  const C w = static_cast<C>(want);
  return current().expect(field, op(g, w), shown(g), shown(w));
}

// Float results against a shared table's bit pattern: an expected NaN
// matches any NaN (payloads differ between FPUs), the rest bit for bit.
inline bool same_float_bits(const char* field, float got, std::uint32_t want) {
  constexpr std::uint32_t kAnyNaN = 0x7FC00000u;
  const std::uint32_t got_bits = std::bit_cast<std::uint32_t>(got);
  const bool ok = want == kAnyNaN ? got != got : got_bits == want;
  return current().expect(field, ok, hex(got_bits), hex(want));
}

}  // namespace armtest

#define ARMTEST_CAT2(a, b) a##b
#define ARMTEST_CAT(a, b) ARMTEST_CAT2(a, b)

#define TEST(suite, name)                                                                        \
  static void suite##_##name##_body();                                                           \
  static constexpr ::armtest::TestEntry suite##_##name##_entry{#suite, #name, &suite##_##name##_body}; \
  static const ::armtest::Registrar suite##_##name##_registrar{&suite##_##name##_entry};        \
  static void suite##_##name##_body()

#define SCOPED_TRACE(what) const ::armtest::Trace ARMTEST_CAT(armtest_trace_, __LINE__)(what)

#define ARMTEST_CMP(got, want, op, text) ::armtest::compare(#got text #want, (got), (want), op{})
#define EXPECT_EQ(got, want) ::armtest::compare(#got, (got), (want), std::equal_to<>{})
#define EXPECT_NE(got, want) ARMTEST_CMP(got, want, std::not_equal_to<>, " != ")
#define EXPECT_LT(got, want) ARMTEST_CMP(got, want, std::less<>, " < ")
#define EXPECT_LE(got, want) ARMTEST_CMP(got, want, std::less_equal<>, " <= ")
#define EXPECT_GT(got, want) ARMTEST_CMP(got, want, std::greater<>, " > ")
#define EXPECT_GE(got, want) ARMTEST_CMP(got, want, std::greater_equal<>, " >= ")
#define EXPECT_TRUE(cond) ::armtest::compare(#cond, static_cast<bool>(cond), true, std::equal_to<>{})
#define EXPECT_FALSE(cond) ::armtest::compare(#cond, static_cast<bool>(cond), false, std::equal_to<>{})
#define EXPECT_BITS(got, want) ::armtest::same_float_bits(#got, (got), (want))

// A failed assertion ends the case, as on the host.
#define ASSERT_EQ(got, want) \
  if (!EXPECT_EQ(got, want)) return
#define ASSERT_TRUE(cond) \
  if (!EXPECT_TRUE(cond)) return
