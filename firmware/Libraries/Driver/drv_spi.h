// SPI operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device.h"

inline constexpr std::uint16_t SPI_I2S_FLAG_RXNE = 0x0001u;
inline constexpr std::uint16_t SPI_I2S_FLAG_TXE = 0x0002u;
inline constexpr std::uint16_t SPI_I2S_FLAG_BSY = 0x0080u;

// Initialisation record values, each already at its CR1 position.
inline constexpr std::uint16_t SPI_Direction_2Lines_FullDuplex = 0x0000u;
inline constexpr std::uint16_t SPI_Mode_Master = 0x0104u;  // MSTR plus the internal slave select SSI
inline constexpr std::uint16_t SPI_Mode_Slave = 0x0000u;
inline constexpr std::uint16_t SPI_DataSize_8b = 0x0000u;
inline constexpr std::uint16_t SPI_DataSize_16b = 0x0800u;
inline constexpr std::uint16_t SPI_CPOL_Low = 0x0000u;
inline constexpr std::uint16_t SPI_CPOL_High = 0x0002u;
inline constexpr std::uint16_t SPI_CPHA_1Edge = 0x0000u;
inline constexpr std::uint16_t SPI_CPHA_2Edge = 0x0001u;
inline constexpr std::uint16_t SPI_NSS_Soft = 0x0200u;  // software slave management, SSM
inline constexpr std::uint16_t SPI_NSS_Hard = 0x0000u;
inline constexpr std::uint16_t SPI_BaudRatePrescaler_2 = 0x0000u;
inline constexpr std::uint16_t SPI_BaudRatePrescaler_4 = 0x0008u;
inline constexpr std::uint16_t SPI_BaudRatePrescaler_8 = 0x0010u;
inline constexpr std::uint16_t SPI_BaudRatePrescaler_16 = 0x0018u;
inline constexpr std::uint16_t SPI_BaudRatePrescaler_32 = 0x0020u;
inline constexpr std::uint16_t SPI_BaudRatePrescaler_64 = 0x0028u;
inline constexpr std::uint16_t SPI_BaudRatePrescaler_128 = 0x0030u;
inline constexpr std::uint16_t SPI_BaudRatePrescaler_256 = 0x0038u;
inline constexpr std::uint16_t SPI_FirstBit_MSB = 0x0000u;
inline constexpr std::uint16_t SPI_FirstBit_LSB = 0x0080u;

struct SPI_InitTypeDef {
  std::uint16_t SPI_Direction;
  std::uint16_t SPI_Mode;
  std::uint16_t SPI_DataSize;
  std::uint16_t SPI_CPOL;
  std::uint16_t SPI_CPHA;
  std::uint16_t SPI_NSS;
  std::uint16_t SPI_BaudRatePrescaler;
  std::uint16_t SPI_FirstBit;
  std::uint16_t SPI_CRCPolynomial;  // goes to CRCPR
};
static_assert(offsetof(SPI_InitTypeDef, SPI_Direction) == 0);
static_assert(offsetof(SPI_InitTypeDef, SPI_Mode) == 2);
static_assert(offsetof(SPI_InitTypeDef, SPI_DataSize) == 4);
static_assert(offsetof(SPI_InitTypeDef, SPI_CPOL) == 6);
static_assert(offsetof(SPI_InitTypeDef, SPI_CPHA) == 8);
static_assert(offsetof(SPI_InitTypeDef, SPI_NSS) == 10);
static_assert(offsetof(SPI_InitTypeDef, SPI_BaudRatePrescaler) == 12);
static_assert(offsetof(SPI_InitTypeDef, SPI_FirstBit) == 14);
static_assert(offsetof(SPI_InitTypeDef, SPI_CRCPolynomial) == 16);
static_assert(sizeof(SPI_InitTypeDef) == 18);

// Configuration.
void SPI_Init(SPI_TypeDef* SPIx, const SPI_InitTypeDef* SPI_InitStruct);
void SPI_Cmd(SPI_TypeDef* SPIx, FunctionalState NewState);

// Run-time operations.
void SPI_I2S_SendData(SPI_TypeDef* SPIx, std::uint16_t Data);
std::uint16_t SPI_I2S_ReceiveData(SPI_TypeDef* SPIx);
FlagStatus SPI_I2S_GetFlagStatus(SPI_TypeDef* SPIx, std::uint16_t SPI_I2S_FLAG);
