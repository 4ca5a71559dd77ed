// What only the emulated core's interrupt controller and system control
// block can show: the key AIRCR answers with, a state that is neither
// ENABLE nor DISABLE, and the board's start-up plan as the hardware holds it.
// The encoding cases shared with the host are in tests/shared.
#include <cstdint>

#include "checks.h"
#include "device.h"
#include "drv_misc.h"
#include "report.h"

namespace armtest {
namespace {

constexpr std::uint8_t kChannels[] = {EXTI9_5_IRQn, USART3_IRQn, TIM6_DAC_IRQn, TIM3_IRQn, FPU_IRQn};

std::uint32_t enabled(std::uint8_t channel) { return (NVIC->ISER[channel >> 5] >> (channel & 31u)) & 1u; }

}  // namespace

void check_nvic() {
  Group group("nvic");

  // Every grouping value reads back in AIRCR's PRIGROUP field, with every
  // other writable bit of the low half 0.
  constexpr std::uint32_t kGroupings[] = {NVIC_PriorityGroup_0, NVIC_PriorityGroup_1, NVIC_PriorityGroup_2,
                                          NVIC_PriorityGroup_3, NVIC_PriorityGroup_4};
  int index = 0;
  for (const std::uint32_t grouping : kGroupings) {
    group.at(index++, "AIRCR");
    NVIC_PriorityGroupConfig(grouping);
    const std::uint32_t aircr = SCB->AIRCR;
    group.equal("AIRCR low half", static_cast<std::uint32_t>(aircr & 0xFFFFu), grouping);
    // Reads return the key's complement 0xFA05, proof that the write was accepted.
    group.equal("AIRCR VECTKEYSTAT", static_cast<std::uint32_t>(aircr >> 16), 0xFA05u);
  }

  // Any non-zero state enables.
  group.at(index++, "state 0x80");
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1);
  NVIC_InitTypeDef init = {.NVIC_IRQChannel = TIM6_DAC_IRQn,
                           .NVIC_IRQChannelPreemptionPriority = 2,
                           .NVIC_IRQChannelSubPriority = 1,
                           .NVIC_IRQChannelCmd = static_cast<FunctionalState>(0x80)};
  NVIC_Init(&init);
  group.equal("ISER bit", enabled(TIM6_DAC_IRQn), 1u);
  group.equal("IP byte", static_cast<std::uint8_t>(NVIC->IP[TIM6_DAC_IRQn]), std::uint8_t{0x10});

  // The start-up sequence of the board: grouping 2 first, then grouping 1
  // before the three channels. Records keep their meaning only under the
  // grouping they are passed with.
  group.at(index++, "start-up plan");
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_2);
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1);
  constexpr NVIC_InitTypeDef kPlan[] = {
      {EXTI9_5_IRQn, 2, 3, ENABLE}, {USART3_IRQn, 3, 3, ENABLE}, {TIM6_DAC_IRQn, 2, 1, ENABLE}};
  for (NVIC_InitTypeDef p : kPlan) {
    NVIC_Init(&p);
  }
  group.equal("AIRCR PRIGROUP", static_cast<std::uint32_t>(SCB->AIRCR & 0x700u), 0x600u);
  group.equal("IP[23]", static_cast<std::uint8_t>(NVIC->IP[EXTI9_5_IRQn]), std::uint8_t{0x30});
  group.equal("IP[39]", static_cast<std::uint8_t>(NVIC->IP[USART3_IRQn]), std::uint8_t{0xB0});
  group.equal("IP[54]", static_cast<std::uint8_t>(NVIC->IP[TIM6_DAC_IRQn]), std::uint8_t{0x10});
  group.equal("ISER[0]", static_cast<std::uint32_t>(NVIC->ISER[0] & (1u << 23)), 1u << 23);
  group.equal("ISER[1]", static_cast<std::uint32_t>(NVIC->ISER[1] & ((1u << 7) | (1u << 22))), (1u << 7) | (1u << 22));

  // Leave the controller quiet for the groups that follow.
  for (const std::uint8_t channel : kChannels) {
    NVIC->ICER[channel >> 5] = 1u << (channel & 31u);
  }
}

}  // namespace armtest
