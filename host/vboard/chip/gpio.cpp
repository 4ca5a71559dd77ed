#include "vboard/chip/gpio.h"

#include <bit>

#include "vboard/chip/hardware.h"

namespace vboard {

namespace {
constexpr std::uint32_t MODER = offsetof(GPIO_TypeDef, MODER), OTYPER = offsetof(GPIO_TypeDef, OTYPER),
                        OSPEEDR = offsetof(GPIO_TypeDef, OSPEEDR), PUPDR = offsetof(GPIO_TypeDef, PUPDR),
                        IDR = offsetof(GPIO_TypeDef, IDR), ODR = offsetof(GPIO_TypeDef, ODR),
                        BSRRL = offsetof(GPIO_TypeDef, BSRRL), BSRRH = offsetof(GPIO_TypeDef, BSRRH),
                        LCKR = offsetof(GPIO_TypeDef, LCKR), AFRL = offsetof(GPIO_TypeDef, AFR),
                        AFRH = AFRL + 4;
}  // namespace

GpioPort::GpioPort(const Context& context, const hw::DeviceRow& row)
    : Peripheral(context, row), port_(static_cast<char>('A' + row.number)) {}

void GpioPort::reset() {
  reset_registers();  // ports A and B come out as the debug port
  driven_ = 0;
  driven_level_ = 0;
  af_level_ = 0;
  levels_ = 0;
  observers_.clear();
  lazy_.clear();
  watched_ = 0;
  update_levels();
}

int GpioPort::observe(Observer observer, std::uint16_t pins, bool wants_edges) {
  sync();
  observers_.push_back(Watcher{std::move(observer), pins, wants_edges});
  rewatch();
  return static_cast<int>(observers_.size() - 1);
}

void GpioPort::set_interest(int handle, std::uint16_t pins) {
  Watcher& w = observers_.at(static_cast<std::size_t>(handle));
  if (w.pins == pins) return;
  sync();
  w.pins = pins;
  rewatch();
}

void GpioPort::rewatch() {
  std::uint16_t watched = 0;
  for (const Watcher& w : observers_) {
    if (w.wants_edges) watched = static_cast<std::uint16_t>(watched | w.pins);
  }
  if (watched == watched_) return;
  watched_ = watched;
  for (const LazySource& s : lazy_) s.on_change();
}

void GpioPort::add_lazy_source(std::function<bool()> refresh, std::function<void()> on_change) {
  lazy_.push_back(LazySource{std::move(refresh), std::move(on_change)});
}

bool GpioPort::sync() const {
  // A source's refresh sets pins through this port again: once is enough.
  if (syncing_ || lazy_.empty()) return false;
  syncing_ = true;
  bool moving = false;
  for (const LazySource& s : lazy_) moving = s.refresh() || moving;
  syncing_ = false;
  return moving;
}

std::uint32_t GpioPort::read(std::uint32_t offset, unsigned width) {
  if (offset == IDR) {
    // A pin that changes with no event behind it: polling it is no idle poll.
    if (sync()) ctx_.volatile_read();
    return levels_;
  }
  if (offset == BSRRL || offset == BSRRH) return 0;  // BSRR is write-only
  return load(offset, width);
}

void GpioPort::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  if (const std::uint32_t word = offset & ~3u; word == MODER || word == AFRL || word == AFRH) {
    for (const LazySource& s : lazy_) s.on_change();  // before a pin may change hands
  }
  switch (offset) {
    case IDR:
      return;  // read-only
    case BSRRL: {
      std::uint32_t odr = reg32(ODR);
      if (width == 4) odr &= ~(value >> 16);  // a 32-bit write carries both halves; set wins
      odr |= value & 0xFFFFu;
      set32(ODR, odr & 0xFFFFu);
      break;
    }
    case BSRRH:
      set32(ODR, reg32(ODR) & ~(value & 0xFFFFu));
      break;
    case ODR:
      set32(ODR, value & 0xFFFFu);
      break;
    case LCKR:
      return;  // pin locking is not modelled
    default:
      store(offset, value, width);
  }
  update_levels();
}

void GpioPort::drive(int pin, bool level) {
  driven_ = static_cast<std::uint16_t>(driven_ | (1u << pin));
  driven_level_ = static_cast<std::uint16_t>(level ? driven_level_ | (1u << pin) : driven_level_ & ~(1u << pin));
  update_levels();
}

void GpioPort::release(int pin) {
  driven_ = static_cast<std::uint16_t>(driven_ & ~(1u << pin));
  update_levels();
}

void GpioPort::set_alternate_output(int pin, bool level) {
  af_level_ = static_cast<std::uint16_t>(level ? af_level_ | (1u << pin) : af_level_ & ~(1u << pin));
  update_levels();
}

namespace {
// The pins whose two-bit field (MODER, PUPDR) holds `value`, one bit a pin.
std::uint32_t pins_with(std::uint32_t fields, unsigned value) {
  const std::uint32_t lo = fields & 0x55555555u;
  const std::uint32_t hi = (fields >> 1) & 0x55555555u;
  std::uint32_t x = ((value & 1u) ? lo : ~lo) & ((value & 2u) ? hi : ~hi) & 0x55555555u;
  x = (x | (x >> 1)) & 0x33333333u;
  x = (x | (x >> 2)) & 0x0F0F0F0Fu;
  x = (x | (x >> 4)) & 0x00FF00FFu;
  x = (x | (x >> 8)) & 0x0000FFFFu;
  return x;
}
}  // namespace

void GpioPort::update_levels() {
  // Each pin's level, all pins at once: an output (unless open-drain and
  // released high), else a peripheral on an alternate-function pin not
  // driven from outside, else the outside circuit, else the pull.
  // The modes are decoded again only when MODER or PUPDR changed (pin edges
  // come far more often than set-up writes).
  const std::uint32_t moder = reg32(MODER);
  const std::uint32_t pupdr = reg32(PUPDR);
  if (moder != decoded_moder_ || pupdr != decoded_pupdr_) {
    decoded_moder_ = moder;
    decoded_pupdr_ = pupdr;
    output_pins_ = pins_with(moder, kModeOutput);
    alternate_pins_ = pins_with(moder, kModeAlternate);
    pull_up_pins_ = pins_with(pupdr, kPullUp);
  }
  const std::uint32_t odr = reg32(ODR);
  const std::uint32_t out = output_pins_ & ~(reg32(OTYPER) & odr);
  std::uint32_t rest = ~out;
  const std::uint32_t alt = rest & alternate_pins_ & ~std::uint32_t{driven_};
  rest &= ~alt;
  const std::uint32_t driven = rest & driven_;
  rest &= ~std::uint32_t{driven_};
  const std::uint32_t next = ((out & odr) | (alt & af_level_) | (driven & driven_level_) |
                              (rest & pull_up_pins_)) & 0xFFFFu;
  const std::uint16_t changed = static_cast<std::uint16_t>(next ^ levels_);
  levels_ = static_cast<std::uint16_t>(next);
  // The changed pins in ascending order, each to its observers in turn.
  for (std::uint32_t rest_changed = changed; rest_changed != 0; rest_changed &= rest_changed - 1) {
    const int pin = std::countr_zero(rest_changed);
    for (auto& o : observers_) {
      if (o.pins & (1u << pin)) o.observer(pin, (next >> pin) & 1u, ctx_.now());
    }
  }
}

}  // namespace vboard
