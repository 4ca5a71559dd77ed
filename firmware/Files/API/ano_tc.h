// Ground-station link: the sensor frame on USART3.
#pragma once

#include <cstdint>

void ANO_TC_Send_Senser(std::int16_t a_x, std::int16_t a_y, std::int16_t a_z, std::int16_t g_x, std::int16_t g_y,
                        std::int16_t g_z, std::int16_t m_x, std::int16_t m_y, std::int16_t m_z);
void ANO_TC_Send_Data(std::uint8_t* dataToSend, std::uint8_t length);
