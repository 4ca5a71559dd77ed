#include "as5048a.h"

#include "delay.h"
#include "device.h"
#include "drv_gpio.h"
#include "drv_spi.h"

[[gnu::used]] constinit std::uint8_t error_flag = 0;

namespace {

constexpr std::uint16_t kReadBit = 0x4000u;        // command bit 14: read
constexpr std::uint16_t kErrorFlag = 0x4000u;      // reply bit 14: the sensor saw an error
constexpr std::uint16_t kDataMask = 0x3FFFu;       // reply bits 13..0
constexpr std::uint16_t kClearErrorFlag = 0x4001u; // read of register 0x0001, even as it stands
constexpr std::uint16_t kNop = 0x0000u;            // no-operation register

// The read command for register `address`, with its parity bit.
std::uint16_t read_command(std::uint16_t address) {
  const auto command = static_cast<std::uint16_t>(address | kReadBit);
  return static_cast<std::uint16_t>(command | (parity_even(command) << 15));
}

}  // namespace

std::uint16_t SPI_SendHalfWord(std::uint16_t HalfWord) {
  GPIO_ResetBits(GPIOB, GPIO_Pin_12);
  delay_us(1);
  SPI_I2S_SendData(SPI2, HalfWord);
  while (SPI_I2S_GetFlagStatus(SPI2, SPI_I2S_FLAG_RXNE) != SET) {
  }
  GPIO_SetBits(GPIOB, GPIO_Pin_12);
  return SPI_I2S_ReceiveData(SPI2);
}

std::uint8_t parity_even(std::uint16_t v) {
  if (v == 0) return 0;
  std::uint16_t fold = v;
  fold = static_cast<std::uint16_t>(fold ^ (fold >> 8));
  fold = static_cast<std::uint16_t>(fold ^ (fold >> 4));
  fold = static_cast<std::uint16_t>(fold ^ (fold >> 2));
  fold = static_cast<std::uint16_t>(fold ^ (fold >> 1));
  return static_cast<std::uint8_t>(fold & 1u);
}

std::uint16_t Read_As5048A_Reg(std::uint16_t cmd) {
  const std::uint16_t command = read_command(cmd);

  // The reply to the first frame answers the previous command; the second
  // frame's reply answers the first.
  (void)SPI_SendHalfWord(command);
  delay_us(2);
  const std::uint16_t res = SPI_SendHalfWord(command);
  delay_us(2);

  error_flag = 0;
  if ((res & kErrorFlag) != 0u) {
    // Clear the sensor's error flag: read the clear register, then a
    // no-operation read that brings the clear's reply out.
    (void)SPI_SendHalfWord(kClearErrorFlag);
    delay_us(2);
    (void)SPI_SendHalfWord(read_command(kNop));
    delay_us(2);
    GPIO_ResetBits(GPIOA, GPIO_Pin_7);
    return 0;
  }

  const auto data = static_cast<std::uint16_t>(res & kDataMask);
  error_flag = static_cast<std::uint8_t>(parity_even(data) ^ (res >> 15));
  GPIO_SetBits(GPIOA, GPIO_Pin_7);
  return data;
}
