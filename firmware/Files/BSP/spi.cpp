#include "spi.h"

#include "delay.h"
#include "device.h"
#include "drv_gpio.h"
#include "drv_rcc.h"
#include "drv_spi.h"

// SPI2 master for the position sensor: 16-bit frames, clock idle low, data
// sampled on the second edge, MSB first, 42 MHz / 32 = 1.3125 MHz. The chip
// select PB12 is a plain output driven by software, high (deselected) here.
void SPI_Config() {
  RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOB, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_SPI2, ENABLE);

  static constexpr GPIO_InitTypeDef bus{.GPIO_Pin = GPIO_Pin_13 | GPIO_Pin_14 | GPIO_Pin_15,
                                        .GPIO_Mode = GPIO_Mode_AF,
                                        .GPIO_Speed = GPIO_Low_Speed,
                                        .GPIO_OType = GPIO_OType_PP,
                                        .GPIO_PuPd = GPIO_PuPd_UP};
  GPIO_Init(GPIOB, &bus);

  GPIO_PinAFConfig(GPIOB, GPIO_PinSource13, GPIO_AF_SPI2);
  GPIO_PinAFConfig(GPIOB, GPIO_PinSource14, GPIO_AF_SPI2);
  GPIO_PinAFConfig(GPIOB, GPIO_PinSource15, GPIO_AF_SPI2);

  static constexpr GPIO_InitTypeDef select{.GPIO_Pin = GPIO_Pin_12,
                                           .GPIO_Mode = GPIO_Mode_OUT,
                                           .GPIO_Speed = GPIO_Low_Speed,
                                           .GPIO_OType = GPIO_OType_PP,
                                           .GPIO_PuPd = GPIO_PuPd_UP};
  GPIO_Init(GPIOB, &select);
  GPIO_SetBits(GPIOB, GPIO_Pin_12);

  static constexpr SPI_InitTypeDef spi{.SPI_Direction = SPI_Direction_2Lines_FullDuplex,
                                       .SPI_Mode = SPI_Mode_Master,
                                       .SPI_DataSize = SPI_DataSize_16b,
                                       .SPI_CPOL = SPI_CPOL_Low,
                                       .SPI_CPHA = SPI_CPHA_2Edge,
                                       .SPI_NSS = SPI_NSS_Soft,
                                       .SPI_BaudRatePrescaler = SPI_BaudRatePrescaler_32,
                                       .SPI_FirstBit = SPI_FirstBit_MSB,
                                       .SPI_CRCPolynomial = 15};  // hardware CRC stays off
  SPI_Init(SPI2, &spi);
  SPI_Cmd(SPI2, ENABLE);

  // Let the link settle before the first frame.
  delay_ms(10);
}
