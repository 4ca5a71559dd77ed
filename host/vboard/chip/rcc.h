// Reset and clock control with the clock tree it drives, the power
// controller and the flash interface.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>

#include "device.h"
#include "vboard/chip/clock_tree.h"
#include "vboard/chip/peripheral.h"

namespace vboard {

// The oscillators as the board has them: whether the crystal starts, and
// how long it and the PLL take.
struct Oscillators {
  bool crystal_fails = false;       // the 24 MHz crystal never starts
  Ticks crystal_startup = us(500);  // time from HSEON to HSERDY
  Ticks pll_lock = us(100);         // time from PLLON to PLLRDY
};

class Rcc : public Peripheral {
 public:
  // Writes the clock tree `tree` (the board's), and tells `changed` when it
  // has changed.
  Rcc(const Context& context, const hw::DeviceRow& row, ClockTree& tree, std::function<void()> changed);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;
  void on_event(int kind) override;

  static constexpr std::uint32_t kHsiHz = vboard::kHsiHz;
  static constexpr std::uint32_t kHseHz = vboard::kHseHz;

  // The live clock tree.
  std::uint32_t sysclk_hz() const { return tree_.sysclk_hz; }
  std::uint32_t hclk_hz() const { return tree_.hclk_hz; }
  std::uint32_t pclk1_hz() const { return tree_.pclk1_hz; }
  std::uint32_t pclk2_hz() const { return tree_.pclk2_hz; }
  // Timer clocks: twice the bus clock when the bus divider is not 1.
  std::uint32_t apb1_timer_hz() const { return tree_.apb1_timer_hz; }

  // The board's oscillators, from the next register write on (a reset
  // leaves them).
  void set_oscillators(const Oscillators& oscillators) { oscillators_ = oscillators; }
  // The crystal fails to start from now on (as Oscillators::crystal_fails,
  // but switched by the fault catalogue): only an HSEON that comes while
  // this is set is affected, so it matters at start-up.
  void set_crystal_fails(bool fails) { crystal_fails_ = fails; }
  bool crystal_fails() const { return crystal_fails_ || oscillators_.crystal_fails; }

  // Switch status: 0 internal oscillator, 1 crystal, 2 PLL.
  unsigned switch_status() const {
    return (reg32(offsetof(RCC_TypeDef, CFGR)) & RCC_CFGR_SWS) >> std::countr_zero(RCC_CFGR_SWS);
  }

 private:
  void update_switch();
  void recompute();  // the clock tree from the registers, then the board is told
  std::uint32_t pll_hz() const;
  ClockTree& tree_;
  std::function<void()> changed_;
  Oscillators oscillators_{};
  bool crystal_fails_ = false;
};

class PwrModel : public Peripheral {
 public:
  using Peripheral::Peripheral;
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
};

class FlashInterface : public Peripheral {
 public:
  using Peripheral::Peripheral;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
};

}  // namespace vboard
