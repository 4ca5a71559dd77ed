#include "vboard/rcc_model.h"

#include "vboard/board.h"

namespace vboard {

namespace {
constexpr std::uint32_t CR = 0x00, PLLCFGR = 0x04, CFGR = 0x08, CIR = 0x0C;
constexpr std::uint32_t HSION = 1u << 0, HSIRDY = 1u << 1, HSEON = 1u << 16, HSERDY = 1u << 17, HSEBYP = 1u << 18,
                        PLLON = 1u << 24, PLLRDY = 1u << 25;
enum Event { kHseReady, kPllLocked };
constexpr unsigned kAhbShift[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};
constexpr unsigned kApbShift[8] = {0, 0, 0, 0, 1, 2, 3, 4};
}  // namespace

Rcc::Rcc(Board& board) : Peripheral(board, "RCC", 0x40023800u, 0x88) {}

void Rcc::reset() {
  set32(CR, 0x00000083u | HSIRDY);  // HSION, HSIRDY, HSITRIM 16
  set32(PLLCFGR, 0x24003010u);
  set32(CFGR, 0);
  set32(CIR, 0);
  set32(0x30, 0x00100000u);  // AHB1ENR: CCM data RAM clock on
  sysclk_ = hclk_ = pclk1_ = pclk2_ = kHsiHz;
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
      if ((value & HSEON) && !(old & HSEON) && !board_.config().crystal_fails) {
        board_.schedule(this, kHseReady, board_.now() + board_.config().crystal_startup);
      }
      if (!(value & HSEON)) {
        v &= ~HSERDY;
        board_.cancel(this, kHseReady);
      }
      if ((value & PLLON) && !(old & PLLON)) board_.schedule(this, kPllLocked, board_.now() + board_.config().pll_lock);
      if (!(value & PLLON)) {
        v &= ~PLLRDY;
        board_.cancel(this, kPllLocked);
      }
      set32(CR, v);
      update_switch();
      return;
    }
    case CFGR: {
      // Switch status bits are read-only; the switch follows the request
      // once the requested source is ready.
      set32(CFGR, (value & ~0x0000000Cu) | (reg32(CFGR) & 0x0000000Cu));
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
  const unsigned requested = cfgr & 3u;
  bool ready = false;
  switch (requested) {
    case 0: ready = (cr & HSION) != 0; break;
    case 1: ready = (cr & HSERDY) != 0; break;
    case 2: ready = (cr & PLLRDY) != 0; break;
    default: ready = false;
  }
  if (ready && requested != switch_status()) {
    set32(CFGR, (cfgr & ~0x0000000Cu) | (requested << 2));
    recompute();
  }
}

std::uint32_t Rcc::pll_hz() const {
  const std::uint32_t cfg = reg32(PLLCFGR);
  const std::uint64_t source = (cfg & (1u << 22)) ? kHseHz : kHsiHz;
  const std::uint64_t m = cfg & 0x3Fu;
  const std::uint64_t n = (cfg >> 6) & 0x1FFu;
  const std::uint64_t p = std::uint64_t{((cfg >> 16) & 3u) + 1u} * 2u;
  if (m == 0) return 0;
  return static_cast<std::uint32_t>(source * n / m / p);
}

void Rcc::recompute() {
  switch (switch_status()) {
    case 1: sysclk_ = kHseHz; break;
    case 2: sysclk_ = pll_hz(); break;
    default: sysclk_ = kHsiHz; break;
  }
  hclk_ = sysclk_ >> kAhbShift[(reg32(CFGR) >> 4) & 0xFu];
  pclk1_ = hclk_ >> kApbShift[(reg32(CFGR) >> 10) & 7u];
  pclk2_ = hclk_ >> kApbShift[(reg32(CFGR) >> 13) & 7u];
  board_.clocks_changed();
}
std::uint32_t Rcc::apb1_timer_hz() const { return kApbShift[(reg32(CFGR) >> 10) & 7u] == 0 ? pclk1_hz() : 2 * pclk1_hz(); }
Ticks Rcc::hclk_period() const { return period_of(hclk_hz()); }
Ticks Rcc::pclk1_period() const { return period_of(pclk1_hz()); }
Ticks Rcc::pclk2_period() const { return period_of(pclk2_hz()); }
Ticks Rcc::apb1_timer_period() const { return period_of(apb1_timer_hz()); }

// ---------------------------------------------------------------------------
PwrModel::PwrModel(Board& board) : Peripheral(board, "PWR", 0x40007000u, 0x08) {
  set_clock_gate(0x40, 1u << 28);
}

void PwrModel::reset() { set32(0x00, 0x0000C000u); }

std::uint32_t PwrModel::read(std::uint32_t offset, unsigned width) {
  if (offset == 0x04) return load(offset, width) | (1u << 14);  // VOSRDY: regulator ready
  return load(offset, width);
}

FlashInterface::FlashInterface(Board& board) : Peripheral(board, "FLASH", 0x40023C00u, 0x18) {}

void FlashInterface::reset() { set32(0x14, 0x0FFFAAEDu); }

void FlashInterface::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  if (offset == 0x00) store(offset, value & 0x00001F0Fu, width);  // ACR: latency, prefetch, caches
}

}  // namespace vboard
