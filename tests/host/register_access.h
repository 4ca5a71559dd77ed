// Register access for tests, as a debugger sees the registers: no virtual
// time, no side effect on the models.
#pragma once

#include <cstdint>

#include "device.h"
#include "vboard/board/board.h"

namespace test_registers {

inline std::uint32_t peek32(std::uintptr_t a) { return vboard::board().peek(a, 4); }
inline std::uint32_t peek16(std::uintptr_t a) { return vboard::board().peek(a, 2); }
inline std::uint32_t peek8(std::uintptr_t a) { return vboard::board().peek(a, 1); }
inline void poke32(std::uintptr_t a, std::uint32_t v) { vboard::board().poke(a, v, 4); }
inline void poke16(std::uintptr_t a, std::uint32_t v) { vboard::board().poke(a, v, 2); }

inline constexpr std::uintptr_t kRccCr = RCC_BASE + offsetof(RCC_TypeDef, CR);
inline constexpr std::uintptr_t kRccPllcfgr = RCC_BASE + offsetof(RCC_TypeDef, PLLCFGR);
inline constexpr std::uintptr_t kRccCfgr = RCC_BASE + offsetof(RCC_TypeDef, CFGR);
inline constexpr std::uintptr_t kRccAhb1enr = RCC_BASE + offsetof(RCC_TypeDef, AHB1ENR);
inline constexpr std::uintptr_t kRccApb1enr = RCC_BASE + offsetof(RCC_TypeDef, APB1ENR);
inline constexpr std::uintptr_t kRccApb2enr = RCC_BASE + offsetof(RCC_TypeDef, APB2ENR);

}  // namespace test_registers
