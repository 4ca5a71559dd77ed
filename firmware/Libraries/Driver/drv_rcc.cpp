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

std::uint8_t RCC_GetSYSCLKSource() { return static_cast<std::uint8_t>(RCC->CFGR & RCC_CFGR_SWS); }

namespace {
// A quotient by 0 is 0, as the core's divide instruction gives it (divide-by-
// zero trapping stays off), so that both builds agree on a PLL set to M = 0.
std::uint32_t quotient(std::uint32_t dividend, std::uint32_t divisor) {
  return divisor == 0u ? 0u : dividend / divisor;
}
}  // namespace

void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks) {
  const std::uint32_t cfgr = RCC->CFGR;
  std::uint32_t sysclk;
  switch (cfgr & RCC_CFGR_SWS) {
    case RCC_CFGR_SWS_HSI:
      sysclk = HSI_VALUE;
      break;
    case RCC_CFGR_SWS_HSE:
      sysclk = HSE_VALUE;
      break;
    case RCC_CFGR_SWS_PLL: {
      // VCO = (source / M) x N, the division first; output = VCO / P.
      const std::uint32_t pllcfgr = RCC->PLLCFGR;
      const std::uint32_t source = (pllcfgr & RCC_PLLCFGR_PLLSRC_HSE) != 0u ? HSE_VALUE : HSI_VALUE;
      const std::uint32_t m = pllcfgr & RCC_PLLCFGR_PLLM;
      const std::uint32_t n = (pllcfgr & RCC_PLLCFGR_PLLN) >> 6;
      const std::uint32_t p = (((pllcfgr & RCC_PLLCFGR_PLLP) >> 16) + 1u) * 2u;
      const std::uint32_t vco = quotient(source, m) * n;
      sysclk = vco / p;
      break;
    }
    default:
      sysclk = HSI_VALUE;
      break;
  }
  RCC_Clocks->SYSCLK_Frequency = sysclk;

  const std::uint32_t hclk = sysclk >> AHBPrescTable[(cfgr & RCC_CFGR_HPRE) >> 4];
  RCC_Clocks->HCLK_Frequency = hclk;
  RCC_Clocks->PCLK1_Frequency = hclk >> APBAHBPrescTable[(cfgr & RCC_CFGR_PPRE1) >> 10];
  RCC_Clocks->PCLK2_Frequency = hclk >> APBAHBPrescTable[(cfgr & RCC_CFGR_PPRE2) >> 13];
}
