// USART operations.
#pragma once

#include <cstdint>

#include "device.h"

inline constexpr std::uint16_t USART_FLAG_ORE = 0x0008u;
inline constexpr std::uint16_t USART_FLAG_IDLE = 0x0010u;
inline constexpr std::uint16_t USART_FLAG_RXNE = 0x0020u;
inline constexpr std::uint16_t USART_FLAG_TC = 0x0040u;
inline constexpr std::uint16_t USART_FLAG_TXE = 0x0080u;

// Interrupt source codes: bits 7..5 select the control register (1 CR1,
// 2 CR2, otherwise CR3), bits 4..0 the enable bit, bits 15..8 the status bit.
inline constexpr std::uint16_t USART_IT_IDLE = 0x0424u;
inline constexpr std::uint16_t USART_IT_RXNE = 0x0525u;
inline constexpr std::uint16_t USART_IT_TC = 0x0626u;
inline constexpr std::uint16_t USART_IT_TXE = 0x0727u;

FlagStatus USART_GetFlagStatus(USART_TypeDef* USARTx, std::uint16_t USART_FLAG);
ITStatus USART_GetITStatus(USART_TypeDef* USARTx, std::uint16_t USART_IT);
