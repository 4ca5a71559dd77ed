#include "drv_usart.h"

#include <cstddef>

#include "drv_rcc.h"

FlagStatus USART_GetFlagStatus(USART_TypeDef* USARTx, std::uint16_t USART_FLAG) {
  return (USARTx->SR & USART_FLAG) != 0u ? SET : RESET;
}

ITStatus USART_GetITStatus(USART_TypeDef* USARTx, std::uint16_t USART_IT) {
  const std::uint32_t register_select = (USART_IT & 0x00E0u) >> 5;
  const std::uint32_t enable_bit = 1u << (USART_IT & 0x001Fu);
  std::uint32_t control;
  if (register_select == 1u) {
    control = USARTx->CR1;
  } else if (register_select == 2u) {
    control = USARTx->CR2;
  } else {
    control = USARTx->CR3;
  }
  const std::uint32_t status_bit = 1u << (USART_IT >> 8);
  return ((control & enable_bit) != 0u && (USARTx->SR & status_bit) != 0u) ? SET : RESET;
}

namespace {
// A quotient by 0 is 0, as the core's divide instruction gives it (divide-by-
// zero trapping stays off), so that both builds agree on a baud rate of 0.
std::uint32_t quotient(std::uint32_t dividend, std::uint32_t divisor) {
  return divisor == 0u ? 0u : dividend / divisor;
}
}  // namespace

void USART_Init(USART_TypeDef* USARTx, const USART_InitTypeDef* USART_InitStruct) {
  std::uint16_t cr2 = USARTx->CR2;
  cr2 = static_cast<std::uint16_t>(cr2 & ~USART_CR2_STOP);
  cr2 = static_cast<std::uint16_t>(cr2 | USART_InitStruct->USART_StopBits);
  USARTx->CR2 = cr2;

  std::uint16_t cr1 = USARTx->CR1;
  cr1 = static_cast<std::uint16_t>(cr1 & ~(USART_CR1_M | USART_CR1_PCE | USART_CR1_PS | USART_CR1_TE | USART_CR1_RE));
  cr1 = static_cast<std::uint16_t>(cr1 | USART_InitStruct->USART_WordLength | USART_InitStruct->USART_Parity |
                                   USART_InitStruct->USART_Mode);
  USARTx->CR1 = cr1;

  std::uint16_t cr3 = USARTx->CR3;
  cr3 = static_cast<std::uint16_t>(cr3 & ~(USART_CR3_RTSE | USART_CR3_CTSE));
  cr3 = static_cast<std::uint16_t>(cr3 | USART_InitStruct->USART_HardwareFlowControl);
  USARTx->CR3 = cr3;

  // The divider follows the bus clock as the clock registers give it now.
  RCC_ClocksTypeDef clocks;
  RCC_GetClocksFreq(&clocks);
  const std::uintptr_t address = port::address_of(USARTx);
  const std::uint32_t bus = (address == USART1_BASE || address == USART6_BASE) ? clocks.PCLK2_Frequency
                                                                                : clocks.PCLK1_Frequency;

  // Divider in hundredths: 100 x bus / (16 x baud), or / (8 x baud) with
  // 8-times oversampling.
  const std::uint32_t baud = USART_InitStruct->USART_BaudRate;
  const bool over8 = (USARTx->CR1 & USART_CR1_OVER8) != 0u;
  const std::uint32_t divider = over8 ? quotient(25u * bus, 2u * baud) : quotient(25u * bus, 4u * baud);

  std::uint32_t mantissa = divider / 100u;
  const std::uint32_t hundredths = divider - 100u * mantissa;
  // The fraction rounded to the nearest eighth or sixteenth; a fraction that
  // rounds up to a whole unit carries into the mantissa.
  const std::uint32_t steps = over8 ? 8u : 16u;
  std::uint32_t fraction = (hundredths * steps + 50u) / 100u;
  if (fraction == steps) {
    fraction = 0;
    mantissa = mantissa + 1u;
  }
  USARTx->BRR = static_cast<std::uint16_t>((mantissa << 4) | fraction);
}

// The selected control register is read and written as a 32-bit word.
void USART_ITConfig(USART_TypeDef* USARTx, std::uint16_t USART_IT, FunctionalState NewState) {
  const std::uint32_t register_select = (USART_IT & 0x00E0u) >> 5;
  const std::uint32_t enable_bit = 1u << (USART_IT & 0x001Fu);
  const std::uintptr_t base = port::address_of(USARTx);
  std::uintptr_t address;
  if (register_select == 1u) {
    address = base + offsetof(USART_TypeDef, CR1);
  } else if (register_select == 2u) {
    address = base + offsetof(USART_TypeDef, CR2);
  } else {
    address = base + offsetof(USART_TypeDef, CR3);
  }
  auto& control = port::reg_at<std::uint32_t>(address);
  if (NewState != DISABLE) {
    control = control | enable_bit;
  } else {
    control = control & ~enable_bit;
  }
}

void USART_Cmd(USART_TypeDef* USARTx, FunctionalState NewState) {
  if (NewState != DISABLE) {
    USARTx->CR1 = static_cast<std::uint16_t>(USARTx->CR1 | USART_CR1_UE);
  } else {
    USARTx->CR1 = static_cast<std::uint16_t>(USARTx->CR1 & ~USART_CR1_UE);
  }
}
