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

  GPIO_InitTypeDef gpio{};
  gpio.GPIO_Pin = GPIO_Pin_13 | GPIO_Pin_14 | GPIO_Pin_15;
  gpio.GPIO_Mode = GPIO_Mode_AF;
  gpio.GPIO_Speed = GPIO_Low_Speed;
  gpio.GPIO_OType = GPIO_OType_PP;
  gpio.GPIO_PuPd = GPIO_PuPd_UP;
  GPIO_Init(GPIOB, &gpio);

  GPIO_PinAFConfig(GPIOB, GPIO_PinSource13, GPIO_AF_SPI2);
  GPIO_PinAFConfig(GPIOB, GPIO_PinSource14, GPIO_AF_SPI2);
  GPIO_PinAFConfig(GPIOB, GPIO_PinSource15, GPIO_AF_SPI2);

  gpio.GPIO_Pin = GPIO_Pin_12;
  gpio.GPIO_Mode = GPIO_Mode_OUT;
  GPIO_Init(GPIOB, &gpio);
  GPIO_SetBits(GPIOB, GPIO_Pin_12);

  SPI_InitTypeDef spi{};
  spi.SPI_Direction = SPI_Direction_2Lines_FullDuplex;
  spi.SPI_Mode = SPI_Mode_Master;
  spi.SPI_DataSize = SPI_DataSize_16b;
  spi.SPI_CPOL = SPI_CPOL_Low;
  spi.SPI_CPHA = SPI_CPHA_2Edge;
  spi.SPI_NSS = SPI_NSS_Soft;
  spi.SPI_BaudRatePrescaler = SPI_BaudRatePrescaler_32;
  spi.SPI_FirstBit = SPI_FirstBit_MSB;
  spi.SPI_CRCPolynomial = 15;  // hardware CRC stays off
  SPI_Init(SPI2, &spi);
  SPI_Cmd(SPI2, ENABLE);

  // Let the link settle before the first frame.
  delay_ms(10);
}
