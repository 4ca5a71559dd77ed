// Start-up and the main loop.
#include <cstdint>

#include "ano_tc.h"
#include "as5048a.h"
#include "control_work.h"
#include "convert.h"
#include "device.h"
#include "drv_gpio.h"
#include "drv_misc.h"
#include "exti.h"
#include "global_variable.h"
#include "led.h"
#include "port.h"
#include "rcc.h"
#include "spi.h"
#include "timer.h"
#include "usart.h"

namespace {

// An angle in hundredths of a degree for the ground station: the single
// precision product truncated toward zero to 32 bits, then its low 16 bits
// as a signed value (so 400 degrees goes out as -25536).
std::int16_t hundredths(float degrees) {
  const float scaled = degrees * 100.0f;
  const std::int32_t whole = truncate_to_i32(scaled);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(whole) & 0xFFFFu));
}

}  // namespace

// Out of line, so that a debugger sees the main loop as main.
[[gnu::noinline]] int main() {
  // The order matters for the interrupt priorities: the key set-up switches
  // to the final grouping, and the scheduler tick is enabled last, so no
  // flag is raised before the whole board is up.
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_2);
  SysTick_Init();
  LED_Init();
  EXTI_Key_Config();
  USART3_Init(500000);
  TIM2_Init();
  SPI_Config();
  TIM5_Init();
  TIM3_Init();
  TIM6_Init(999, 83);

  for (;;) {
    if (gFlag100ms == SET) {
      GPIO_ToggleBits(GPIOA, GPIO_Pin_6);  // heartbeat
      // Raw 14-bit count, not degrees; the decoder overwrites it with degrees.
      PitchAngle = static_cast<float>(Read_As5048A_Reg(0x3FFF));
      gFlag100ms = RESET;
    }
    if (gFlag5ms == SET) {
      ANO_TC_Send_Senser(hundredths(AbPitchAngle), hundredths(MotorAPosition.Des), 0, 0, 0, 0, 0, 0, 0);
      gFlag5ms = RESET;
    }
    if (gFlagControl == SET) {
      Control_Work();
      gFlagControl = RESET;
    }
    port::spin_point();
  }
}
