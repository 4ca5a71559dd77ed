#include "usart.h"

// STAND-IN until the configuration operations land.
void USART3_Init(std::uint32_t BaudRate) { (void)BaudRate; }
