// Ground-station link: the sensor frame on USART3.
//
// Frame on the wire: 0xAA 0xAA, function 0x02 (sensor data), payload length
// 18, nine signed 16-bit values high byte first (a_x a_y a_z g_x g_y g_z m_x
// m_y m_z), then the sum of all bytes before it, modulo 256. The link is
// one-way: nothing the ground station sends is interpreted.
#pragma once

#include <cstdint>

// Per-frame send requests of the ground-station protocol. Declared for the
// protocol's other frames; nothing in the firmware sets or reads them.
struct dt_flag_t {
  std::uint8_t send_version;
  std::uint8_t send_status;
  std::uint8_t send_senser;
  std::uint8_t send_rcdata;
  std::uint8_t send_motopwm;
  std::uint8_t send_power;
  std::uint8_t send_pid1;
  std::uint8_t send_pid2;
  std::uint8_t send_pid3;
};

extern dt_flag_t f;
// Transmit buffer: a frame occupies its first 23 bytes, rebuilt for every frame.
extern std::uint8_t data_to_send[100];
// Receive buffer of the protocol; nothing fills it.
extern std::uint8_t DT_RxBuffer[50];

// Builds the sensor frame in data_to_send and sends it; returns when the
// last byte has left the line.
void ANO_TC_Send_Senser(std::int16_t a_x, std::int16_t a_y, std::int16_t a_z, std::int16_t g_x, std::int16_t g_y,
                        std::int16_t g_z, std::int16_t m_x, std::int16_t m_y, std::int16_t m_z);
// Sends `length` bytes on USART3, each only after the previous one has left
// the line completely; returns when the line is idle.
void ANO_TC_Send_Data(std::uint8_t* dataToSend, std::uint8_t length);
