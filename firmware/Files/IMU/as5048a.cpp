// PLACEHOLDER: the sensor link.
#include "as5048a.h"

constinit std::uint8_t error_flag = 0;

std::uint16_t Read_As5048A_Reg(std::uint16_t cmd) {
  (void)cmd;
  return 0;
}
