// SPI2 link to the position sensor: PB13 clock, PB14 in, PB15 out, PB12 select.
#pragma once

#include <cstdint>

void SPI_Config();
