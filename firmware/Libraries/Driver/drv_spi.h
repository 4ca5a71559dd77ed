// SPI operations.
#pragma once

#include <cstdint>

#include "device.h"

inline constexpr std::uint16_t SPI_I2S_FLAG_RXNE = 0x0001u;
inline constexpr std::uint16_t SPI_I2S_FLAG_TXE = 0x0002u;
inline constexpr std::uint16_t SPI_I2S_FLAG_BSY = 0x0080u;

void SPI_I2S_SendData(SPI_TypeDef* SPIx, std::uint16_t Data);
std::uint16_t SPI_I2S_ReceiveData(SPI_TypeDef* SPIx);
FlagStatus SPI_I2S_GetFlagStatus(SPI_TypeDef* SPIx, std::uint16_t SPI_I2S_FLAG);
