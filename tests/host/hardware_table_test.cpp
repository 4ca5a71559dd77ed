// The board's description as data: every row of the device table is a model
// at its address, with its interrupt line and clock gate, and the wiring
// rows are the pins the models use.
#include <gtest/gtest.h>

#include "vboard/board.h"
#include "vboard/hardware.h"
#include "vboard/keys_model.h"
#include "vboard/motor_drive_model.h"
#include "vboard/sensor_pwm.h"
#include "vboard/spi_model.h"
#include "vboard/tim_model.h"
#include "vboard/usart_model.h"

namespace {

using vboard::board;
namespace hw = vboard::hw;

TEST(HardwareTable, EveryRowIsAModelAtItsAddressWithItsLineAndGate) {
  board().reset();
  for (const hw::DeviceRow& row : hw::kDevices) {
    SCOPED_TRACE(std::string(row.name));
    vboard::Peripheral* m = board().model_at(row.base);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->base(), row.base);
    EXPECT_EQ(m->name(), row.name);
    int irq = hw::kNoIrq;
    if (auto* t = dynamic_cast<vboard::Timer*>(m)) irq = t->irq();
    if (auto* s = dynamic_cast<vboard::Spi*>(m)) irq = s->irq();
    if (auto* u = dynamic_cast<vboard::Usart*>(m)) irq = u->irq();
    EXPECT_EQ(irq, row.irq);
    EXPECT_EQ(m->size(), row.size);
    if (row.gate.offset == 0) {
      EXPECT_TRUE(m->clocked()) << "no gate: always clocked";
      continue;
    }
    // The gate: closed after reset, open once its RCC bit is set.
    EXPECT_FALSE(m->clocked());
    board().poke(RCC_BASE + row.gate.offset, board().peek(RCC_BASE + row.gate.offset) | row.gate.bit);
    EXPECT_TRUE(m->clocked());
  }
  board().reset();
}

TEST(HardwareTable, TheOffChipPartsUseTheWiringRows) {
  EXPECT_EQ(vboard::SensorPwm::kPort, hw::pin("sensor PWM").port);
  EXPECT_EQ(vboard::SensorPwm::kPin, hw::pin("sensor PWM").pin);
  EXPECT_EQ(vboard::Keys::pin(vboard::Key::kRaise), hw::pin("key up").pin);
  EXPECT_EQ(vboard::Keys::pin(vboard::Key::kLower), hw::pin("key down").pin);
  static_assert(hw::device("USART3").base == USART3_BASE);
  static_assert(hw::pin("phase A").af == hw::pin("phase C").af);
  // The inverter's legs are TIM5's channels 1..3, in order, in TIM5's
  // alternate function, and the motor hangs on them as the table says.
  for (std::size_t leg = 0; leg < 3; ++leg) {
    EXPECT_EQ(vboard::MotorDrive::kLegs[leg].port, 'A');
    EXPECT_EQ(vboard::MotorDrive::kLegs[leg].pin, static_cast<int>(leg));
    EXPECT_EQ(vboard::MotorDrive::kLegs[leg].af, GPIO_AF_TIM5);
  }
  board().reset();
  EXPECT_EQ(board().motor_drive().wiring().phase_of_channel, hw::kMotorWiring.phase_of_channel);
  EXPECT_EQ(board().inverter().supply_v(), hw::kMotorSupplyV);
}

}  // namespace
