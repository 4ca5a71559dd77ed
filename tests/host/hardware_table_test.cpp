// The board's description as data: every row of the device table is a model
// at its address, with its interrupt line, clock gate and reset values, and
// the wiring rows are the pins the models use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "drv_gpio.h"
#include "drv_rcc.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/rcc.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/chip/spi.h"
#include "vboard/chip/tim/timer.h"
#include "vboard/chip/usart.h"

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

// The register words of a device that the check reads: those its model
// names and those its row gives a reset value.
std::vector<std::uint32_t> checked_words(const vboard::Peripheral& m, const hw::DeviceRow& row) {
  std::vector<std::uint32_t> words;
  for (const vboard::RegisterFields& r : m.registers())
    for (std::uint32_t i = 0; i < r.count; ++i) words.push_back(r.offset + 4 * i);
  for (const hw::ResetValue& r : row.reset) words.push_back(r.offset);
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

// Every such register, read as the firmware reads it, holds its row's reset
// value (0 where the row lists none), in the bits the manual fixes.
void expect_reset_values() {
  for (const hw::DeviceRow& row : hw::kDevices) {
    vboard::Peripheral* m = board().model_at(row.base);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->row(), &row);
    for (const std::uint32_t offset : checked_words(*m, row)) {
      std::uint32_t value = 0, defined = 0xFFFFFFFFu;
      for (const hw::ResetValue& r : row.reset)
        if (r.offset == offset) {
          value = r.value;
          defined = r.defined;
        }
      char where[48];
      std::snprintf(where, sizeof where, "%s +0x%03x", std::string(row.name).c_str(), static_cast<unsigned>(offset));
      EXPECT_EQ(m->read(offset, 4) & defined, value) << where;
    }
  }
}

TEST(HardwareTable, EveryRegisterReadsItsResetValueAtPowerOn) {
  board().reset();
  board().power_on();  // the firmware has not run yet
  expect_reset_values();
  board().reset();
}

// What the firmware leaves behind (the PLL, the grouping, every timer's
// reload, the pins) is gone after the next reset, state behind the
// registers included.
TEST(HardwareTable, AResetAfterARunBringsBackEveryResetValue) {
  board().reset();
  board().power_on();
  board().run_for(vboard::ms(20));
  ASSERT_EQ(board().rcc().sysclk_hz(), 168000000u);
  ASSERT_NE(board().scb().prigroup(), 0u);
  board().reset();
  board().power_on();
  expect_reset_values();
  EXPECT_EQ(board().rcc().sysclk_hz(), vboard::Rcc::kHsiHz);
  EXPECT_EQ(board().scb().prigroup(), 0u);
  board().reset();
}

// The values read as what the chip does out of reset: a typo in a row shows
// here, not only against the model.
TEST(HardwareTable, ResetValuesSayWhatTheChipIsOutOfReset) {
  board().reset();
  const auto value = [](std::string_view device, std::uint32_t offset) {
    for (const hw::ResetValue& r : hw::device(device).reset)
      if (r.offset == offset) return r.value;
    return 0u;
  };
  // The debug port: PA13 (SWDIO), PA14 (SWCLK), PA15, PB3 and PB4 in their
  // alternate function 0; SWDIO and SWO at the highest speed; SWDIO, PA15
  // and PB4 pulled up, SWCLK pulled down; every other pin a floating input.
  struct DebugPin {
    char port;
    int pin;
    unsigned speed, pull;
  };
  constexpr DebugPin kDebugPins[] = {
      {'A', 13, 3, GPIO_PuPd_UP}, {'A', 14, 0, GPIO_PuPd_DOWN}, {'A', 15, 0, GPIO_PuPd_UP},
      {'B', 3, 3, GPIO_PuPd_NOPULL}, {'B', 4, 0, GPIO_PuPd_UP},
  };
  for (const std::string_view port : {"GPIOA", "GPIOB", "GPIOC"}) {
    const std::uint32_t moder = value(port, offsetof(GPIO_TypeDef, MODER));
    const std::uint32_t ospeedr = value(port, offsetof(GPIO_TypeDef, OSPEEDR));
    const std::uint32_t pupdr = value(port, offsetof(GPIO_TypeDef, PUPDR));
    EXPECT_EQ(value(port, offsetof(GPIO_TypeDef, AFR)) | value(port, offsetof(GPIO_TypeDef, AFR) + 4), 0u);
    for (int pin = 0; pin < 16; ++pin) {
      SCOPED_TRACE(std::string(port) + " pin " + std::to_string(pin));
      const DebugPin* debug = nullptr;
      for (const DebugPin& d : kDebugPins)
        if (port.back() == d.port && pin == d.pin) debug = &d;
      const unsigned shift = 2u * static_cast<unsigned>(pin);
      EXPECT_EQ((moder >> shift) & 3u, debug ? unsigned{GPIO_Mode_AF} : unsigned{GPIO_Mode_IN});
      EXPECT_EQ((ospeedr >> shift) & 3u, debug ? debug->speed : 0u);
      EXPECT_EQ((pupdr >> shift) & 3u, debug ? debug->pull : unsigned{GPIO_PuPd_NOPULL});
    }
  }
  // The clock tree on the internal oscillator; the PLL's reset set-up
  // (/16, x192, /2) would make 96 MHz of it.
  EXPECT_EQ(board().rcc().sysclk_hz(), vboard::Rcc::kHsiHz);
  EXPECT_EQ(board().rcc().pclk1_hz(), vboard::Rcc::kHsiHz);
  const std::uint32_t pllcfgr = value("RCC", offsetof(RCC_TypeDef, PLLCFGR));
  const std::uint32_t m = pllcfgr & RCC_PLLCFGR_PLLM, n = (pllcfgr & RCC_PLLCFGR_PLLN) >> 6,
                      p = 2 * (((pllcfgr & RCC_PLLCFGR_PLLP) >> 16) + 1);
  EXPECT_EQ(vboard::Rcc::kHsiHz / m * n / p, 96000000u);
  EXPECT_EQ(pllcfgr & RCC_PLLCFGR_PLLSRC_HSE, 0u);
  // Only the CCM data RAM's clock is on; in low-power mode every device's
  // gate is on.
  EXPECT_EQ(value("RCC", offsetof(RCC_TypeDef, AHB1ENR)), hw::RCC_AHB1ENR_CCMDATARAMEN);
  for (const hw::DeviceRow& row : hw::kDevices) {
    if (row.gate.offset == 0) continue;
    SCOPED_TRACE(std::string(row.name));
    const std::uint32_t lp = row.gate.offset + offsetof(RCC_TypeDef, AHB1LPENR) - offsetof(RCC_TypeDef, AHB1ENR);
    EXPECT_NE(value("RCC", lp) & row.gate.bit, 0u);
  }
  // The regulator in scale 1; bit 15 of PWR CR is reserved on this part.
  EXPECT_EQ(value("PWR", offsetof(PWR_TypeDef, CR)) & PWR_CR_VOS, hw::PWR_CR_VOS_SCALE1);
  // The system tick's calibration: TENMS + 1 counts of HCLK/8 are 1 ms at
  // 168 MHz; the reference clock is there (NOREF 0).
  const std::uint32_t calib = value("SysTick", offsetof(SysTick_Type, CALIB));
  EXPECT_EQ(((calib & 0x00FFFFFFu) + 1u) * 8u * 1000u, 168000000u);
  EXPECT_EQ(calib >> 31, 0u);
  // The core runs with 8-byte stack alignment at exception entry, and the
  // priority grouping reads 0 under the key's status.
  EXPECT_NE(value("SCB", offsetof(SCB_Type, CCR)) & hw::SCB_CCR_STKALIGN, 0u);
  EXPECT_EQ(value("SCB", offsetof(SCB_Type, AIRCR)) & SCB_AIRCR_PRIGROUP_Msk, 0u);
  // A timer's reload is its counter's whole range: 32 bits on TIM2 and TIM5.
  for (const int n : {2, 3, 5, 6}) {
    const std::uint32_t arr = value(hw::find(hw::Kind::timer, n)->name, offsetof(TIM_TypeDef, ARR));
    EXPECT_EQ(arr, n == 2 || n == 5 ? 0xFFFFFFFFu : 0xFFFFu) << "TIM" << n;
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
  EXPECT_EQ(board().motor_drive().wiring().phase_of_channel, vboard::kDefaultWiring.phase_of_channel);
  EXPECT_EQ(board().motor_drive().inverter().supply_v(), vboard::kMotorSupplyV);
}

// The board's chip facts are its own: the firmware's start-up, run as it
// is, must put every wired pin in the function the board's table gives it
// and open the gates of the devices it drives. A wrong constant in the
// firmware's set-up shows: the same driver calls with a neighbour's
// function or gate bit leave USART3 without its line or its clock.
TEST(HardwareTable, TheFirmwaresSetUpIsJudgedByTheBoardsOwnChipFacts) {
  board().reset();
  board().power_on();
  board().run_for(vboard::ms(20));
  for (const hw::PinRow& row : hw::kWiring) {
    if (row.af == 0) continue;
    const vboard::GpioPort& port = board().gpio(row.port);
    EXPECT_EQ(port.mode(row.pin), vboard::GpioPort::kModeAlternate) << row.signal;
    EXPECT_EQ(port.alternate_function(row.pin), row.af) << row.signal;
  }
  for (const char* device : {"GPIOA", "GPIOB", "GPIOC", "TIM3", "TIM5", "TIM6", "SPI2", "USART3", "SYSCFG"})
    EXPECT_TRUE(board().model_at(hw::device(device).base)->clocked()) << device;
  vboard::Usart& usart = board().usart(3);
  ASSERT_TRUE(usart.tx_routed() && usart.clocked());
  GPIO_PinAFConfig(GPIOB, GPIO_PinSource10, GPIO_AF_USART6);
  EXPECT_FALSE(usart.tx_routed());
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_USART3, DISABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_USART2, ENABLE);
  EXPECT_FALSE(usart.clocked());
  board().reset();
}

}  // namespace
