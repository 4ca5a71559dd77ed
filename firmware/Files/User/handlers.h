// Exception and interrupt entries, under their vector names.
#pragma once

extern "C" {
[[noreturn]] void Reset_Handler();
void NMI_Handler();
void HardFault_Handler();
void MemManage_Handler();
void BusFault_Handler();
void UsageFault_Handler();
void SVC_Handler();
void DebugMon_Handler();
void PendSV_Handler();
void SysTick_Handler();
void Default_Handler();

void EXTI9_5_IRQHandler();   // setpoint keys
void TIM3_IRQHandler();      // sensor PWM capture: the angle decoder
void USART1_IRQHandler();
void USART3_IRQHandler();    // serial receive
void TIM6_DAC_IRQHandler();  // 1 ms scheduler tick
}
