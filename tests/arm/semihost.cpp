#include "semihost.h"

#include <cstdint>

namespace semihost {
namespace {

constexpr int SYS_WRITE0 = 0x04;
constexpr int SYS_EXIT_EXTENDED = 0x20;
constexpr std::uint32_t ADP_Stopped_ApplicationExit = 0x20026;

// The Thumb semihosting trap: operation in r0, argument block in r1, result
// back in r0.
int call(int operation, const void* argument) {
  register int r0 asm("r0") = operation;
  register const void* r1 asm("r1") = argument;
  asm volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
  return r0;
}

}  // namespace

void write0(const char* text) { (void)call(SYS_WRITE0, text); }

void exit(int status) {
  // SYS_EXIT on a 32-bit core only tells success from failure; the extended
  // call passes the whole code.
  const std::uint32_t block[2] = {ADP_Stopped_ApplicationExit, static_cast<std::uint32_t>(status)};
  (void)call(SYS_EXIT_EXTENDED, block);
  for (;;) {
    asm volatile("" ::: "memory");
  }
}

}  // namespace semihost
