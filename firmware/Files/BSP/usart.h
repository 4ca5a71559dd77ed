// Ground-station serial port, USART3 on PB10 and PB11.
#pragma once

#include <cstdint>

void USART3_Init(std::uint32_t BaudRate);
