// What every fuzz target uses to say that a property does not hold: the
// target's name and the property on stderr, then abort, which libFuzzer and
// the replay runner both report as a failure.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void fail(const char* target, const char* what) {
  std::fprintf(stderr, "%s fuzz: %s\n", target, what);
  std::abort();
}

inline void check(bool ok, const char* target, const char* what) {
  if (!ok) fail(target, what);
}

}  // namespace fuzz
