// The list of shared cases and their runner on the emulated core.
#include "test_case.h"

#include <cstddef>
#include <initializer_list>

namespace armtest {
namespace {

// Zeroed at every start-up, then filled by the cases' constructors.
constexpr std::size_t kMaxTests = 48;
const TestEntry* g_tests[kMaxTests];
std::size_t g_test_count;
bool g_overflow;

}  // namespace

Registrar::Registrar(const TestEntry* entry) {
  if (g_test_count < kMaxTests) {
    g_tests[g_test_count++] = entry;
  } else {
    g_overflow = true;
  }
}

Group& current() { return *running_group(); }

void run_tests() {
  {
    // A case that does not fit the list must not pass unnoticed.
    Group group("cases");
    group.at(-1, "listed");
    group.equal("every case listed", g_overflow, false);
  }
  // The count is read again at each turn: a case may restart the run-time
  // state, which lists the same cases again.
  for (std::size_t n = 0; n < g_test_count; ++n) {
    const TestEntry* entry = g_tests[n];
    char name[80];
    std::size_t i = 0;
    for (const char* part : {entry->suite, ".", entry->name}) {
      for (const char* c = part; *c != '\0' && i + 1 < sizeof name; ++c) {
        name[i++] = *c;
      }
    }
    name[i] = '\0';
    Group group(name);
    set_running_group(&group);
    entry->body();
    set_running_group(nullptr);
  }
}

}  // namespace armtest
