#include "vboard/timer.h"

#include "vboard/board.h"
#include "vboard/rcc.h"

namespace vboard {

namespace {
constexpr std::uint16_t CEN = 0x0001, UDIS = 0x0002, URS = 0x0004, ARPE = 0x0080;
constexpr std::uint16_t UG = 0x0001;
constexpr std::uint16_t UIF = 0x0001;
constexpr std::uint16_t kInterruptFlags = 0x005F;  // UIF, CC1IF..CC4IF, TIF
}  // namespace

Timer::Timer(Board& board, int number)
    : Peripheral(board, "TIM" + std::to_string(number), 0x40000000u + 0x400u * static_cast<unsigned>(number - 2), 0x54),
      number_(number) {
  set_clock_gate(0x40, 1u << (number - 2));  // APB1ENR TIMxEN
}

int Timer::irq() const {
  switch (number_) {
    case 2: return 28;
    case 3: return 29;
    case 4: return 30;
    case 5: return 50;
    case 6: return 54;
    case 7: return 55;
    default: return -1;
  }
}

void Timer::reset() {
  psc_active_ = 0;
  arr_active_ = arr_preload_ = counter_mask();
  set32(kARR, arr_active_);
  count_tick_ = 0;
  origin_ = 0;
  origin_count_ = 0;
  updates_ = 0;
  on_update = nullptr;
}

void Timer::clocks_changed() {
  const std::uint32_t now_count = counter();
  count_tick_ = board_.rcc().apb1_timer_period() * (static_cast<Ticks>(psc_active_) + 1);
  if (running()) restart_at(now_count);
}

std::uint32_t Timer::counter() const {
  if (!running() || count_tick_ == 0) return origin_count_;
  const Ticks steps = (board_.now() - origin_) / count_tick_;
  return static_cast<std::uint32_t>((origin_count_ + steps) & counter_mask());
}

Ticks Timer::update_period() const {
  if (!running()) return kNever;
  return (static_cast<Ticks>(arr_active_) + 1) * count_tick_;
}

void Timer::restart_at(std::uint32_t count) {
  origin_count_ = count;
  origin_ = board_.now();
  schedule_update();
}

void Timer::schedule_update() {
  if (!running() || count_tick_ == 0) {
    board_.cancel(this, kUpdate);
    return;
  }
  // Up-counting: the overflow comes when the counter passes the auto-reload
  // value; from above it, when it wraps at the counter's width.
  const std::uint64_t limit = origin_count_ <= arr_active_ ? arr_active_ : counter_mask();
  const Ticks steps = limit - origin_count_ + 1;
  board_.schedule(this, kUpdate, origin_ + steps * count_tick_);
}

void Timer::on_event(int kind) {
  if (kind == kUpdate) {
    origin_count_ = 0;
    origin_ = board_.now();
    update_event(true);
  }
}

void Timer::update_event(bool from_overflow) {
  // Preloaded prescaler and auto-reload take effect.
  psc_active_ = reg16(kPSC);
  arr_active_ = arr_preload_;
  count_tick_ = board_.rcc().apb1_timer_period() * (static_cast<Ticks>(psc_active_) + 1);
  const std::uint16_t cr1 = reg16(kCR1);
  if (!(cr1 & UDIS) && (from_overflow || !(cr1 & URS))) {
    ++updates_;
    set_status(UIF);
    if (on_update) on_update(board_.now());
  }
  schedule_update();
}

void Timer::set_status(std::uint16_t bits) {
  set16(kSR, static_cast<std::uint16_t>(reg16(kSR) | bits));
  update_irq_line();
}

void Timer::update_irq_line() {
  const bool level = (reg16(kSR) & reg16(kDIER) & kInterruptFlags) != 0;
  if (irq() >= 0) board_.set_irq_line(irq(), level);
}

std::uint32_t Timer::read(std::uint32_t offset, unsigned width) {
  switch (offset) {
    case kCNT:
      board_.volatile_read();
      return counter();
    case kARR:
      return arr_preload_;
    case kEGR:
      return 0;  // write-only
    default:
      return load(offset, width);
  }
}

void Timer::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  switch (offset) {
    case kCR1: {
      const bool was_running = running();
      const std::uint32_t count = counter();
      store(offset, value & (basic() ? 0x008Fu : 0x03FFu), width);
      if (!was_running && running()) {
        count_tick_ = board_.rcc().apb1_timer_period() * (static_cast<Ticks>(psc_active_) + 1);
        restart_at(count);
      } else if (was_running && !running()) {
        origin_count_ = count;
        board_.cancel(this, kUpdate);
      }
      return;
    }
    case kSR:
      // rc_w0: a 0 clears the flag, a 1 leaves it.
      set16(kSR, static_cast<std::uint16_t>(reg16(kSR) & value));
      update_irq_line();
      return;
    case kDIER:
      store(offset, value, width);
      update_irq_line();
      return;
    case kEGR:
      if (value & UG) {
        // Re-initialise the counter and load the preloaded registers.
        origin_count_ = 0;
        origin_ = board_.now();
        update_event(false);
      }
      return;
    case kCNT:
      restart_at(value & counter_mask());
      return;
    case kPSC:
      store(offset, value & 0xFFFFu, width);  // takes effect at the next update event
      return;
    case kARR: {
      const std::uint32_t v = value & counter_mask();
      set32(kARR, v);
      arr_preload_ = v;
      if (!(reg16(kCR1) & ARPE)) {
        arr_active_ = v;
        if (running()) restart_at(counter());
      }
      return;
    }
    default:
      store(offset, value, width);
  }
}

}  // namespace vboard
