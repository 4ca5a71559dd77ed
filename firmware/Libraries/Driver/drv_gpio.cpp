#include "drv_gpio.h"

void GPIO_SetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) { GPIOx->BSRRL = GPIO_Pin; }

void GPIO_ResetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) { GPIOx->BSRRH = GPIO_Pin; }

void GPIO_ToggleBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) {
  GPIOx->ODR = GPIOx->ODR ^ GPIO_Pin;
}

std::uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) {
  return (GPIOx->IDR & GPIO_Pin) != 0u ? Bit_SET : Bit_RESET;
}

void GPIO_Init(GPIO_TypeDef* GPIOx, const GPIO_InitTypeDef* GPIO_InitStruct) {
  const std::uint32_t mode = GPIO_InitStruct->GPIO_Mode;
  for (std::uint32_t pin = 0; pin < 16u; ++pin) {
    if ((GPIO_InitStruct->GPIO_Pin & (1u << pin)) == 0u) {
      continue;
    }
    const std::uint32_t field = 3u << (2u * pin);

    std::uint32_t moder = GPIOx->MODER;
    moder = moder & ~field;
    moder = moder | (mode << (2u * pin));
    GPIOx->MODER = moder;

    // Speed and output type only mean something for a driven pin.
    if (mode == GPIO_Mode_OUT || mode == GPIO_Mode_AF) {
      std::uint32_t speed = GPIOx->OSPEEDR;
      speed = speed & ~field;
      speed = speed | (static_cast<std::uint32_t>(GPIO_InitStruct->GPIO_Speed) << (2u * pin));
      GPIOx->OSPEEDR = speed;

      std::uint32_t otype = GPIOx->OTYPER;
      otype = otype & ~(1u << pin);
      otype = otype | (static_cast<std::uint32_t>(GPIO_InitStruct->GPIO_OType) << pin);
      GPIOx->OTYPER = otype;
    }

    std::uint32_t pupd = GPIOx->PUPDR;
    pupd = pupd & ~field;
    pupd = pupd | (static_cast<std::uint32_t>(GPIO_InitStruct->GPIO_PuPd) << (2u * pin));
    GPIOx->PUPDR = pupd;
  }
}

// Pins 0 to 7 in AFR[0], 8 to 15 in AFR[1], four bits each. The field is
// cleared and written back first, then the function is ORed in.
void GPIO_PinAFConfig(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_PinSource, std::uint8_t GPIO_AF) {
  const std::uint32_t shift = 4u * (GPIO_PinSource & 0x07u);
  const std::uint32_t index = GPIO_PinSource >> 3;
  const std::uint32_t cleared = GPIOx->AFR[index] & ~(0xFu << shift);
  GPIOx->AFR[index] = cleared;
  const std::uint32_t selected = GPIOx->AFR[index] | (static_cast<std::uint32_t>(GPIO_AF) << shift);
  GPIOx->AFR[index] = selected;
}
