// External interrupt controller (EXTI) and the system configuration
// controller's line routing (SYSCFG).
//
// EXTI: IMR, EMR, RTSR, FTSR, SWIER and PR (write 1 to clear) for lines 0 to
// 22. Lines 0 to 15 come from the GPIO pin of the same number on the port
// that SYSCFG's EXTICR selects; a selected edge of that pin sets the line's
// pending bit if the line is unmasked. The interrupt requests EXTI0 to EXTI4
// (IRQ 6 to 10), EXTI9_5 (23) and EXTI15_10 (40) are raised while a pending,
// unmasked line of their group exists. Events (EMR) wake nothing here. EXTI
// has no clock gate.
//
// SYSCFG: MEMRMP, PMC, EXTICR1..4 (four bits a line, 0 port A, 1 port B, 2
// port C ...) and CMPCR, behind the APB2 clock gate (APB2ENR bit 14).
#pragma once

#include <array>
#include <cstdint>

#include "device.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/peripheral.h"
#include "vboard/chip/system_control_block.h"

namespace vboard {

class Exti;

class Syscfg : public Peripheral {
 public:
  using Peripheral::Peripheral;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  // The EXTI that follows the routing (it attaches from its constructor).
  void attach(Exti& exti) { exti_ = &exti; }

  // Port letter routed to EXTI line 0..15.
  char port_of_line(int line) const;

  static constexpr std::uint32_t kMEMRMP = offsetof(SYSCFG_TypeDef, MEMRMP), kPMC = offsetof(SYSCFG_TypeDef, PMC),
                                 kEXTICR1 = offsetof(SYSCFG_TypeDef, EXTICR), kCMPCR = offsetof(SYSCFG_TypeDef, CMPCR);

 private:
  Exti* exti_ = nullptr;
};

class Exti : public Peripheral {
 public:
  // Lines 0 to 15 follow the pins of `ports` as `syscfg` routes them; the
  // requests go to `nvic`.
  Exti(const Context& context, const hw::DeviceRow& row, Nvic& nvic, Syscfg& syscfg, GpioPorts& ports);
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, std::uint32_t value, unsigned width) override;
  void reset() override;

  // ---- Test-facing side ----
  std::uint32_t pending_lines() const { return reg32(kPR); }
  bool pending(int line) const { return (reg32(kPR) >> line) & 1u; }
  // A selected edge on a line from outside the pins (lines 16 to 22, or a
  // test standing in for a pin).
  void edge(int line, bool rising);
  // Pending bits set by edges since reset, per line.
  std::uint64_t triggers(int line) const { return triggers_.at(static_cast<std::size_t>(line)); }

  static constexpr std::uint32_t kIMR = offsetof(EXTI_TypeDef, IMR), kEMR = offsetof(EXTI_TypeDef, EMR),
                                 kRTSR = offsetof(EXTI_TypeDef, RTSR), kFTSR = offsetof(EXTI_TypeDef, FTSR),
                                 kSWIER = offsetof(EXTI_TypeDef, SWIER), kPR = offsetof(EXTI_TypeDef, PR);
  static constexpr std::uint32_t kLines = EXTI_LINES;
  // Interrupt number of the request that serves a line (-1: none modelled).
  static int irq_of_line(int line);
  // Tells the ports which of their pins can raise a line now (an edge is
  // selected and SYSCFG routes the line to that port); SYSCFG calls it when
  // the routing changes.
  void update_interest();

 private:
  void on_pin(char port, int pin, bool level);
  void set_pending(std::uint32_t bits);
  void update_irq_lines();

  Nvic& nvic_;
  Syscfg& syscfg_;
  GpioPorts& ports_;
  std::array<int, 3> observer_{};  // handles at ports A, B, C
  std::array<bool, 7> irq_level_{};  // EXTI0..4, EXTI9_5, EXTI15_10
  std::array<std::uint64_t, 23> triggers_{};
};

}  // namespace vboard
