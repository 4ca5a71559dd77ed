#include "vboard/board.h"

#include "port.h"

#include <algorithm>
#include <cstring>

#include "vboard/core.h"
#include "vboard/gpio.h"
#include "vboard/rcc.h"
#include "vboard/timer.h"
#include "vectors.h"

extern "C" char __firmware_ram_start[];
extern "C" char __firmware_ram_end[];

namespace vboard {

namespace bus {
alignas(64) std::uint8_t periph_space[kPeriphSize];
alignas(64) std::uint8_t core_space[kCoreSize];

std::uintptr_t device_address(const volatile void* host_pointer) {
  const auto* p = static_cast<const volatile std::uint8_t*>(host_pointer);
  if (p >= core_space && p < core_space + kCoreSize) return kCoreBase + static_cast<std::uintptr_t>(p - core_space);
  return kPeriphBase + static_cast<std::uintptr_t>(p - periph_space);
}

std::uint32_t read(const void* reg, unsigned width) { return Board::instance().bus_read(reg, width); }
void write(void* reg, std::uint32_t value, unsigned width) { Board::instance().bus_write(reg, value, width); }
void spin_point() { Board::instance().spin_point(); }
void count_passes(std::uint32_t passes) {
  // The delay loop takes 24 core cycles for every 5 passes (4.8 cycles a
  // pass: 35000 passes are 168000 cycles, 1 ms at 168 MHz).
  Board& b = Board::instance();
  b.busy_wait(static_cast<Ticks>(passes) * 24u / 5u * b.core_cycle());
}
}  // namespace bus

namespace {

// The firmware's static memory as the program image holds it, taken before
// any firmware code runs.
const std::vector<char>& initial_image() {
  static const std::vector<char> image(__firmware_ram_start, __firmware_ram_end);
  return image;
}
[[maybe_unused]] const bool image_taken = !initial_image().empty() || true;

}  // namespace

std::uint32_t Peripheral::load(std::uint32_t offset, unsigned width) const {
  const std::uint8_t* p = bytes() + offset;
  switch (width) {
    case 1: return *p;
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    default: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
  }
}

void Peripheral::store(std::uint32_t offset, std::uint32_t value, unsigned width) {
  std::uint8_t* p = bytes() + offset;
  switch (width) {
    case 1:
      *p = static_cast<std::uint8_t>(value);
      break;
    case 2: {
      const auto v = static_cast<std::uint16_t>(value);
      std::memcpy(p, &v, 2);
      break;
    }
    default:
      std::memcpy(p, &value, 4);
  }
}

Peripheral::Peripheral(Board& board, std::string name, std::uintptr_t base, std::uint32_t size)
    : board_(board),
      bytes_(static_cast<std::uint8_t*>(bus::host_address(base))),
      name_(std::move(name)),
      base_(base),
      size_(size) {
  slot_of_kind_.fill(-1);
}

bool Peripheral::clocked() const {
  if (gate_offset_ == 0) return true;
  return (board_.peek(0x40023800u + gate_offset_) & gate_bit_) != 0;
}

Board& Board::instance() {
  static Board board;
  return board;
}

Board::Board() {
  build();
  reset();
}

void Board::attach(std::unique_ptr<Peripheral> model) {
  Peripheral* m = model.get();
  const std::uintptr_t base = m->base();
  if (base >= bus::kCoreBase) {
    for (std::uintptr_t a = base; a < base + m->size(); a += 0x10)
      core_pages_[(a - bus::kCoreBase) / 0x10] = m;
  } else {
    for (std::uintptr_t a = base; a < base + m->size(); a += 0x400)
      periph_pages_[(a - bus::kPeriphBase) / 0x400] = m;
  }
  models_.push_back(std::move(model));
}

Peripheral* Board::model_at(std::uintptr_t address) const {
  if (address >= bus::kCoreBase) {
    if (address >= bus::kCoreBase + bus::kCoreSize) return nullptr;
    return core_pages_[(address - bus::kCoreBase) / 0x10];
  }
  if (address < bus::kPeriphBase || address >= bus::kPeriphBase + bus::kPeriphSize) return nullptr;
  return periph_pages_[(address - bus::kPeriphBase) / 0x400];
}

GpioPort& Board::gpio(char port) { return *gpio_.at(static_cast<std::size_t>(port - 'A')); }

Timer& Board::tim(int n) {
  Timer* t = tim_.at(static_cast<std::size_t>(n));
  if (!t) throw std::out_of_range("no model of this timer");
  return *t;
}

void Board::build() {
  // The NVIC's block reaches past the SCB (STIR sits at 0xE000EF00): it is
  // mapped first, so the SCB's registers win inside it.
  nvic_ = &add<Nvic>();
  scb_ = &add<Scb>();
  systick_ = &add<SysTickModel>();
  rcc_ = &add<Rcc>();
  add<PwrModel>();
  add<FlashInterface>();
  for (char p : {'A', 'B', 'C'}) gpio_[static_cast<std::size_t>(p - 'A')] = &add<GpioPort>(p);
  tim_[2] = &add<Timer>(2);
  tim_[3] = &add<Timer>(3);
  tim_[5] = &add<Timer>(5);
  tim_[6] = &add<Timer>(6);
  build_extensions();
}

void Board::reset(const BoardConfig& config) {
  stop_firmware();
  config_ = config;
  stop_ = {};
  now_ = 0;
  slots_.clear();
  for (auto& m : models_) m->slot_of_kind_.fill(-1);
  actions_.clear();
  next_event_ = kNever;
  std::memset(bus::periph_space, 0, sizeof bus::periph_space);
  std::memset(bus::core_space, 0, sizeof bus::core_space);
  restore_static_memory();
  last_read_ = 0;
  last_value_ = 0;
  poll_count_ = 0;
  read_was_volatile_ = false;
  interrupts_seen_at_spin_ = 0;
  accesses_ = 0;
  interrupts_taken_ = 0;
  entries_.fill(0);
  on_exception_entry = nullptr;
  on_observe = nullptr;
  bus_log = nullptr;
  hold_ = 0;
  rotor_.reset();
  for (auto& m : models_) m->reset();
  clocks_changed();
}

void Board::restore_static_memory() {
  const auto& image = initial_image();
  std::memcpy(__firmware_ram_start, image.data(), image.size());
}

void Board::clocks_changed() {
  core_cycle_ = rcc_ ? rcc_->hclk_period() : period_of(16'000'000);
  for (auto& m : models_) m->clocks_changed();
}

// ---------------------------------------------------------------------------
// Events

void Board::schedule(Peripheral* owner, int kind, Ticks when) {
  int& slot = owner->slot_of_kind_.at(static_cast<std::size_t>(kind));
  if (slot < 0) {
    if (when == kNever) return;
    slot = static_cast<int>(slots_.size());
    slots_.push_back({owner, kind, when});
  } else {
    slots_[static_cast<std::size_t>(slot)].when = when;
  }
  recompute_next_event();
}

void Board::at(Ticks when, std::function<void()> action) {
  actions_.emplace(std::max(when, now_), std::move(action));
  recompute_next_event();
}

void Board::recompute_next_event() {
  // The earliest slot wins a tie with an action; among slots, the first added.
  Ticks next = kNever;
  next_slot_ = -1;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].when < next) {
      next = slots_[i].when;
      next_slot_ = static_cast<int>(i);
    }
  }
  if (!actions_.empty() && actions_.begin()->first < next) {
    next = actions_.begin()->first;
    next_slot_ = -1;
  }
  next_event_ = next;
}

void Board::run_events_until(Ticks when) {
  while (next_event_ <= when) {
    const Ticks t = next_event_;
    now_ = std::max(now_, t);
    Slot* due = next_slot_ >= 0 ? &slots_[static_cast<std::size_t>(next_slot_)] : nullptr;
    if (due) {
      Peripheral* owner = due->owner;
      const int kind = due->kind;
      due->when = kNever;
      recompute_next_event();
      owner->on_event(kind);
    } else {
      auto it = actions_.begin();
      auto action = std::move(it->second);
      actions_.erase(it);
      recompute_next_event();
      action();
    }
  }
  now_ = std::max(now_, when);
}

void Board::advance(Ticks duration) { run_events_until(now_ + duration); }

// ---------------------------------------------------------------------------
// Sync points

namespace {
// Set on the firmware's thread for as long as it runs.
thread_local bool tls_firmware_thread = false;
}  // namespace

bool Board::on_firmware_thread() const { return tls_firmware_thread; }

void Board::check_pause() {
  if (now_ >= pause_at_ && on_firmware_thread()) yield_to_host();
}

void Board::take_interrupts() {
  while (const int e = nvic_->next_to_take()) {
    nvic_->activate(e);
    ++interrupts_taken_;
    ++entries_[static_cast<std::size_t>(e)];
    poll_count_ = 0;
    if (on_exception_entry) on_exception_entry(e, now_);
    if (on_observe) on_observe();
    advance(kEntryCycles * core_cycle_);
    if (void (*handler)() = g_pfnVectors[e].handler) handler();
    if (on_observe) on_observe();
    advance(kExitCycles * core_cycle_);
    nvic_->deactivate(e);
  }
}

void Board::sync(Ticks cycles) {
  ++accesses_;
  const Ticks until = now_ + cycles * core_cycle_;
  if (until < next_event_) {
    now_ = until;  // nothing falls due: the common case
  } else {
    run_events_until(until);
  }
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
    const Ticks target = next_event_;
    if (on_firmware_thread() && pause_at_ < target) {
      run_events_until(std::max(pause_at_, now_));
      yield_to_host();
      if (nvic_->next_to_take() != 0) return;
      continue;
    }
    if (target == kNever) throw Stalled("the firmware waits in an idle loop and nothing is left to happen");
    run_events_until(std::max(target, now_));
    return;
  }
}

void Board::poll_skip(const Peripheral* owner, std::uintptr_t address) {
  // A status poll that sees nothing change may skip ahead only while its
  // peripheral has something coming: then nothing it can see changes before
  // the next event. A poll of a peripheral with nothing scheduled (a
  // counting wait, say) runs at the cost of its accesses, until it has
  // clearly stalled.
  bool owner_busy = false;
  for (const auto& s : slots_) owner_busy = owner_busy || (s.owner == owner && s.when != kNever);
  if (!owner_busy) {
    if (poll_count_ < kStallPolls) return;
    if (!stop_.stalled) {
      stop_.stalled = true;
      stop_.stalled_address = address;
      stop_.since = now_;
    }
    if (!on_firmware_thread() && next_event_ == kNever) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "the firmware polls register 0x%08lx, which never changes",
                    static_cast<unsigned long>(address));
      throw Stalled(buf);
    }
  }
  idle_skip();
}

std::uint32_t Board::bus_read(const void* reg, unsigned width) {
  const std::uintptr_t address = bus::device_address(reg);
  sync(kAccessCycles);
  Peripheral* m = model_at(address);
  read_was_volatile_ = false;
  std::uint32_t value;
  if (m == nullptr) {
    std::uint32_t v = 0;
    std::memcpy(&v, reg, width);
    value = v;
  } else if (!m->clocked()) {
    value = 0;  // a peripheral without its clock reads as 0
  } else {
    value = m->read(static_cast<std::uint32_t>(address - m->base()), width);
  }
  if (bus_log) bus_log->push_back({now_, address, value, width, false});
  if (read_was_volatile_) {
    poll_count_ = 0;
  } else if (address == last_read_ && value == last_value_ && poll_count_ > 0) {
    if (++poll_count_ >= kPollThreshold) {
      poll_skip(m, address);
      take_interrupts();
      check_pause();
    }
  } else {
    last_read_ = address;
    last_value_ = value;
    poll_count_ = 1;
  }
  return value;
}

void Board::bus_write(void* reg, std::uint32_t value, unsigned width) {
  const std::uintptr_t address = bus::device_address(reg);
  sync(kAccessCycles);
  poll_count_ = 0;
  if (bus_log) bus_log->push_back({now_, address, value, width, true});
  Peripheral* m = model_at(address);
  if (m == nullptr) {
    std::memcpy(reg, &value, width);
  } else if (m->clocked()) {
    m->write(static_cast<std::uint32_t>(address - m->base()), value, width);
  }
  // A write can raise a request (enabling a pending interrupt, say) that is
  // taken before the next instruction.
  take_interrupts();
  check_pause();
}

void Board::spin_point() {
  if (on_observe) on_observe();
  if (hold_ > 0 && nvic_->active_stack().empty()) {
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
  const auto& active = nvic_->active_stack();
  if (!active.empty() && !stop_.stopped_in_handler) {
    stop_.stopped_in_handler = true;
    stop_.exception = active.back();
    stop_.handler = exception_name(active.back());
    stop_.since = now_;
  }
  idle_skip();
  take_interrupts();
  check_pause();
}

void Board::busy_wait(Ticks duration) {
  Ticks remaining = duration;
  while (remaining > 0) {
    Ticks next = std::min(next_event_, now_ + remaining);
    if (on_firmware_thread()) next = std::min(next, std::max(pause_at_, now_));
    const Ticks step = next - now_;
    run_events_until(next);
    remaining -= step;
    // Interrupts taken here lengthen the delay: the loop stands still meanwhile.
    take_interrupts();
    check_pause();
  }
}

std::uint32_t Board::peek(std::uintptr_t address, unsigned width) const {
  std::uint32_t v = 0;
  std::memcpy(&v, bus::host_address(address), width);
  return v;
}

void Board::poke(std::uintptr_t address, std::uint32_t value, unsigned width) {
  std::memcpy(bus::host_address(address), &value, width);
}

void Board::set_irq_line(int irq, bool level) { nvic_->set_line(irq, level); }
void Board::pend_irq(int irq) { nvic_->set_pending(kExcIrq0 + irq); }

// ---------------------------------------------------------------------------
// Firmware thread

void Board::power_on() {
  stop_firmware();
  fw_done_ = false;
  abort_ = false;
  fw_turn_ = false;
  pause_at_ = now_;
  interrupts_seen_at_spin_ = interrupts_taken_;
  fw_thread_ = std::thread([this] { firmware_main(); });
  fw_id_ = fw_thread_.get_id();
}

void Board::firmware_main() {
  {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return fw_turn_; });
  }
  tls_firmware_thread = true;
  try {
    if (!abort_) {
      g_pfnVectors[1].handler();  // the reset entry
      stop_.main_returned = true;
    }
  } catch (const RunAborted&) {
  }
  std::lock_guard lock(mutex_);
  fw_done_ = true;
  fw_turn_ = false;
  cv_.notify_all();
}

void Board::yield_to_host() {
  std::unique_lock lock(mutex_);
  fw_turn_ = false;
  cv_.notify_all();
  cv_.wait(lock, [this] { return fw_turn_; });
  if (abort_) throw RunAborted{};
}

void Board::run_until(Ticks when) {
  if (fw_thread_.joinable() && !fw_done_) {
    std::unique_lock lock(mutex_);
    pause_at_ = when;
    fw_turn_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return !fw_turn_; });
  }
  // Without a running firmware (or after it ended) the models go on alone;
  // interrupts are taken on this thread.
  while (now_ < when) {
    run_events_until(std::min(next_event_, when));
    take_interrupts();
  }
}

void Board::stop_firmware() {
  if (!fw_thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    if (!fw_done_) {
      abort_ = true;
      fw_turn_ = true;
      cv_.notify_all();
    }
  }
  fw_thread_.join();
  fw_thread_ = std::thread();
  abort_ = false;
}

Board::~Board() { stop_firmware(); }

}  // namespace vboard
