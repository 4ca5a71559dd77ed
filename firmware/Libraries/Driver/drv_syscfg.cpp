#include "drv_syscfg.h"

// Four lines per EXTICR register, four bits each. The field is cleared and
// written back first, then the port index is ORed in.
void SYSCFG_EXTILineConfig(std::uint8_t EXTI_PortSourceGPIOx, std::uint8_t EXTI_PinSourcex) {
  const std::uint32_t shift = 4u * (EXTI_PinSourcex & 0x03u);
  const std::uint32_t index = static_cast<std::uint32_t>(EXTI_PinSourcex) >> 2;
  const std::uint32_t cleared = SYSCFG->EXTICR[index] & ~(0xFu << shift);
  SYSCFG->EXTICR[index] = cleared;
  const std::uint32_t routed = SYSCFG->EXTICR[index] | (static_cast<std::uint32_t>(EXTI_PortSourceGPIOx) << shift);
  SYSCFG->EXTICR[index] = routed;
}
