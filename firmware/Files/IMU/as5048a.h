// AS5048A magnetic position sensor on SPI2: 16-bit frames with an even
// parity bit in bit 15 both ways; the sensor answers each command one frame
// late. PB12 is its chip select, PA7 the status LED.
#pragma once

#include <cstdint>

// 1 after a reply whose parity check failed, 0 after any other read.
extern std::uint8_t error_flag;

// One full-duplex 16-bit frame framed by the chip select; returns the word
// the sensor shifted out during it (the reply to the previous command).
std::uint16_t SPI_SendHalfWord(std::uint16_t HalfWord);
// The even-parity bit of `v`: 1 when `v` holds an odd number of ones.
std::uint8_t parity_even(std::uint16_t v);
// Reads register `cmd` (0 to 0x3FFF, not masked): its 14-bit content, or 0
// when the sensor reported an error.
std::uint16_t Read_As5048A_Reg(std::uint16_t cmd);
