// Host side of the port: the mirrored address spaces, and what the board's
// start-up code and linker provide. The virtual board fills in the target.
#include "port.h"

extern "C" {
std::uint32_t _estack = 0;  // the host firmware runs on its thread's stack
}

namespace vboard::bus {

Target* target = nullptr;

alignas(64) std::uint8_t periph_space[kPeriphSize];
alignas(64) std::uint8_t core_space[kCoreSize];

std::uintptr_t device_address(const volatile void* host_pointer) {
  const auto* p = static_cast<const volatile std::uint8_t*>(host_pointer);
  if (p >= core_space && p < core_space + kCoreSize) return kCoreBase + static_cast<std::uintptr_t>(p - core_space);
  return kPeriphBase + static_cast<std::uintptr_t>(p - periph_space);
}

}  // namespace vboard::bus
