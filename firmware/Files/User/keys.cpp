// Setpoint keys: the key on PC7 raises the commanded angle, the key on PC8
// lowers it, 100 degrees a press. Their EXTI lines 7 and 8 share this
// interrupt, taken on the falling edge of a press.
#include "delay.h"
#include "device.h"
#include "drv_exti.h"
#include "drv_gpio.h"
#include "global_variable.h"
#include "handlers.h"

extern "C" void EXTI9_5_IRQHandler() {
  const int changeangle = 100;  // degrees a press

  // Debounce inside the interrupt: an edge counts only if its pin is still
  // low 10 ms later. The scheduler tick waits meanwhile (same pre-emption
  // level).
  delay_ms(10);

  if (EXTI_GetITStatus(EXTI_Line7) != RESET) {
    if (GPIO_ReadInputDataBit(GPIOC, GPIO_Pin_7) == Bit_RESET) {
      MotorAPosition.Des = MotorAPosition.Des + static_cast<float>(changeangle);
    }
    EXTI_ClearITPendingBit(EXTI_Line7);  // acknowledged whether it counted or not
  }
  if (EXTI_GetITStatus(EXTI_Line8) != RESET) {
    if (GPIO_ReadInputDataBit(GPIOC, GPIO_Pin_8) == Bit_RESET) {
      MotorAPosition.Des = MotorAPosition.Des - static_cast<float>(changeangle);
    }
    EXTI_ClearITPendingBit(EXTI_Line8);
  }
}
