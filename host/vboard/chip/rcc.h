// Reset and clock control with the clock tree it drives, the power
// controller and the flash interface.
#pragma once

#include <bit>
#include <cstdint>

#include "device.h"
#include "vboard/sim/peripheral.h"

namespace vboard {

class Rcc : public Peripheral {
 public:
  Rcc(Board& board, const hw::DeviceRow& row);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;
  void on_event(int kind) override;

  static constexpr std::uint32_t kHsiHz = 16'000'000;
  static constexpr std::uint32_t kHseHz = 24'000'000;

  // The live clock tree.
  std::uint32_t sysclk_hz() const { return sysclk_; }
  std::uint32_t hclk_hz() const { return hclk_; }
  std::uint32_t pclk1_hz() const { return pclk1_; }
  std::uint32_t pclk2_hz() const { return pclk2_; }
  // Timer clocks: twice the bus clock when the bus divider is not 1.
  std::uint32_t apb1_timer_hz() const;
  Ticks hclk_period() const;
  Ticks pclk1_period() const;
  Ticks pclk2_period() const;
  Ticks apb1_timer_period() const;

  // The crystal fails to start from now on (as BoardConfig::crystal_fails,
  // but switched by the fault catalogue): only an HSEON that comes while
  // this is set is affected, so it matters at start-up.
  void set_crystal_fails(bool fails) { crystal_fails_ = fails; }
  bool crystal_fails() const { return crystal_fails_ || board_config_crystal_fails(); }

  // Switch status: 0 internal oscillator, 1 crystal, 2 PLL.
  unsigned switch_status() const {
    return (reg32(offsetof(RCC_TypeDef, CFGR)) & RCC_CFGR_SWS) >> std::countr_zero(RCC_CFGR_SWS);
  }

 private:
  void update_switch();
  void recompute();  // the clock tree from the registers, then the board is told
  std::uint32_t pll_hz() const;
  bool board_config_crystal_fails() const;
  bool crystal_fails_ = false;
  std::uint32_t sysclk_ = kHsiHz, hclk_ = kHsiHz, pclk1_ = kHsiHz, pclk2_ = kHsiHz;
};

class PwrModel : public Peripheral {
 public:
  PwrModel(Board& board, const hw::DeviceRow& row);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
};

class FlashInterface : public Peripheral {
 public:
  FlashInterface(Board& board, const hw::DeviceRow& row);
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
};

}  // namespace vboard
