// The bus: the firmware's register accesses reach the models here. Each
// access costs its core cycles (a sync point: due events run, pending
// interrupts are taken, a pause of the run is honoured); an address maps to
// its model by page. A loop that reads the same value again and again is a
// poll, and a poll or an idle main loop lets time skip to the next event.
#include "vboard/board/board.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "port.h"
#include "vboard/chip/rcc.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/sim/firmware_runner.h"

namespace vboard {

// In line in every access: the pause point is rarely reached.
inline void Board::check_pause() {
  if (now() >= runner_->pause_at() && FirmwareRunner::on_firmware_thread()) [[unlikely]] runner_->yield();
}

// After a change a model made at an access: an interrupt it raised is
// taken, a pause reached is honoured. Neither is there while time is before
// the scheduler's bound: one compare.
inline void Board::settle() {
  if (sched_.now() < sched_.quiet_until()) [[likely]] return;
  take_interrupts();
  check_pause();
}

inline void Board::sync(Ticks cycles) {
  ++accesses_;
  const Ticks end = sched_.now() + cycles * clocks_.hclk_period;
  if (end < sched_.quiet_until()) [[likely]] {
    sched_.pass_to(end);  // nothing due, no interrupt to take, no pause
    return;
  }
  sched_.run_until(end);
  take_interrupts();
  check_pause();
}

void Board::idle_skip() {
  // Skips to the next event, which runs even when it is due now. A pause of
  // the run before it is invisible to the firmware: the skip yields there
  // and then goes on to the event, so that the firmware's next access comes
  // at the same time whichever way the caller cut the run. What the caller
  // changed meanwhile counts: an event it set earlier ends the skip there,
  // an interrupt it raised ends it at once.
  for (;;) {
    const Ticks target = sched_.next_event();
    if (runner_->pause_at() < target && FirmwareRunner::on_firmware_thread()) {
      sched_.run_until(runner_->pause_at());
      runner_->yield();
      if (nvic_->next_to_take() != 0) return;
      continue;
    }
    if (target == kNever) throw Stalled("the firmware waits in an idle loop and nothing is left to happen");
    sched_.run_until(target);
    return;
  }
}

inline void Board::poll_skip(const Peripheral* owner, std::uintptr_t address) {
  // A status poll that sees nothing change may skip ahead only while its
  // peripheral has something coming: then nothing it can see changes before
  // the next event. A poll of a peripheral with nothing scheduled (a
  // counting wait, say) runs at the cost of its accesses, until it has
  // clearly stalled. An address with no model has nothing coming either.
  if (owner == nullptr || !sched_.pending(owner)) {
    if (poll_count_ < kStallPolls) return;
    poll_stalled(address);
  }
  idle_skip();
}

[[gnu::noinline, gnu::cold]] void Board::poll_stalled(std::uintptr_t address) {
  if (!stop_.stalled) {
    stop_.stalled = true;
    stop_.stalled_address = address;
    stop_.since = now();
  }
  if (!FirmwareRunner::on_firmware_thread() && sched_.next_event() == kNever) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "the firmware polls register 0x%08lx, which never changes",
                  static_cast<unsigned long>(address));
    throw Stalled(buf);
  }
}

// Accesses outside every model's block: the mirrored bytes, reported.
[[gnu::noinline, gnu::cold]] std::uint32_t Board::unmodelled_read(std::uintptr_t address, const void* reg,
                                                                  unsigned width) {
  std::uint32_t v = 0;
  std::memcpy(&v, reg, width);
  gaps_.record({now(), address, v, false, "no model at this address"});
  return v;
}

[[gnu::noinline, gnu::cold]] void Board::unmodelled_write(std::uintptr_t address, void* reg, std::uint32_t value,
                                                          unsigned width) {
  std::memcpy(reg, &value, width);
  gaps_.record({now(), address, value, true, "no model at this address"});
}

[[gnu::noinline]] void Board::log_access(std::uintptr_t address, std::uint32_t value, unsigned width, bool write) {
  bus_log->push_back({now(), address, value, width, write});
}

// A poll has read the same value from last_read_ kPollThreshold times:
// time may skip. Out of line, handing the value back, so that the read path
// keeps nothing across this call.
[[gnu::noinline]] std::uint32_t Board::poll_seen(std::uint32_t value) {
  poll_skip(model_at(last_read_), last_read_);
  settle();
  return value;
}

// The device address of a register and its model: the peripheral space
// straight from the page table, the core's through model_at.
inline Peripheral* Board::model_of(const void* reg, std::uintptr_t& address) const {
  const std::uintptr_t offset =
      reinterpret_cast<std::uintptr_t>(reg) - reinterpret_cast<std::uintptr_t>(bus::periph_space);
  if (offset < bus::kPeriphSize) [[likely]] {
    address = bus::kPeriphBase + offset;
    return periph_pages_[offset / 0x400];
  }
  address = bus::device_address(reg);
  return model_at(address);
}

// Poll detection after a read of `address` gave `value`.
[[gnu::always_inline]] inline std::uint32_t Board::notice_read(std::uintptr_t address, std::uint32_t value) {
  if (read_was_volatile_) {
    poll_count_ = 0;
  } else if (address == last_read_ && value == last_value_ && poll_count_ > 0) {
    if (++poll_count_ >= kPollThreshold) return poll_seen(value);
  } else {
    last_read_ = address;
    last_value_ = value;
    poll_count_ = 1;
  }
  return value;
}

// Every access of the firmware costs kAccessCycles; most find nothing due
// before they end, no interrupt to take and no pause, and a clocked model
// in the peripheral space. Those take the short path below, which does
// what the full path does in that case and no more, so that little has to
// live across the model's call; every other access takes the full path.
inline Peripheral* Board::quiet_model(const void* reg, std::uintptr_t& address, Ticks& end) const {
  const std::uintptr_t offset =
      reinterpret_cast<std::uintptr_t>(reg) - reinterpret_cast<std::uintptr_t>(bus::periph_space);
  if (offset >= bus::kPeriphSize) return nullptr;
  Peripheral* m = quiet_pages_[offset / 0x400];
  end = sched_.now() + kAccessCycles * clocks_.hclk_period;
  // The scheduler's bound stands for a takeable interrupt and for the pause.
  if (m == nullptr || end >= sched_.quiet_until() || bus_log != nullptr) return nullptr;
  address = bus::kPeriphBase + offset;
  return m;
}

[[gnu::always_inline]] inline std::uint32_t Board::bus_read(const void* reg, unsigned width) {
  std::uintptr_t address;
  Ticks end;
  Peripheral* m = quiet_model(reg, address, end);
  if (m == nullptr) [[unlikely]] return read_full(reg, width);
  ++accesses_;
  sched_.pass_to(end);
  read_was_volatile_ = false;
  reading_ = address;  // kept here, not in a register, across the model's call
  const std::uint32_t value = m->read(static_cast<std::uint32_t>(address - m->base()), width);
  return notice_read(reading_, value);
}

[[gnu::always_inline]] inline void Board::bus_write(void* reg, std::uint32_t value, unsigned width) {
  std::uintptr_t address;
  Ticks end;
  Peripheral* m = quiet_model(reg, address, end);
  if (m == nullptr) [[unlikely]] return write_full(reg, value, width);
  const auto offset = static_cast<std::uint32_t>(address - m->base());
  // A write outside the fields the model names is reported after the write:
  // the full path.
  if (!m->fields_cover(offset, value, width)) [[unlikely]] return write_full(reg, value, width);
  ++accesses_;
  sched_.pass_to(end);
  poll_count_ = 0;
  m->write(offset, value, width);
  settle();  // a write can raise a request, taken before the next instruction
}

[[gnu::noinline]] std::uint32_t Board::read_full(const void* reg, unsigned width) {
  std::uintptr_t address;
  Peripheral* m = model_of(reg, address);
  sync(kAccessCycles);
  read_was_volatile_ = false;
  std::uint32_t value;
  if (m == nullptr) [[unlikely]] {
    value = unmodelled_read(address, reg, width);
  } else if (!m->clocked()) {
    value = 0;  // a peripheral without its clock reads as 0
  } else {
    value = m->read(static_cast<std::uint32_t>(address - m->base()), width);
  }
  if (bus_log) [[unlikely]] log_access(address, value, width, false);
  return notice_read(address, value);
}

[[gnu::noinline]] void Board::write_full(void* reg, std::uint32_t value, unsigned width) {
  std::uintptr_t address;
  Peripheral* m = model_of(reg, address);
  sync(kAccessCycles);
  poll_count_ = 0;
  if (bus_log) [[unlikely]] log_access(address, value, width, true);
  if (m == nullptr) [[unlikely]] {
    unmodelled_write(address, reg, value, width);
  } else if (m->clocked()) {
    const auto offset = static_cast<std::uint32_t>(address - m->base());
    m->write(offset, value, width);
    m->check_fields(offset, value, width);
    if (m == rcc_) gates_changed();
  }
  // A write can raise a request (enabling a pending interrupt, say) that is
  // taken before the next instruction.
  take_interrupts();
  check_pause();
}

void Board::spin_point() {
  if (on_observe) on_observe();
  if (hold_ > 0 && nvic_->active_depth() == 0) {
    const Ticks hold = hold_;
    hold_ = 0;
    busy_wait(hold);
  }
  if (interrupts_taken_ != interrupts_seen_at_spin_) {
    // Something changed since the last pass: let the loop look again.
    interrupts_seen_at_spin_ = interrupts_taken_;
    sync(4);
    return;
  }
  if (nvic_->active_depth() > 0 && !stop_.stopped_in_handler) [[unlikely]] stopped_in_handler();
  idle_skip();
  settle();
}

// A handler that idles spins for ever: recorded once, out of line.
[[gnu::noinline, gnu::cold]] void Board::stopped_in_handler() {
  stop_.stopped_in_handler = true;
  stop_.exception = nvic_->innermost_active();
  stop_.handler = exception_name(stop_.exception);
  stop_.since = now();
}

void Board::busy_wait(Ticks duration) {
  Ticks remaining = duration;
  while (remaining > 0) {
    const Ticks now = sched_.now();
    Ticks next = std::min(sched_.next_event(), now + remaining);
    if (FirmwareRunner::on_firmware_thread()) next = std::min(next, std::max(runner_->pause_at(), now));
    const Ticks step = next - now;
    sched_.run_until(next);
    remaining -= step;
    // Interrupts taken here lengthen the delay: the loop stands still meanwhile.
    take_interrupts();
    check_pause();
  }
}

// The firmware's port reaches the board through these targets. The board's
// own is installed while the board exists and goes straight to it, its
// access paths in line, as every register access comes this way; before
// that, a first access builds the board (which installs its own).
bus::Target& board_port() {
  class Port final : public bus::Target {
    std::uint32_t read(const void* reg, unsigned width) override { return Board::for_firmware().bus_read(reg, width); }
    void write(void* reg, std::uint32_t value, unsigned width) override {
      Board::for_firmware().bus_write(reg, value, width);
    }
    void spin_point() override { Board::for_firmware().spin_point(); }
    void count_passes(std::uint32_t passes) override {
      // The delay loop takes 24 core cycles for every 5 passes (4.8 cycles a
      // pass: 35000 passes are 168000 cycles, 1 ms at 168 MHz).
      Board& b = Board::for_firmware();
      b.busy_wait(static_cast<Ticks>(passes) * 24u / 5u * b.core_cycle());
    }
    // As on the board: initialised data gets its initial values, the rest
    // of static memory zero.
    void runtime_init() override { Board::for_firmware().restore_static_memory(); }
  };
  static Port port;
  return port;
}

bus::Target& board_port_unbuilt() {
  class FirstAccess final : public bus::Target {
    std::uint32_t read(const void* reg, unsigned width) override { return built().read(reg, width); }
    void write(void* reg, std::uint32_t value, unsigned width) override { built().write(reg, value, width); }
    void spin_point() override { built().spin_point(); }
    void count_passes(std::uint32_t passes) override { built().count_passes(passes); }
    void runtime_init() override { built().runtime_init(); }
    static bus::Target& built() {
      Board::instance();
      return *bus::target;
    }
  };
  static FirstAccess first;
  return first;
}

}  // namespace vboard
