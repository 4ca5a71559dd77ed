// The Cortex-M4 core peripherals: the interrupt controller (NVIC), the
// system control block (SCB) and the system timer (SysTick).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "device.h"
#include "vboard/chip/clock_tree.h"
#include "vboard/chip/peripheral.h"

namespace vboard {

// Exception numbers: 1 reset, 2 NMI, 3 HardFault, ... 15 SysTick, 16 + IRQn.
inline constexpr int kExcNmi = 2;
inline constexpr int kExcHardFault = 3;
inline constexpr int kExcMemManage = 4;
inline constexpr int kExcBusFault = 5;
inline constexpr int kExcUsageFault = 6;
inline constexpr int kExcSvc = 11;
inline constexpr int kExcDebugMon = 12;
inline constexpr int kExcPendSv = 14;
inline constexpr int kExcSysTick = 15;
inline constexpr int kExcIrq0 = 16;
inline constexpr int kDeviceIrqs = 82;  // the device's interrupt lines, 0 to 81
inline constexpr int kExceptions = kExcIrq0 + kDeviceIrqs;
inline constexpr int kThreadPriority = 256;  // execution priority with nothing active

class Nvic;

// System control block: AIRCR's priority grouping, the system handler
// priority bytes, VTOR and CPACR.
class Scb : public Peripheral {
 public:
  // The controller orders exceptions by the priorities kept here.
  Scb(const Context& context, const hw::DeviceRow& row, Nvic& nvic);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;

  unsigned prigroup() const { return prigroup_; }
  std::uint8_t system_priority(int exception) const;  // exceptions 4 to 15

 private:
  Nvic& nvic_;
  unsigned prigroup_ = 0;
};

// Interrupt controller: enable, pending and active state, priority bytes,
// pre-emption by group priority and order by sub-priority.
class Nvic : public Peripheral {
 public:
  Nvic(const Context& context, const hw::DeviceRow& row);
  // The system control block, whose priorities and grouping the controller
  // follows (built after the controller: its block lies inside).
  void use(const Scb& scb) { scb_ = &scb; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;

  // Priority of an exception as configured (negative for the fixed ones),
  // its group (pre-emption) part under the grouping in force.
  int priority(int exception) const;
  int group_priority(int exception) const;
  // Execution priority: the group priority of the most urgent active
  // exception, or kThreadPriority.
  int execution_priority() const;
  // The pending, enabled exception to take now, or 0.
  int next_to_take() const { return anything_takeable() ? next_to_take_slow() : 0; }
  // Whether some exception is pending and enabled (taken now or once
  // priorities allow): without one, next_to_take() is 0.
  bool anything_takeable() const { return (takeable_[0] | takeable_[1]) != 0; }

  void set_line(int irq, bool level);
  void set_pending(int exception);
  void activate(int exception);
  void deactivate(int exception);

  bool enabled(int irq) const { return enabled_[static_cast<std::size_t>(irq)]; }
  bool pending(int exception) const { return pending_[static_cast<std::size_t>(exception)]; }
  bool active(int exception) const { return active_[static_cast<std::size_t>(exception)]; }
  std::uint8_t ip(int irq) const;
  // Exceptions currently active, innermost last.
  std::vector<int> active_stack() const { return {stack_.begin(), stack_.begin() + depth_}; }
  // How many are active, and the innermost one (0 when none is).
  int active_depth() const { return depth_; }
  int innermost_active() const { return depth_ == 0 ? 0 : stack_[static_cast<std::size_t>(depth_ - 1)]; }
  // Something that decides the next exception changed (a priority, the
  // grouping): the cached answer is recomputed.
  void invalidate() { dirty_ = true; }

 private:
  void clear_pending(int exception);
  int next_to_take_slow() const;
  const Scb* scb_ = nullptr;
  std::array<bool, kExceptions> pending_{};
  // Pending exceptions that are enabled (system exceptions always are), one
  // bit per exception number: the only ones worth looking at.
  std::array<std::uint64_t, 2> takeable_{};
  int compute_next() const;
  mutable bool dirty_ = true;
  mutable int cached_next_ = 0;
  void update_takeable(int exception);
  std::array<bool, kExceptions> active_{};
  std::array<bool, kDeviceIrqs> enabled_{};
  std::array<bool, kDeviceIrqs> line_{};
  // The active exceptions, innermost last. Each one pre-empted the one
  // before it with a more urgent priority, so none is there twice and the
  // stack never holds more than every exception: a fixed array, with no
  // growth to provide for on the entry path.
  std::array<int, kExceptions> stack_{};
  int depth_ = 0;
};

// A device's interrupt request line into the controller, as the board's
// table gives it.
class IrqLine {
 public:
  IrqLine(Nvic& nvic, int irq) : nvic_(&nvic), irq_(irq) {}
  int number() const { return irq_; }
  void set(bool level) const { nvic_->set_line(irq_, level); }

 private:
  Nvic* nvic_;
  int irq_;
};

// SysTick: a 24-bit down counter on the core clock (or core clock / 8).
class SysTickModel : public Peripheral {
 public:
  // Requests its exception from `nvic`, counts HCLK of `clocks`.
  SysTickModel(const Context& context, const hw::DeviceRow& row, Nvic& nvic, const ClockTree& clocks);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;
  void on_event(int kind) override;
  void clocks_changed() override;

  Ticks period() const;  // time between two wraps, kNever when stopped
  std::uint64_t wraps() const { return wraps_; }

 private:
  void restart(std::uint32_t start_value);
  std::uint32_t current() const;
  Ticks core_cycle() const { return clocks_.hclk_period; }
  Nvic& nvic_;
  const ClockTree& clocks_;
  Ticks tick_ = 0;       // one count
  Ticks reloaded_at_ = 0;  // time the counter held `start_`
  std::uint32_t start_ = 0;
  bool countflag_ = false;
  std::uint64_t wraps_ = 0;
};

}  // namespace vboard
