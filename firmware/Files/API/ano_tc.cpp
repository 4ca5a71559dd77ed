// PLACEHOLDER: the sensor frame.
#include "ano_tc.h"

void ANO_TC_Send_Senser(std::int16_t, std::int16_t, std::int16_t, std::int16_t, std::int16_t, std::int16_t,
                        std::int16_t, std::int16_t, std::int16_t) {}
void ANO_TC_Send_Data(std::uint8_t*, std::uint8_t) {}
