// GPIO port operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device.h"

inline constexpr std::uint16_t GPIO_Pin_0 = 0x0001u;
inline constexpr std::uint16_t GPIO_Pin_1 = 0x0002u;
inline constexpr std::uint16_t GPIO_Pin_2 = 0x0004u;
inline constexpr std::uint16_t GPIO_Pin_3 = 0x0008u;
inline constexpr std::uint16_t GPIO_Pin_4 = 0x0010u;
inline constexpr std::uint16_t GPIO_Pin_5 = 0x0020u;
inline constexpr std::uint16_t GPIO_Pin_6 = 0x0040u;
inline constexpr std::uint16_t GPIO_Pin_7 = 0x0080u;
inline constexpr std::uint16_t GPIO_Pin_8 = 0x0100u;
inline constexpr std::uint16_t GPIO_Pin_9 = 0x0200u;
inline constexpr std::uint16_t GPIO_Pin_10 = 0x0400u;
inline constexpr std::uint16_t GPIO_Pin_11 = 0x0800u;
inline constexpr std::uint16_t GPIO_Pin_12 = 0x1000u;
inline constexpr std::uint16_t GPIO_Pin_13 = 0x2000u;
inline constexpr std::uint16_t GPIO_Pin_14 = 0x4000u;
inline constexpr std::uint16_t GPIO_Pin_15 = 0x8000u;

inline constexpr std::uint16_t GPIO_PinSource0 = 0;
inline constexpr std::uint16_t GPIO_PinSource1 = 1;
inline constexpr std::uint16_t GPIO_PinSource2 = 2;
inline constexpr std::uint16_t GPIO_PinSource3 = 3;
inline constexpr std::uint16_t GPIO_PinSource4 = 4;
inline constexpr std::uint16_t GPIO_PinSource5 = 5;
inline constexpr std::uint16_t GPIO_PinSource6 = 6;
inline constexpr std::uint16_t GPIO_PinSource7 = 7;
inline constexpr std::uint16_t GPIO_PinSource8 = 8;
inline constexpr std::uint16_t GPIO_PinSource9 = 9;
inline constexpr std::uint16_t GPIO_PinSource10 = 10;
inline constexpr std::uint16_t GPIO_PinSource11 = 11;
inline constexpr std::uint16_t GPIO_PinSource12 = 12;
inline constexpr std::uint16_t GPIO_PinSource13 = 13;
inline constexpr std::uint16_t GPIO_PinSource14 = 14;
inline constexpr std::uint16_t GPIO_PinSource15 = 15;

// Alternate functions used on this board.
inline constexpr std::uint8_t GPIO_AF_TIM2 = 1;
inline constexpr std::uint8_t GPIO_AF_TIM3 = 2;
inline constexpr std::uint8_t GPIO_AF_TIM5 = 2;
inline constexpr std::uint8_t GPIO_AF_SPI2 = 5;
inline constexpr std::uint8_t GPIO_AF_USART1 = 7;
inline constexpr std::uint8_t GPIO_AF_USART2 = 7;
inline constexpr std::uint8_t GPIO_AF_USART3 = 7;
inline constexpr std::uint8_t GPIO_AF_USART6 = 8;

enum GPIOMode_TypeDef : std::uint8_t {
  GPIO_Mode_IN = 0,
  GPIO_Mode_OUT = 1,
  GPIO_Mode_AF = 2,
  GPIO_Mode_AN = 3,
};

enum GPIOSpeed_TypeDef : std::uint8_t {
  GPIO_Low_Speed = 0,
  GPIO_Medium_Speed = 1,
  GPIO_Fast_Speed = 2,
  GPIO_High_Speed = 3,
  GPIO_Speed_2MHz = GPIO_Low_Speed,
  GPIO_Speed_25MHz = GPIO_Medium_Speed,
  GPIO_Speed_50MHz = GPIO_Fast_Speed,
  GPIO_Speed_100MHz = GPIO_High_Speed,
};

enum GPIOOType_TypeDef : std::uint8_t {
  GPIO_OType_PP = 0,  // push-pull
  GPIO_OType_OD = 1,  // open drain
};

enum GPIOPuPd_TypeDef : std::uint8_t {
  GPIO_PuPd_NOPULL = 0,
  GPIO_PuPd_UP = 1,
  GPIO_PuPd_DOWN = 2,
};

struct GPIO_InitTypeDef {
  std::uint32_t GPIO_Pin;  // bit n selects pin n
  GPIOMode_TypeDef GPIO_Mode;
  GPIOSpeed_TypeDef GPIO_Speed;  // read for output and alternate-function pins only
  GPIOOType_TypeDef GPIO_OType;  // read for output and alternate-function pins only
  GPIOPuPd_TypeDef GPIO_PuPd;
};
static_assert(offsetof(GPIO_InitTypeDef, GPIO_Pin) == 0);
static_assert(offsetof(GPIO_InitTypeDef, GPIO_Mode) == 4);
static_assert(offsetof(GPIO_InitTypeDef, GPIO_Speed) == 5);
static_assert(offsetof(GPIO_InitTypeDef, GPIO_OType) == 6);
static_assert(offsetof(GPIO_InitTypeDef, GPIO_PuPd) == 7);
static_assert(sizeof(GPIO_InitTypeDef) == 8);

// Configuration.
void GPIO_Init(GPIO_TypeDef* GPIOx, const GPIO_InitTypeDef* GPIO_InitStruct);
void GPIO_PinAFConfig(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_PinSource, std::uint8_t GPIO_AF);

// Run-time operations: one register access each.
void GPIO_SetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
void GPIO_ResetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
void GPIO_ToggleBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
std::uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
