// Host port: the same register expressions as on the board, routed to the
// virtual board. A register is a small object laid out exactly like the
// hardware register; reading it or assigning to it calls the board, which
// applies the peripheral's side effects and advances virtual time.
#pragma once

#include <cstdint>

#include "memory_map.h"

namespace vboard::bus {

// What serves the firmware's register accesses, sync points and start-up:
// the virtual board installs itself here before any firmware code runs. The
// firmware's host library knows the board only through this.
class Target {
 public:
  virtual std::uint32_t read(const void* reg, unsigned width) = 0;
  virtual void write(void* reg, std::uint32_t value, unsigned width) = 0;
  virtual void spin_point() = 0;
  virtual void count_passes(std::uint32_t passes) = 0;
  virtual void runtime_init() = 0;

 protected:
  ~Target() = default;
};
extern Target* target;

inline std::uint32_t read(const void* reg, unsigned width) { return target->read(reg, width); }
inline void write(void* reg, std::uint32_t value, unsigned width) { target->write(reg, value, width); }

// The device's peripheral space (up to the flash interface) and the core's
// system control space, mirrored in host memory.
inline constexpr std::uintptr_t kPeriphBase = PERIPH_BASE;
inline constexpr std::uintptr_t kPeriphSize = 0x00024000u;
inline constexpr std::uintptr_t kCoreBase = SCS_BASE;
inline constexpr std::uintptr_t kCoreSize = 0x00001000u;
extern std::uint8_t periph_space[kPeriphSize];
extern std::uint8_t core_space[kCoreSize];

// Only addresses inside the two mirrored spaces are ever passed.
inline void* host_address(std::uintptr_t device_address) {
  return device_address >= kCoreBase ? core_space + (device_address - kCoreBase)
                                     // cppcheck-suppress pointerOutOfBoundsCond
                                     : periph_space + (device_address - kPeriphBase);
}
std::uintptr_t device_address(const volatile void* host_pointer);
inline void spin_point() { target->spin_point(); }
inline void count_passes(std::uint32_t passes) { target->count_passes(passes); }
}  // namespace vboard::bus

namespace port {

template <typename T>
// cppcheck-suppress noConstructor ; the board's models own the backing store
class Reg {
 public:
  Reg& operator=(T value) {
    vboard::bus::write(this, value, sizeof(T));
    return *this;
  }
  // Copying one register into another is a read of the one and a write of the
  // other, also when both are the same register, as on the board.
  Reg& operator=(const Reg& other) { return *this = static_cast<T>(other); }  // NOLINT(cert-oop54-cpp)
  operator T() const { return static_cast<T>(vboard::bus::read(this, sizeof(T))); }

 private:
  T storage_;  // the register's backing store, owned by the board's models
};

static_assert(sizeof(Reg<std::uint32_t>) == 4 && alignof(Reg<std::uint32_t>) == 4);
static_assert(sizeof(Reg<std::uint16_t>) == 2 && sizeof(Reg<std::uint8_t>) == 1);

template <typename Block>
inline Block* block_at(std::uintptr_t address) {
  return static_cast<Block*>(vboard::bus::host_address(address));
}

template <typename T>
inline Reg<T>& reg_at(std::uintptr_t address) {
  return *static_cast<Reg<T>*>(vboard::bus::host_address(address));
}

inline std::uintptr_t address_of(const volatile void* p) { return vboard::bus::device_address(p); }

// A sync point: pending interrupts are taken here, and an idle loop lets
// virtual time skip ahead to the next event.
inline void spin_point() { vboard::bus::spin_point(); }

// The delay loop costs on the virtual board what it costs on the core at the
// clock then in force; interrupts that fall inside it are delivered.
inline void count_passes(std::uint32_t passes) { vboard::bus::count_passes(passes); }

inline void runtime_init() { vboard::bus::target->runtime_init(); }

}  // namespace port
