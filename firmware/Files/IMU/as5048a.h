// AS5048A magnetic position sensor on SPI2.
#pragma once

#include <cstdint>

extern std::uint8_t error_flag;

std::uint16_t SPI_SendHalfWord(std::uint16_t HalfWord);
std::uint8_t parity_even(std::uint16_t v);
std::uint16_t Read_As5048A_Reg(std::uint16_t cmd);
