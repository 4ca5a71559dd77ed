#include "drv_gpio.h"

void GPIO_SetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) { GPIOx->BSRRL = GPIO_Pin; }

void GPIO_ResetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) { GPIOx->BSRRH = GPIO_Pin; }

void GPIO_ToggleBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) {
  GPIOx->ODR = GPIOx->ODR ^ GPIO_Pin;
}

std::uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) {
  return (GPIOx->IDR & GPIO_Pin) != 0u ? Bit_SET : Bit_RESET;
}
