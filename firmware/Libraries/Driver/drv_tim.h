// Timer operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device.h"

inline constexpr std::uint16_t TIM_IT_Update = 0x0001u;
inline constexpr std::uint16_t TIM_IT_CC1 = 0x0002u;
inline constexpr std::uint16_t TIM_IT_CC2 = 0x0004u;
inline constexpr std::uint16_t TIM_IT_CC3 = 0x0008u;
inline constexpr std::uint16_t TIM_IT_CC4 = 0x0010u;

inline constexpr std::uint16_t TIM_CounterMode_Up = 0x0000u;
inline constexpr std::uint16_t TIM_CounterMode_Down = 0x0010u;
inline constexpr std::uint16_t TIM_CounterMode_CenterAligned1 = 0x0020u;
inline constexpr std::uint16_t TIM_CounterMode_CenterAligned2 = 0x0040u;
inline constexpr std::uint16_t TIM_CounterMode_CenterAligned3 = 0x0060u;

inline constexpr std::uint16_t TIM_CKD_DIV1 = 0x0000u;
inline constexpr std::uint16_t TIM_CKD_DIV2 = 0x0100u;
inline constexpr std::uint16_t TIM_CKD_DIV4 = 0x0200u;

inline constexpr std::uint16_t TIM_PSCReloadMode_Update = 0x0000u;
inline constexpr std::uint16_t TIM_PSCReloadMode_Immediate = 0x0001u;  // TIM_EGR_UG

// Output-compare record values, at their channel-1 positions.
inline constexpr std::uint16_t TIM_OCMode_Timing = 0x0000u;
inline constexpr std::uint16_t TIM_OCMode_Active = 0x0010u;
inline constexpr std::uint16_t TIM_OCMode_Inactive = 0x0020u;
inline constexpr std::uint16_t TIM_OCMode_Toggle = 0x0030u;
inline constexpr std::uint16_t TIM_OCMode_PWM1 = 0x0060u;
inline constexpr std::uint16_t TIM_OCMode_PWM2 = 0x0070u;
inline constexpr std::uint16_t TIM_OutputState_Disable = 0x0000u;
inline constexpr std::uint16_t TIM_OutputState_Enable = 0x0001u;
inline constexpr std::uint16_t TIM_OutputNState_Disable = 0x0000u;
inline constexpr std::uint16_t TIM_OutputNState_Enable = 0x0004u;
inline constexpr std::uint16_t TIM_OCPolarity_High = 0x0000u;
inline constexpr std::uint16_t TIM_OCPolarity_Low = 0x0002u;
inline constexpr std::uint16_t TIM_OCNPolarity_High = 0x0000u;
inline constexpr std::uint16_t TIM_OCNPolarity_Low = 0x0008u;
inline constexpr std::uint16_t TIM_OCIdleState_Reset = 0x0000u;
inline constexpr std::uint16_t TIM_OCIdleState_Set = 0x0100u;
inline constexpr std::uint16_t TIM_OCNIdleState_Reset = 0x0000u;
inline constexpr std::uint16_t TIM_OCNIdleState_Set = 0x0200u;

inline constexpr std::uint16_t TIM_OCPreload_Disable = 0x0000u;
inline constexpr std::uint16_t TIM_OCPreload_Enable = 0x0008u;

struct TIM_TimeBaseInitTypeDef {
  std::uint16_t TIM_Prescaler;  // counter clock = timer clock / (value + 1)
  std::uint16_t TIM_CounterMode;
  std::uint32_t TIM_Period;  // auto-reload value
  std::uint16_t TIM_ClockDivision;
  std::uint8_t TIM_RepetitionCounter;  // advanced timers only
};
static_assert(offsetof(TIM_TimeBaseInitTypeDef, TIM_Prescaler) == 0);
static_assert(offsetof(TIM_TimeBaseInitTypeDef, TIM_CounterMode) == 2);
static_assert(offsetof(TIM_TimeBaseInitTypeDef, TIM_Period) == 4);
static_assert(offsetof(TIM_TimeBaseInitTypeDef, TIM_ClockDivision) == 8);
static_assert(offsetof(TIM_TimeBaseInitTypeDef, TIM_RepetitionCounter) == 10);
static_assert(sizeof(TIM_TimeBaseInitTypeDef) == 12);

struct TIM_OCInitTypeDef {
  std::uint16_t TIM_OCMode;
  std::uint16_t TIM_OutputState;
  std::uint16_t TIM_OutputNState;  // advanced timers only
  std::uint32_t TIM_Pulse;         // compare value
  std::uint16_t TIM_OCPolarity;
  std::uint16_t TIM_OCNPolarity;   // advanced timers only
  std::uint16_t TIM_OCIdleState;   // advanced timers only
  std::uint16_t TIM_OCNIdleState;  // advanced timers only
};
static_assert(offsetof(TIM_OCInitTypeDef, TIM_OCMode) == 0);
static_assert(offsetof(TIM_OCInitTypeDef, TIM_OutputState) == 2);
static_assert(offsetof(TIM_OCInitTypeDef, TIM_OutputNState) == 4);
static_assert(offsetof(TIM_OCInitTypeDef, TIM_Pulse) == 8);
static_assert(offsetof(TIM_OCInitTypeDef, TIM_OCPolarity) == 12);
static_assert(offsetof(TIM_OCInitTypeDef, TIM_OCNPolarity) == 14);
static_assert(offsetof(TIM_OCInitTypeDef, TIM_OCIdleState) == 16);
static_assert(offsetof(TIM_OCInitTypeDef, TIM_OCNIdleState) == 18);
static_assert(sizeof(TIM_OCInitTypeDef) == 20);

// Configuration.
void TIM_TimeBaseInit(TIM_TypeDef* TIMx, const TIM_TimeBaseInitTypeDef* TIM_TimeBaseInitStruct);
void TIM_OC1Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC2Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC3Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC1PreloadConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_OCPreload);
void TIM_OC2PreloadConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_OCPreload);
void TIM_OC3PreloadConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_OCPreload);
void TIM_ARRPreloadConfig(TIM_TypeDef* TIMx, FunctionalState NewState);
void TIM_ITConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_IT, FunctionalState NewState);
void TIM_Cmd(TIM_TypeDef* TIMx, FunctionalState NewState);

// Run-time operations.
ITStatus TIM_GetITStatus(TIM_TypeDef* TIMx, std::uint16_t TIM_IT);
void TIM_ClearITPendingBit(TIM_TypeDef* TIMx, std::uint16_t TIM_IT);
std::uint32_t TIM_GetCapture1(TIM_TypeDef* TIMx);
std::uint32_t TIM_GetCapture2(TIM_TypeDef* TIMx);
