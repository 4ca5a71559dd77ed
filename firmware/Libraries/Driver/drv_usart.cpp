#include "drv_usart.h"

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
