#include "vboard/chip/exti.h"

#include "vboard/chip/hardware.h"

namespace vboard {

// ---------------------------------------------------------------------------
void Syscfg::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  switch (offset) {
    case kMEMRMP:
      store(offset, value & SYSCFG_MEMRMP_MEM_MODE, width);
      return;
    case kPMC:
      store(offset, value & SYSCFG_PMC_MII_RMII, width);
      return;
    case kCMPCR:
      // The compensation cell is ready as soon as it is powered.
      store(offset, (value & SYSCFG_CMPCR_CMP_PD) ? SYSCFG_CMPCR_CMP_PD | SYSCFG_CMPCR_READY : 0u, width);
      return;
    default:
      if (offset >= kEXTICR1 && offset < kEXTICR1 + sizeof(SYSCFG_TypeDef::EXTICR)) {
        store(offset, value & 0xFFFFu, width);  // four lines a register
        if (exti_ != nullptr) exti_->update_interest();
        return;
      }
      store(offset, value, width);
  }
}

char Syscfg::port_of_line(int line) const {
  const std::uint32_t cr = reg32(kEXTICR1 + 4u * static_cast<std::uint32_t>(line / 4));
  return static_cast<char>('A' + ((cr >> (4 * (line % 4))) & 0xFu));
}

// ---------------------------------------------------------------------------
Exti::Exti(const Context& context, const hw::DeviceRow& row, Nvic& nvic, Syscfg& syscfg, GpioPorts& ports)
    : Peripheral(context, row), nvic_(nvic), syscfg_(syscfg), ports_(ports) {
  syscfg.attach(*this);
}

int Exti::irq_of_line(int line) {
  for (const hw::ExtiIrq& g : hw::kExtiIrqs) {
    if (line >= 0 && line < 16 && (g.lines >> line) & 1u) return g.irq;
  }
  return -1;
}

void Exti::reset() {
  reset_registers();
  irq_level_.fill(false);
  triggers_.fill(0);
  // The ports reset before this model and dropped their observers.
  for (char port : {'A', 'B', 'C'}) {
    observer_[static_cast<std::size_t>(port - 'A')] =
        ports_[port].observe([this, port](int pin, bool level, Ticks) { on_pin(port, pin, level); }, 0);
  }
  update_interest();
}

void Exti::update_interest() {
  const std::uint32_t selected = (reg32(kRTSR) | reg32(kFTSR)) & 0xFFFFu;
  for (char port : {'A', 'B', 'C'}) {
    std::uint16_t pins = 0;
    for (int line = 0; line < 16; ++line) {
      if (((selected >> line) & 1u) && syscfg_.port_of_line(line) == port)
        pins = static_cast<std::uint16_t>(pins | (1u << line));
    }
    ports_[port].set_interest(observer_[static_cast<std::size_t>(port - 'A')], pins);
  }
}

void Exti::on_pin(char port, int pin, bool level) {
  if (syscfg_.port_of_line(pin) != port) return;
  edge(pin, level);
}

void Exti::edge(int line, bool rising) {
  if (line < 0 || line > 22) return;
  const std::uint32_t bit = 1u << line;
  if ((reg32(rising ? kRTSR : kFTSR) & bit) == 0) return;
  if (reg32(kIMR) & bit) ++triggers_.at(static_cast<std::size_t>(line));
  set_pending(bit);
}

void Exti::set_pending(std::uint32_t bits) {
  // Only an unmasked line records its request.
  const std::uint32_t taken = bits & reg32(kIMR);
  if (taken == 0) return;
  set32(kPR, reg32(kPR) | taken);
  update_irq_lines();
}

void Exti::update_irq_lines() {
  const std::uint32_t active = reg32(kPR) & reg32(kIMR);
  for (std::size_t i = 0; i < std::size(hw::kExtiIrqs); ++i) {
    const bool level = (active & hw::kExtiIrqs[i].lines) != 0;
    if (level == irq_level_.at(i)) continue;
    irq_level_[i] = level;
    nvic_.set_line(hw::kExtiIrqs[i].irq, level);
  }
}

std::uint32_t Exti::read(std::uint32_t offset, unsigned width) { return load(offset, width); }

void Exti::write(std::uint32_t offset, std::uint32_t value, unsigned width) {
  (void)width;
  value &= kLines;
  switch (offset) {
    case kPR:
      // Write 1 to clear; the software request of a cleared line goes too.
      set32(kPR, reg32(kPR) & ~value);
      set32(kSWIER, reg32(kSWIER) & ~value);
      break;
    case kSWIER: {
      // A 1 written over a 0 requests the line as an edge would.
      const std::uint32_t raised = value & ~reg32(kSWIER);
      set32(kSWIER, reg32(kSWIER) | value);
      set_pending(raised);
      break;
    }
    case kIMR:
    case kEMR:
      set32(offset, value);
      break;
    case kRTSR:
    case kFTSR:
      set32(offset, value);
      update_interest();
      break;
    default:
      return;
  }
  update_irq_lines();
}

}  // namespace vboard
