// Timers: TIM2 free-running 1 MHz, TIM5 three-phase PWM, TIM6 scheduler tick.
#pragma once

#include <cstdint>

void TIM2_Init();
void TIM5_Init();
// Compare values of phases A, B, C (TIM5 CCR1..CCR3).
void TIM5_SetCompare(std::uint32_t a, std::uint32_t b, std::uint32_t c);
void TIM6_Init(std::uint32_t arr, std::uint16_t psc);
// Capture timer for the sensor's PWM output (the angle decoder's input).
void TIM3_Init();
