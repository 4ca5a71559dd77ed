// Timer model: the time base (prescaler with its preload, auto-reload with
// optional preload, the counter, the update event and its flag, the
// write-0-to-clear status register, DIER and the interrupt line) shared by
// the basic timers (TIM6) and the general-purpose ones (TIM2, TIM3, TIM5).
#pragma once

#include <cstdint>
#include <functional>

#include "vboard/peripheral.h"

namespace vboard {

class Timer : public Peripheral {
 public:
  Timer(Board& board, int number);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;
  void on_event(int kind) override;
  void clocks_changed() override;

  int number() const { return number_; }
  bool basic() const { return number_ == 6 || number_ == 7; }
  bool wide() const { return number_ == 2 || number_ == 5; }  // 32-bit counter
  int irq() const;

  // Observations for tests.
  bool running() const { return (reg16(kCR1) & 1u) != 0; }
  std::uint32_t counter() const;
  std::uint32_t prescaler() const { return psc_active_; }
  std::uint32_t auto_reload() const { return arr_active_; }
  Ticks count_period() const { return count_tick_; }   // one counter step
  Ticks update_period() const;                          // between two update events
  std::uint64_t updates() const { return updates_; }
  // Called at every update event (after the flag is raised).
  std::function<void(Ticks)> on_update;

  static constexpr std::uint32_t kCR1 = 0x00, kCR2 = 0x04, kSMCR = 0x08, kDIER = 0x0C, kSR = 0x10, kEGR = 0x14,
                                 kCCMR1 = 0x18, kCCMR2 = 0x1C, kCCER = 0x20, kCNT = 0x24, kPSC = 0x28, kARR = 0x2C,
                                 kCCR1 = 0x34, kCCR2 = 0x38, kCCR3 = 0x3C, kCCR4 = 0x40;

 protected:
  // The counter holds `count` now; later steps follow from the clock.
  void restart_at(std::uint32_t count);
  void update_event(bool from_overflow);
  void update_irq_line();
  std::uint32_t counter_mask() const { return wide() ? 0xFFFFFFFFu : 0xFFFFu; }
  void set_status(std::uint16_t bits);

  enum EventKind { kUpdate = 0, kExtensionBase = 8 };

 private:
  void schedule_update();
  int number_;
  std::uint32_t psc_active_ = 0;
  std::uint32_t arr_active_ = 0;
  std::uint32_t arr_preload_ = 0;
  Ticks count_tick_ = 0;
  Ticks origin_ = 0;
  std::uint32_t origin_count_ = 0;
  std::uint64_t updates_ = 0;
};

}  // namespace vboard
