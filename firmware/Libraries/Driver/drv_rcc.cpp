#include "drv_rcc.h"

void RCC_AHB1PeriphClockCmd(std::uint32_t RCC_AHB1Periph, FunctionalState NewState) {
  if (NewState != DISABLE) {
    RCC->AHB1ENR = RCC->AHB1ENR | RCC_AHB1Periph;
  } else {
    RCC->AHB1ENR = RCC->AHB1ENR & ~RCC_AHB1Periph;
  }
}

void RCC_APB1PeriphClockCmd(std::uint32_t RCC_APB1Periph, FunctionalState NewState) {
  if (NewState != DISABLE) {
    RCC->APB1ENR = RCC->APB1ENR | RCC_APB1Periph;
  } else {
    RCC->APB1ENR = RCC->APB1ENR & ~RCC_APB1Periph;
  }
}

void RCC_APB2PeriphClockCmd(std::uint32_t RCC_APB2Periph, FunctionalState NewState) {
  if (NewState != DISABLE) {
    RCC->APB2ENR = RCC->APB2ENR | RCC_APB2Periph;
  } else {
    RCC->APB2ENR = RCC->APB2ENR & ~RCC_APB2Periph;
  }
}
