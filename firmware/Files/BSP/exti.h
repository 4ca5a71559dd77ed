// Setpoint keys on PC7 and PC8, EXTI lines 7 and 8.
#pragma once

void EXTI_Key_Config();
