#include "drv_spi.h"

void SPI_I2S_SendData(SPI_TypeDef* SPIx, std::uint16_t Data) { SPIx->DR = Data; }

std::uint16_t SPI_I2S_ReceiveData(SPI_TypeDef* SPIx) { return SPIx->DR; }

FlagStatus SPI_I2S_GetFlagStatus(SPI_TypeDef* SPIx, std::uint16_t SPI_I2S_FLAG) {
  return (SPIx->SR & SPI_I2S_FLAG) != 0u ? SET : RESET;
}
