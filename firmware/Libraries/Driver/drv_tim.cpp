#include "drv_tim.h"

ITStatus TIM_GetITStatus(TIM_TypeDef* TIMx, std::uint16_t TIM_IT) {
  const std::uint16_t status = TIMx->SR & TIM_IT;
  const std::uint16_t enabled = TIMx->DIER & TIM_IT;
  return (status != 0u && enabled != 0u) ? SET : RESET;
}

// Status bits are cleared by writing 0; the 1s written leave the others alone.
void TIM_ClearITPendingBit(TIM_TypeDef* TIMx, std::uint16_t TIM_IT) {
  TIMx->SR = static_cast<std::uint16_t>(~TIM_IT);
}

std::uint32_t TIM_GetCapture1(TIM_TypeDef* TIMx) { return TIMx->CCR1; }

std::uint32_t TIM_GetCapture2(TIM_TypeDef* TIMx) { return TIMx->CCR2; }
