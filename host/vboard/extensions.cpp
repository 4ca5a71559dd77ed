// Models beside the core set: the links and the world around the board.
#include "vboard/board.h"
#include "vboard/as5048a.h"
#include "vboard/spi.h"
#include "vboard/usart.h"
#include "vboard/ground_station.h"
#include "vboard/exti.h"
#include "vboard/keys.h"
#include "vboard/sensor_pwm.h"

namespace vboard {

void Board::build_extensions() {
  add<Spi>(2);
  add<As5048a>();  // after SPI2, which it attaches to
  for (int n : {1, 2, 3, 6}) add<Usart>(n);
  add<GroundStation>();  // after USART3, which it attaches to
  add<Syscfg>();
  add<Exti>();       // after SYSCFG, whose routing it follows
  add<Keys>();
  add<SensorPwm>();
}

}  // namespace vboard
