#include "vboard/chip/rcc.h"

#include <bit>

#include "vboard/chip/hardware.h"

namespace vboard {

namespace {
// The value of the field `mask` of a register.
constexpr std::uint32_t field(std::uint32_t reg, std::uint32_t mask) { return (reg & mask) >> std::countr_zero(mask); }
constexpr std::uint32_t CR = offsetof(RCC_TypeDef, CR), PLLCFGR = offsetof(RCC_TypeDef, PLLCFGR),
                        CFGR = offsetof(RCC_TypeDef, CFGR);
constexpr std::uint32_t HSION = RCC_CR_HSION, HSIRDY = RCC_CR_HSIRDY, HSEON = RCC_CR_HSEON, HSERDY = RCC_CR_HSERDY,
                        HSEBYP = RCC_CR_HSEBYP, PLLON = RCC_CR_PLLON, PLLRDY = RCC_CR_PLLRDY;
enum Event { kHseReady, kPllLocked };
constexpr unsigned kAhbShift[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};
constexpr unsigned kApbShift[8] = {0, 0, 0, 0, 1, 2, 3, 4};
}  // namespace

Rcc::Rcc(const Context& context, const hw::DeviceRow& row, ClockTree& tree, std::function<void()> changed)
    : Peripheral(context, row), tree_(tree), changed_(std::move(changed)) {}

void Rcc::reset() {
  crystal_fails_ = false;
  reset_registers();  // on the internal oscillator, no divider
  tree_.set(kHsiHz, kHsiHz, kHsiHz, kHsiHz, kHsiHz);
}

std::uint32_t Rcc::read(std::uint32_t offset, unsigned width) { return load(offset, width); }

void Rcc::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  if (width != 4) {
    store(offset, value, width);
    return;
  }
  switch (offset) {
    case CR: {
      const std::uint32_t old = reg32(CR);
      std::uint32_t v = (value & ~(HSIRDY | HSERDY | PLLRDY)) | (old & (HSIRDY | HSERDY | PLLRDY));
      v |= HSIRDY;  // the internal oscillator keeps running while it is the system clock
      if ((value & HSEON) && !(old & HSEON) && !crystal_fails()) {
        ctx_.schedule(this, kHseReady, ctx_.now() + oscillators_.crystal_startup);
      }
      if (!(value & HSEON)) {
        v &= ~HSERDY;
        ctx_.cancel(this, kHseReady);
      }
      if ((value & PLLON) && !(old & PLLON)) ctx_.schedule(this, kPllLocked, ctx_.now() + oscillators_.pll_lock);
      if (!(value & PLLON)) {
        v &= ~PLLRDY;
        ctx_.cancel(this, kPllLocked);
      }
      set32(CR, v);
      update_switch();
      return;
    }
    case CFGR: {
      // Switch status bits are read-only; the switch follows the request
      // once the requested source is ready.
      set32(CFGR, (value & ~RCC_CFGR_SWS) | (reg32(CFGR) & RCC_CFGR_SWS));
      update_switch();
      recompute();
      return;
    }
    case PLLCFGR:
      set32(PLLCFGR, value);
      recompute();
      return;
    default:
      store(offset, value, width);
  }
}

void Rcc::on_event(int kind) {
  std::uint32_t cr = reg32(CR);
  if (kind == kHseReady && (cr & HSEON)) cr |= HSERDY;
  if (kind == kPllLocked && (cr & PLLON)) cr |= PLLRDY;
  set32(CR, cr);
  update_switch();
}

void Rcc::update_switch() {
  const std::uint32_t cfgr = reg32(CFGR);
  const std::uint32_t cr = reg32(CR);
  const unsigned requested = cfgr & RCC_CFGR_SW;
  bool ready = false;
  switch (requested) {
    case 0: ready = (cr & HSION) != 0; break;
    case 1: ready = (cr & HSERDY) != 0; break;
    case 2: ready = (cr & PLLRDY) != 0; break;
    default: ready = false;
  }
  if (ready && requested != switch_status()) {
    set32(CFGR, (cfgr & ~RCC_CFGR_SWS) | (requested << std::countr_zero(RCC_CFGR_SWS)));
    recompute();
  }
}

std::uint32_t Rcc::pll_hz() const {
  const std::uint32_t cfg = reg32(PLLCFGR);
  const std::uint64_t source = (cfg & RCC_PLLCFGR_PLLSRC_HSE) ? kHseHz : kHsiHz;
  const std::uint64_t m = field(cfg, RCC_PLLCFGR_PLLM);
  const std::uint64_t n = field(cfg, RCC_PLLCFGR_PLLN);
  const std::uint64_t p = std::uint64_t{field(cfg, RCC_PLLCFGR_PLLP) + 1u} * 2u;
  if (m == 0) return 0;
  return static_cast<std::uint32_t>(source * n / m / p);
}

void Rcc::recompute() {
  std::uint32_t sysclk = kHsiHz;
  switch (switch_status()) {
    case 1: sysclk = kHseHz; break;
    case 2: sysclk = pll_hz(); break;
    default: break;
  }
  const std::uint32_t cfgr = reg32(CFGR);
  const unsigned apb1_shift = kApbShift[field(cfgr, RCC_CFGR_PPRE1)];
  const std::uint32_t hclk = sysclk >> kAhbShift[field(cfgr, RCC_CFGR_HPRE)];
  const std::uint32_t pclk1 = hclk >> apb1_shift;
  const std::uint32_t pclk2 = hclk >> kApbShift[field(cfgr, RCC_CFGR_PPRE2)];
  tree_.set(sysclk, hclk, pclk1, pclk2, apb1_shift == 0 ? pclk1 : 2 * pclk1);
  changed_();
}

// ---------------------------------------------------------------------------

std::uint32_t PwrModel::read(std::uint32_t offset, unsigned width) {
  if (offset == offsetof(PWR_TypeDef, CSR)) return load(offset, width) | PWR_CSR_VOSRDY;  // the regulator is ready
  return load(offset, width);
}

void FlashInterface::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  constexpr std::uint32_t kAcr =
      FLASH_ACR_LATENCY | FLASH_ACR_PRFTEN | FLASH_ACR_ICEN | FLASH_ACR_DCEN | FLASH_ACR_ICRST | FLASH_ACR_DCRST;
  if (offset == offsetof(FLASH_TypeDef, ACR)) store(offset, value & kAcr, width);
}

}  // namespace vboard
