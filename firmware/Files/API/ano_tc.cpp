#include "ano_tc.h"

#include "device.h"
#include "drv_usart.h"

constinit dt_flag_t f = {};
constinit std::uint8_t data_to_send[100] = {};
constinit std::uint8_t DT_RxBuffer[50] = {};

namespace {

constexpr std::uint8_t kFrameHead = 0xAAu;
constexpr std::uint8_t kFunctionSensor = 0x02u;
constexpr std::uint8_t kSensorPayload = 18u;
constexpr std::uint8_t kSensorFrameLength = 23u;  // head 2, function, length, payload 18, checksum

std::uint8_t high_byte(std::int16_t v) {
  return static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8);
}
std::uint8_t low_byte(std::int16_t v) { return static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) & 0xFFu); }

}  // namespace

// Out of line (the optimiser may still drop the seven constant zeros from a
// clone of it): a debugger, and the boot check, stop at this call and read
// the two angles it sends, the first two arguments.
[[gnu::noinline]] void ANO_TC_Send_Senser(std::int16_t a_x, std::int16_t a_y, std::int16_t a_z, std::int16_t g_x, std::int16_t g_y,
                        std::int16_t g_z, std::int16_t m_x, std::int16_t m_y, std::int16_t m_z) {
  std::uint8_t cnt = 0;
  data_to_send[cnt++] = kFrameHead;
  data_to_send[cnt++] = kFrameHead;
  data_to_send[cnt++] = kFunctionSensor;
  data_to_send[cnt++] = kSensorPayload;

  const std::int16_t values[9] = {a_x, a_y, a_z, g_x, g_y, g_z, m_x, m_y, m_z};
  for (const std::int16_t v : values) {
    data_to_send[cnt++] = high_byte(v);
    data_to_send[cnt++] = low_byte(v);
  }

  // 8-bit sum: wraps modulo 256.
  std::uint8_t sum = 0;
  for (std::uint8_t i = 0; i < cnt; i++) {
    sum = static_cast<std::uint8_t>(sum + data_to_send[i]);
  }
  data_to_send[cnt++] = sum;

  ANO_TC_Send_Data(data_to_send, kSensorFrameLength);
}

void ANO_TC_Send_Data(std::uint8_t* dataToSend, std::uint8_t length) {
  for (std::uint8_t i = 0; i < length; i++) {
    // Transmission complete, not just transmit register empty: the previous
    // byte has left the line. Reading SR here and then writing DR clears TC.
    while ((USART3->SR & USART_SR_TC) == 0u) {
    }
    USART3->DR = static_cast<std::uint16_t>(dataToSend[i]);
  }
  while (USART_GetFlagStatus(USART3, USART_FLAG_TC) != SET) {
  }
}
