#include "spi.h"

// STAND-IN until the configuration operations land.
void SPI_Config() {}
