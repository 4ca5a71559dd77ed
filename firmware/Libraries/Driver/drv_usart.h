// USART operations.
#pragma once

#include <cstddef>
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

inline constexpr std::uint16_t USART_WordLength_8b = 0x0000u;
inline constexpr std::uint16_t USART_WordLength_9b = 0x1000u;
inline constexpr std::uint16_t USART_StopBits_1 = 0x0000u;
inline constexpr std::uint16_t USART_StopBits_0_5 = 0x1000u;
inline constexpr std::uint16_t USART_StopBits_2 = 0x2000u;
inline constexpr std::uint16_t USART_StopBits_1_5 = 0x3000u;
inline constexpr std::uint16_t USART_Parity_No = 0x0000u;
inline constexpr std::uint16_t USART_Parity_Even = 0x0400u;
inline constexpr std::uint16_t USART_Parity_Odd = 0x0600u;
inline constexpr std::uint16_t USART_Mode_Rx = 0x0004u;
inline constexpr std::uint16_t USART_Mode_Tx = 0x0008u;
inline constexpr std::uint16_t USART_HardwareFlowControl_None = 0x0000u;
inline constexpr std::uint16_t USART_HardwareFlowControl_RTS = 0x0100u;
inline constexpr std::uint16_t USART_HardwareFlowControl_CTS = 0x0200u;
inline constexpr std::uint16_t USART_HardwareFlowControl_RTS_CTS = 0x0300u;

struct USART_InitTypeDef {
  std::uint32_t USART_BaudRate;  // bits per second
  std::uint16_t USART_WordLength;
  std::uint16_t USART_StopBits;
  std::uint16_t USART_Parity;
  std::uint16_t USART_Mode;
  std::uint16_t USART_HardwareFlowControl;
};
static_assert(offsetof(USART_InitTypeDef, USART_BaudRate) == 0);
static_assert(offsetof(USART_InitTypeDef, USART_WordLength) == 4);
static_assert(offsetof(USART_InitTypeDef, USART_StopBits) == 6);
static_assert(offsetof(USART_InitTypeDef, USART_Parity) == 8);
static_assert(offsetof(USART_InitTypeDef, USART_Mode) == 10);
static_assert(offsetof(USART_InitTypeDef, USART_HardwareFlowControl) == 12);
static_assert(sizeof(USART_InitTypeDef) == 16);

// Configuration.
void USART_Init(USART_TypeDef* USARTx, const USART_InitTypeDef* USART_InitStruct);
void USART_ITConfig(USART_TypeDef* USARTx, std::uint16_t USART_IT, FunctionalState NewState);
void USART_Cmd(USART_TypeDef* USARTx, FunctionalState NewState);

// Run-time operations.
FlagStatus USART_GetFlagStatus(USART_TypeDef* USARTx, std::uint16_t USART_FLAG);
ITStatus USART_GetITStatus(USART_TypeDef* USARTx, std::uint16_t USART_IT);
