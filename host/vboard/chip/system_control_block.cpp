#include "vboard/chip/system_control_block.h"

#include <bit>

#include "device.h"
#include "vboard/chip/hardware.h"

namespace vboard {

namespace {
constexpr std::uint8_t kImplementedPriorityBits = 0xF0;  // four bits per byte

constexpr std::uint32_t kCPUID = offsetof(SCB_Type, CPUID), kAIRCR = offsetof(SCB_Type, AIRCR),
                        kSHP = offsetof(SCB_Type, SHP), kSHPEnd = kSHP + sizeof(SCB_Type::SHP);
constexpr std::uint32_t kISER = offsetof(NVIC_Type, ISER), kICER = offsetof(NVIC_Type, ICER),
                        kISPR = offsetof(NVIC_Type, ISPR), kICPR = offsetof(NVIC_Type, ICPR),
                        kIABR = offsetof(NVIC_Type, IABR), kIP = offsetof(NVIC_Type, IP),
                        kSTIR = offsetof(NVIC_Type, STIR), kBank = sizeof(NVIC_Type::ISER);
constexpr std::uint32_t kCTRL = offsetof(SysTick_Type, CTRL), kLOAD = offsetof(SysTick_Type, LOAD),
                        kVAL = offsetof(SysTick_Type, VAL), kCALIB = offsetof(SysTick_Type, CALIB);
constexpr std::uint32_t ENABLE_ = SysTick_CTRL_ENABLE_Msk, TICKINT = SysTick_CTRL_TICKINT_Msk,
                        CLKSOURCE = SysTick_CTRL_CLKSOURCE_Msk, kCtrlFields = ENABLE_ | TICKINT | CLKSOURCE;
}  // namespace

// ---------------------------------------------------------------------------
Scb::Scb(const Context& context, const hw::DeviceRow& row, Nvic& nvic) : Peripheral(context, row), nvic_(nvic) {}

void Scb::reset() {
  nvic_.invalidate();
  reset_registers();
  prigroup_ = (reg32(kAIRCR) & SCB_AIRCR_PRIGROUP_Msk) >> std::countr_zero(SCB_AIRCR_PRIGROUP_Msk);
}

std::uint32_t Scb::read(std::uint32_t offset, unsigned width) {
  if (offset == kAIRCR) return 0xFA050000u | (prigroup_ << 8);
  return load(offset, width);
}

void Scb::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  nvic_.invalidate();  // priorities or the grouping may change
  switch (offset) {
    case kCPUID:  // CPUID is read-only
      return;
    case kAIRCR:  // AIRCR: takes effect only with the key 0x05FA in the upper half
      if (width == 4 && (value & SCB_AIRCR_VECTKEY_Msk) == AIRCR_VECTKEY_MASK)
        prigroup_ = (value & SCB_AIRCR_PRIGROUP_Msk) >> std::countr_zero(SCB_AIRCR_PRIGROUP_Msk);
      return;
    default:
      if (offset >= kSHP && offset < kSHPEnd) {
        // System handler priority bytes: only the upper four bits exist.
        for (unsigned i = 0; i < width; ++i) {
          const auto byte = static_cast<std::uint8_t>((value >> (8 * i)) & kImplementedPriorityBits);
          store(offset + i, byte, 1);
        }
        return;
      }
      store(offset, value, width);
  }
}

std::uint8_t Scb::system_priority(int exception) const {
  return static_cast<std::uint8_t>(load(kSHP + static_cast<std::uint32_t>(exception - 4), 1));
}

// ---------------------------------------------------------------------------
Nvic::Nvic(const Context& context, const hw::DeviceRow& row) : Peripheral(context, row) {}

void Nvic::reset() {
  reset_registers();
  pending_.fill(false);
  takeable_ = {};
  ctx_.alert(false);
  dirty_ = true;
  active_.fill(false);
  enabled_.fill(false);
  line_.fill(false);
  depth_ = 0;
}

std::uint8_t Nvic::ip(int irq) const { return static_cast<std::uint8_t>(load(kIP + static_cast<std::uint32_t>(irq), 1)); }

std::uint32_t Nvic::read(std::uint32_t offset, unsigned width) {
  auto bits = [&](const auto& flags, std::uint32_t base) {
    const std::uint32_t word = (offset - base) / 4;
    std::uint32_t v = 0;
    for (std::uint32_t b = 0; b < 32; ++b) {
      const std::uint32_t irq = word * 32 + b;
      if (irq < kDeviceIrqs && flags(static_cast<int>(irq))) v |= 1u << b;
    }
    return v;
  };
  if (offset < kISER + kBank) return bits([&](int irq) { return enabled(irq); }, kISER);
  if (offset >= kICER && offset < kICER + kBank) return bits([&](int irq) { return enabled(irq); }, kICER);
  if (offset >= kISPR && offset < kISPR + kBank) return bits([&](int irq) { return pending(kExcIrq0 + irq); }, kISPR);
  if (offset >= kICPR && offset < kICPR + kBank) return bits([&](int irq) { return pending(kExcIrq0 + irq); }, kICPR);
  if (offset >= kIABR && offset < kIABR + kBank) return bits([&](int irq) { return active(kExcIrq0 + irq); }, kIABR);
  return load(offset, width);
}

void Nvic::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  auto each_bit = [&](std::uint32_t base, auto&& apply) {
    const std::uint32_t word = (offset - base) / 4;
    for (std::uint32_t b = 0; b < 32; ++b) {
      const std::uint32_t irq = word * 32 + b;
      if ((value >> b) & 1u && irq < kDeviceIrqs) apply(static_cast<int>(irq));
    }
  };
  if (offset < kISER + kBank) {
    each_bit(kISER, [&](int irq) {
      enabled_[static_cast<std::size_t>(irq)] = true;
      update_takeable(kExcIrq0 + irq);
    });
  } else if (offset >= kICER && offset < kICER + kBank) {
    each_bit(kICER, [&](int irq) {
      enabled_[static_cast<std::size_t>(irq)] = false;
      update_takeable(kExcIrq0 + irq);
    });
  } else if (offset >= kISPR && offset < kISPR + kBank) {
    each_bit(kISPR, [&](int irq) { set_pending(kExcIrq0 + irq); });
  } else if (offset >= kICPR && offset < kICPR + kBank) {
    each_bit(kICPR, [&](int irq) { clear_pending(kExcIrq0 + irq); });
  } else if (offset >= kIP && offset < kIP + kDeviceIrqs) {
    dirty_ = true;
    for (unsigned i = 0; i < width; ++i) {
      store(offset + i, (value >> (8 * i)) & kImplementedPriorityBits, 1);
    }
  } else if (offset == kSTIR) {
    if ((value & NVIC_STIR_INTID_Msk) < kDeviceIrqs) set_pending(kExcIrq0 + static_cast<int>(value & NVIC_STIR_INTID_Msk));
  }
}

int Nvic::priority(int exception) const {
  switch (exception) {
    case 1: return -3;
    case kExcNmi: return -2;
    case kExcHardFault: return -1;
    default: break;
  }
  if (exception < kExcIrq0) return scb_->system_priority(exception) & kImplementedPriorityBits;
  return ip(exception - kExcIrq0) & kImplementedPriorityBits;
}

int Nvic::group_priority(int exception) const {
  const int p = priority(exception);
  if (p < 0) return p;
  const unsigned sub_bits = scb_->prigroup() + 1;  // PRIGROUP n leaves n+1 low bits for sub-priority
  return (p >> sub_bits) << sub_bits;
}

int Nvic::execution_priority() const {
  int best = kThreadPriority;
  for (int i = 0; i < depth_; ++i) best = std::min(best, group_priority(stack_[static_cast<std::size_t>(i)]));
  return best;
}

int Nvic::next_to_take_slow() const {
  if (dirty_) {
    cached_next_ = compute_next();
    dirty_ = false;
  }
  return cached_next_;
}

int Nvic::compute_next() const {
  // A single request in thread mode, the common case: it is taken, with
  // nothing to compare.
  if (depth_ == 0) {
    const std::uint64_t low = takeable_[0], high = takeable_[1];
    if (high == 0 && low != 0 && (low & (low - 1)) == 0) return std::countr_zero(low);
    if (low == 0 && high != 0 && (high & (high - 1)) == 0) return 64 + std::countr_zero(high);
  }
  int best = 0;
  int best_priority = kThreadPriority + 1;
  for (int word = 0; word < 2; ++word) {
    for (std::uint64_t bits = takeable_[static_cast<std::size_t>(word)]; bits != 0; bits &= bits - 1) {
      const int e = word * 64 + std::countr_zero(bits);
      const int p = priority(e);  // full priority: group first, then sub-priority
      if (p < best_priority) {
        best = e;
        best_priority = p;
      }
    }
  }
  if (best == 0 || depth_ == 0) return best;  // thread mode: every priority is above it
  return group_priority(best) < execution_priority() ? best : 0;
}

void Nvic::set_line(int irq, bool level) {
  line_[static_cast<std::size_t>(irq)] = level;
  if (level) set_pending(kExcIrq0 + irq);
}

void Nvic::set_pending(int exception) {
  // An active exception whose request is raised again becomes pending too
  // and is taken after it returns, when priorities allow.
  if (!pending_[static_cast<std::size_t>(exception)]) {
    pending_[static_cast<std::size_t>(exception)] = true;
    update_takeable(exception);
  }
}

void Nvic::clear_pending(int exception) {
  if (pending_[static_cast<std::size_t>(exception)]) {
    pending_[static_cast<std::size_t>(exception)] = false;
    update_takeable(exception);
  }
}

void Nvic::update_takeable(int exception) {
  dirty_ = true;
  const auto e = static_cast<std::size_t>(exception);
  const bool enabled = exception < kExcIrq0 || enabled_[e - kExcIrq0];
  const std::uint64_t bit = std::uint64_t{1} << (e % 64);
  if (pending_[e] && enabled) {
    takeable_[e / 64] |= bit;
  } else {
    takeable_[e / 64] &= ~bit;
  }
  ctx_.alert(anything_takeable());
}

void Nvic::activate(int exception) {
  const auto e = static_cast<std::size_t>(exception);
  if (pending_[e]) {
    // Taken, so no longer pending: its takeable bit clears whether or not
    // it is enabled, with nothing to ask.
    pending_[e] = false;
    takeable_[e / 64] &= ~(std::uint64_t{1} << (e % 64));
    ctx_.alert(anything_takeable());
  }
  dirty_ = true;
  active_[e] = true;
  stack_.at(static_cast<std::size_t>(depth_)) = exception;  // throws only for a caller that activates at will
  ++depth_;
}

void Nvic::deactivate(int exception) {
  dirty_ = true;
  active_[static_cast<std::size_t>(exception)] = false;
  if (depth_ > 0) --depth_;
  // A level-sensitive request still asserted re-pends the interrupt.
  if (exception >= kExcIrq0 && line_[static_cast<std::size_t>(exception - kExcIrq0)]) set_pending(exception);
}

// ---------------------------------------------------------------------------
SysTickModel::SysTickModel(const Context& context, const hw::DeviceRow& row, Nvic& nvic, const ClockTree& clocks)
    : Peripheral(context, row), nvic_(nvic), clocks_(clocks) {}

void SysTickModel::reset() {
  reset_registers();
  tick_ = 0;
  reloaded_at_ = 0;
  start_ = 0;
  countflag_ = false;
  wraps_ = 0;
}

void SysTickModel::clocks_changed() {
  if ((reg32(kCTRL) & ENABLE_) == 0) return;
  const std::uint32_t value = current();
  tick_ = (reg32(kCTRL) & CLKSOURCE) ? core_cycle() : core_cycle() * 8;
  restart(value);
}

Ticks SysTickModel::period() const {
  if ((reg32(kCTRL) & ENABLE_) == 0 || reg32(kLOAD) == 0) return kNever;
  return static_cast<Ticks>(reg32(kLOAD) + 1) * tick_;
}

std::uint32_t SysTickModel::current() const {
  if ((reg32(kCTRL) & ENABLE_) == 0 || tick_ == 0) return reg32(kVAL);
  const Ticks counts = (ctx_.now() - reloaded_at_) / tick_;
  if (counts <= start_) return start_ - static_cast<std::uint32_t>(counts);
  const std::uint64_t reload = reg32(kLOAD);
  if (reload == 0) return 0;
  return static_cast<std::uint32_t>(reload - ((counts - start_ - 1) % (reload + 1)));
}

void SysTickModel::restart(std::uint32_t start_value) {
  start_ = start_value;
  reloaded_at_ = ctx_.now();
  if ((reg32(kCTRL) & ENABLE_) == 0 || tick_ == 0) {
    ctx_.cancel(this, 0);
    return;
  }
  // The counter wraps (and requests the exception) when it goes from 1 to 0;
  // a count of 0 reloads on the next tick.
  const Ticks to_zero = start_value == 0 ? (static_cast<Ticks>(reg32(kLOAD)) + 1) * tick_ : start_value * tick_;
  if (reg32(kLOAD) == 0 && start_value == 0) {
    ctx_.cancel(this, 0);
    return;
  }
  ctx_.schedule(this, 0, ctx_.now() + to_zero);
}

void SysTickModel::on_event(int) {
  ++wraps_;
  countflag_ = true;
  if (reg32(kCTRL) & TICKINT) nvic_.set_pending(kExcSysTick);
  // At zero the counter reloads on the next count.
  set32(kVAL, 0);
  start_ = 0;
  reloaded_at_ = ctx_.now();
  ctx_.schedule(this, 0, ctx_.now() + (static_cast<Ticks>(reg32(kLOAD)) + 1) * tick_);
}

std::uint32_t SysTickModel::read(std::uint32_t offset, unsigned width) {
  if (offset == kCTRL) {
    std::uint32_t v = reg32(kCTRL) & kCtrlFields;
    if (countflag_) v |= SysTick_CTRL_COUNTFLAG_Msk;
    countflag_ = false;  // COUNTFLAG clears when read
    ctx_.volatile_read();
    return v;
  }
  if (offset == kVAL) {
    ctx_.volatile_read();
    return current();
  }
  return load(offset, width);
}

void SysTickModel::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  switch (offset) {
    case kCTRL: {
      const bool was_enabled = reg32(kCTRL) & ENABLE_;
      const std::uint32_t value_now = current();
      set32(kCTRL, value & kCtrlFields);
      tick_ = (value & CLKSOURCE) ? core_cycle() : core_cycle() * 8;
      if (!was_enabled && (value & ENABLE_)) {
        // Enabling loads nothing: the counter goes on from VAL, reloading at 0.
        restart(reg32(kVAL));
      } else if (was_enabled && !(value & ENABLE_)) {
        set32(kVAL, value_now);
        ctx_.cancel(this, 0);
      }
      return;
    }
    case kLOAD:
      set32(kLOAD, value & SysTick_LOAD_RELOAD_Msk);
      return;
    case kVAL:  // any write clears the counter and COUNTFLAG
      set32(kVAL, 0);
      countflag_ = false;
      if (reg32(kCTRL) & ENABLE_) restart(0);
      return;
    default:
      (void)width;
      return;  // CALIB is read-only
  }
}

}  // namespace vboard
