// External interrupt line operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device.h"

inline constexpr std::uint32_t EXTI_Line7 = 0x00080u;
inline constexpr std::uint32_t EXTI_Line8 = 0x00100u;

// Mode and single-edge trigger values are the byte distances of IMR, EMR,
// RTSR and FTSR from the start of the EXTI block; EXTI_Init uses them so.
enum EXTIMode_TypeDef : std::uint8_t {
  EXTI_Mode_Interrupt = 0x00,
  EXTI_Mode_Event = 0x04,
};

enum EXTITrigger_TypeDef : std::uint8_t {
  EXTI_Trigger_Rising = 0x08,
  EXTI_Trigger_Falling = 0x0C,
  EXTI_Trigger_Rising_Falling = 0x10,
};

struct EXTI_InitTypeDef {
  std::uint32_t EXTI_Line;  // mask of lines 0 to 22
  EXTIMode_TypeDef EXTI_Mode;
  EXTITrigger_TypeDef EXTI_Trigger;
  FunctionalState EXTI_LineCmd;
};
static_assert(offsetof(EXTI_InitTypeDef, EXTI_Line) == 0);
static_assert(offsetof(EXTI_InitTypeDef, EXTI_Mode) == 4);
static_assert(offsetof(EXTI_InitTypeDef, EXTI_Trigger) == 5);
static_assert(offsetof(EXTI_InitTypeDef, EXTI_LineCmd) == 6);
static_assert(sizeof(EXTI_InitTypeDef) == 8);

static_assert(offsetof(EXTI_TypeDef, IMR) == EXTI_Mode_Interrupt && offsetof(EXTI_TypeDef, EMR) == EXTI_Mode_Event);
static_assert(offsetof(EXTI_TypeDef, RTSR) == EXTI_Trigger_Rising && offsetof(EXTI_TypeDef, FTSR) == EXTI_Trigger_Falling);

// Configuration.
void EXTI_Init(const EXTI_InitTypeDef* EXTI_InitStruct);

// Run-time operations.
ITStatus EXTI_GetITStatus(std::uint32_t EXTI_Line);
void EXTI_ClearITPendingBit(std::uint32_t EXTI_Line);
