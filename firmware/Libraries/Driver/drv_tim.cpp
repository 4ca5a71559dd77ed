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

namespace {

// Timers are told apart by the address of their register block.
bool is_advanced(const TIM_TypeDef* TIMx) {
  const std::uintptr_t a = port::address_of(TIMx);
  return a == TIM1_BASE || a == TIM8_BASE;
}

bool is_basic(const TIM_TypeDef* TIMx) {
  const std::uintptr_t a = port::address_of(TIMx);
  return a == TIM6_BASE || a == TIM7_BASE;
}

// The timers with a direction and centre-aligned mode.
bool has_counter_mode(const TIM_TypeDef* TIMx) {
  const std::uintptr_t a = port::address_of(TIMx);
  return is_advanced(TIMx) || a == TIM2_BASE || a == TIM3_BASE || a == TIM4_BASE || a == TIM5_BASE;
}

// Where one output-compare channel lives.
struct OcChannel {
  rw16 TIM_TypeDef::*mode_register;  // CCMR1 or CCMR2
  std::uint16_t mode_fields;         // output-compare mode and capture/compare selection
  unsigned mode_shift;
  std::uint16_t enable, polarity, n_enable, n_polarity;  // CCER bits
  unsigned ccer_shift;
  std::uint16_t idle_bits;  // CR2 OISx and OISxN
  unsigned cr2_shift;
  rw32 TIM_TypeDef::*compare;
};

constexpr OcChannel kChannel1 = {&TIM_TypeDef::CCMR1, TIM_CCMR1_OC1M | TIM_CCMR1_CC1S, 0,
                                 TIM_CCER_CC1E, TIM_CCER_CC1P, TIM_CCER_CC1NE, TIM_CCER_CC1NP, 0,
                                 TIM_CR2_OIS1 | TIM_CR2_OIS1N, 0, &TIM_TypeDef::CCR1};
constexpr OcChannel kChannel2 = {&TIM_TypeDef::CCMR1, TIM_CCMR1_OC2M | TIM_CCMR1_CC2S, 8,
                                 TIM_CCER_CC2E, TIM_CCER_CC2P, TIM_CCER_CC2NE, TIM_CCER_CC2NP, 4,
                                 TIM_CR2_OIS2 | TIM_CR2_OIS2N, 2, &TIM_TypeDef::CCR2};
constexpr OcChannel kChannel3 = {&TIM_TypeDef::CCMR2, TIM_CCMR2_OC3M | TIM_CCMR2_CC3S, 0,
                                 TIM_CCER_CC3E, TIM_CCER_CC3P, TIM_CCER_CC3NE, TIM_CCER_CC3NP, 8,
                                 TIM_CR2_OIS3 | TIM_CR2_OIS3N, 4, &TIM_TypeDef::CCR3};
static_assert((TIM_CCMR1_OC1M | TIM_CCMR1_CC1S) == 0x0073 && (TIM_CCMR1_OC2M | TIM_CCMR1_CC2S) == 0x7300);
static_assert((TIM_CR2_OIS2 | TIM_CR2_OIS2N) == 0x0C00 && (TIM_CR2_OIS3 | TIM_CR2_OIS3N) == 0x3000);

// A record value moved from its channel-1 position, reduced to 16 bits.
std::uint16_t shifted(std::uint16_t value, unsigned shift) { return static_cast<std::uint16_t>(value << shift); }

void oc_init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* oc, const OcChannel& ch) {
  // The output is off while it is being configured.
  TIMx->CCER = static_cast<std::uint16_t>(TIMx->CCER & ~ch.enable);

  std::uint16_t ccer = TIMx->CCER;
  std::uint16_t cr2 = TIMx->CR2;
  std::uint16_t ccmr = TIMx->*ch.mode_register;

  // The channel becomes an output in the requested mode.
  ccmr = static_cast<std::uint16_t>(ccmr & ~ch.mode_fields);
  ccmr = static_cast<std::uint16_t>(ccmr | shifted(oc->TIM_OCMode, ch.mode_shift));

  ccer = static_cast<std::uint16_t>(ccer & ~ch.polarity);
  ccer = static_cast<std::uint16_t>(ccer | shifted(oc->TIM_OCPolarity, ch.ccer_shift));
  ccer = static_cast<std::uint16_t>(ccer | shifted(oc->TIM_OutputState, ch.ccer_shift));

  // Complementary outputs and idle states exist on the advanced timers only.
  if (is_advanced(TIMx)) {
    ccer = static_cast<std::uint16_t>(ccer & ~ch.n_polarity);
    ccer = static_cast<std::uint16_t>(ccer | shifted(oc->TIM_OCNPolarity, ch.ccer_shift));
    ccer = static_cast<std::uint16_t>(ccer & ~ch.n_enable);
    ccer = static_cast<std::uint16_t>(ccer | shifted(oc->TIM_OutputNState, ch.ccer_shift));
    cr2 = static_cast<std::uint16_t>(cr2 & ~ch.idle_bits);
    cr2 = static_cast<std::uint16_t>(cr2 | shifted(oc->TIM_OCIdleState, ch.cr2_shift));
    cr2 = static_cast<std::uint16_t>(cr2 | shifted(oc->TIM_OCNIdleState, ch.cr2_shift));
  }

  TIMx->CR2 = cr2;
  TIMx->*ch.mode_register = ccmr;
  TIMx->*ch.compare = oc->TIM_Pulse;
  TIMx->CCER = ccer;
}

}  // namespace

void TIM_TimeBaseInit(TIM_TypeDef* TIMx, const TIM_TimeBaseInitTypeDef* TIM_TimeBaseInitStruct) {
  std::uint16_t cr1 = TIMx->CR1;
  if (has_counter_mode(TIMx)) {
    cr1 = static_cast<std::uint16_t>(cr1 & ~(TIM_CR1_DIR | TIM_CR1_CMS));
    cr1 = static_cast<std::uint16_t>(cr1 | TIM_TimeBaseInitStruct->TIM_CounterMode);
  }
  if (!is_basic(TIMx)) {
    cr1 = static_cast<std::uint16_t>(cr1 & ~TIM_CR1_CKD);
    cr1 = static_cast<std::uint16_t>(cr1 | TIM_TimeBaseInitStruct->TIM_ClockDivision);
  }
  // Other CR1 bits (an auto-reload preload set earlier, say) survive.
  TIMx->CR1 = cr1;
  TIMx->ARR = TIM_TimeBaseInitStruct->TIM_Period;
  TIMx->PSC = TIM_TimeBaseInitStruct->TIM_Prescaler;
  if (is_advanced(TIMx)) {
    TIMx->RCR = TIM_TimeBaseInitStruct->TIM_RepetitionCounter;
  }
  // An update event loads prescaler and auto-reload now and clears the
  // counter. It also raises the update flag, which stays raised.
  TIMx->EGR = TIM_PSCReloadMode_Immediate;
}

void TIM_OC1Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct) { oc_init(TIMx, TIM_OCInitStruct, kChannel1); }
void TIM_OC2Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct) { oc_init(TIMx, TIM_OCInitStruct, kChannel2); }
void TIM_OC3Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct) { oc_init(TIMx, TIM_OCInitStruct, kChannel3); }

void TIM_OC1PreloadConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_OCPreload) {
  std::uint16_t ccmr = TIMx->CCMR1;
  ccmr = static_cast<std::uint16_t>(ccmr & ~TIM_CCMR1_OC1PE);
  ccmr = static_cast<std::uint16_t>(ccmr | TIM_OCPreload);
  TIMx->CCMR1 = ccmr;
}

void TIM_OC2PreloadConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_OCPreload) {
  std::uint16_t ccmr = TIMx->CCMR1;
  ccmr = static_cast<std::uint16_t>(ccmr & ~TIM_CCMR1_OC2PE);
  ccmr = static_cast<std::uint16_t>(ccmr | shifted(TIM_OCPreload, 8));
  TIMx->CCMR1 = ccmr;
}

void TIM_OC3PreloadConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_OCPreload) {
  std::uint16_t ccmr = TIMx->CCMR2;
  ccmr = static_cast<std::uint16_t>(ccmr & ~TIM_CCMR2_OC3PE);
  ccmr = static_cast<std::uint16_t>(ccmr | TIM_OCPreload);
  TIMx->CCMR2 = ccmr;
}

void TIM_ARRPreloadConfig(TIM_TypeDef* TIMx, FunctionalState NewState) {
  if (NewState != DISABLE) {
    TIMx->CR1 = static_cast<std::uint16_t>(TIMx->CR1 | TIM_CR1_ARPE);
  } else {
    TIMx->CR1 = static_cast<std::uint16_t>(TIMx->CR1 & ~TIM_CR1_ARPE);
  }
}

void TIM_ITConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_IT, FunctionalState NewState) {
  if (NewState != DISABLE) {
    TIMx->DIER = static_cast<std::uint16_t>(TIMx->DIER | TIM_IT);
  } else {
    TIMx->DIER = static_cast<std::uint16_t>(TIMx->DIER & ~TIM_IT);
  }
}

void TIM_Cmd(TIM_TypeDef* TIMx, FunctionalState NewState) {
  if (NewState != DISABLE) {
    TIMx->CR1 = static_cast<std::uint16_t>(TIMx->CR1 | TIM_CR1_CEN);
  } else {
    TIMx->CR1 = static_cast<std::uint16_t>(TIMx->CR1 & ~TIM_CR1_CEN);
  }
}
