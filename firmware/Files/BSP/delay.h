// Busy-wait delays. No timer is read: interrupts taken meanwhile lengthen them.
#pragma once

void delay_ms(unsigned int time);
void delay_us(unsigned int Delay);
