#include "drv_spi.h"

void SPI_I2S_SendData(SPI_TypeDef* SPIx, std::uint16_t Data) { SPIx->DR = Data; }

std::uint16_t SPI_I2S_ReceiveData(SPI_TypeDef* SPIx) { return SPIx->DR; }

FlagStatus SPI_I2S_GetFlagStatus(SPI_TypeDef* SPIx, std::uint16_t SPI_I2S_FLAG) {
  return (SPIx->SR & SPI_I2S_FLAG) != 0u ? SET : RESET;
}

void SPI_Init(SPI_TypeDef* SPIx, const SPI_InitTypeDef* SPI_InitStruct) {
  // CRC enable, CRC next and the peripheral enable keep their state.
  std::uint16_t cr1 = SPIx->CR1;
  cr1 = static_cast<std::uint16_t>(cr1 & (SPI_CR1_CRCEN | SPI_CR1_CRCNEXT | SPI_CR1_SPE));
  cr1 = static_cast<std::uint16_t>(cr1 | SPI_InitStruct->SPI_Direction | SPI_InitStruct->SPI_Mode |
                                   SPI_InitStruct->SPI_DataSize | SPI_InitStruct->SPI_CPOL |
                                   SPI_InitStruct->SPI_CPHA | SPI_InitStruct->SPI_NSS |
                                   SPI_InitStruct->SPI_BaudRatePrescaler | SPI_InitStruct->SPI_FirstBit);
  SPIx->CR1 = cr1;

  // SPI rather than I2S.
  SPIx->I2SCFGR = static_cast<std::uint16_t>(SPIx->I2SCFGR & ~SPI_I2SCFGR_I2SMOD);

  SPIx->CRCPR = SPI_InitStruct->SPI_CRCPolynomial;
}

void SPI_Cmd(SPI_TypeDef* SPIx, FunctionalState NewState) {
  if (NewState != DISABLE) {
    SPIx->CR1 = static_cast<std::uint16_t>(SPIx->CR1 | SPI_CR1_SPE);
  } else {
    SPIx->CR1 = static_cast<std::uint16_t>(SPIx->CR1 & ~SPI_CR1_SPE);
  }
}
