// Exception entry at sync points: the interrupt controller names the
// exception to take; its handler is called from the firmware's vector table,
// with the core's entry and return costs around it. A handler's own
// accesses are sync points too, so a more urgent request pre-empts it there.
#include "vboard/board/board.h"

#include "vboard/chip/system_control_block.h"
#include "vectors.h"

namespace vboard {

void Board::take_pending_interrupts() {
  while (const int e = nvic_->next_to_take()) {
    nvic_->activate(e);
    ++interrupts_taken_;
    ++entries_[static_cast<std::size_t>(e)];
    poll_count_ = 0;
    if (on_exception_entry) on_exception_entry(e, now());
    if (on_observe) on_observe();
    advance(kEntryCycles * clocks_.hclk_period);
    if (void (*handler)() = g_pfnVectors[e].handler) handler();
    if (on_observe) on_observe();
    advance(kExitCycles * clocks_.hclk_period);
    if (on_exception_exit) on_exception_exit(e, now());
    nvic_->deactivate(e);
  }
}

void Board::set_irq_line(int irq, bool level) { nvic_->set_line(irq, level); }
void Board::pend_irq(int irq) { nvic_->set_pending(kExcIrq0 + irq); }

}  // namespace vboard
