// The board assembled: its models, reset, the clock tree's fan-out and the
// run loop that hands turns to the firmware.
#include "vboard/board/board.h"

#include <algorithm>
#include <cstring>

#include "port.h"
#include "vboard/chip/exti.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/rcc.h"
#include "vboard/chip/spi.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/tim/timer.h"
#include "vboard/chip/usart.h"
#include "vboard/parts/as5048a.h"
#include "vboard/parts/ground_station.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/rotor.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/sim/firmware_runner.h"
#include "vectors.h"

extern "C" char __firmware_ram_start[];
extern "C" char __firmware_ram_end[];

namespace vboard {

namespace {

// The firmware's static memory as the program image holds it, taken before
// any firmware code runs.
const std::vector<char>& initial_image() {
  static const std::vector<char> image(__firmware_ram_start, __firmware_ram_end);
  return image;
}
[[maybe_unused]] const bool image_taken = !initial_image().empty() || true;
[[maybe_unused]] const bool port_installed = (bus::target = &board_port_unbuilt(), true);

}  // namespace

Board::Board() : rotor_(std::make_unique<Rotor>()), runner_(std::make_unique<FirmwareRunner>()) {
  build();
  reset();
  built_ = this;
  bus::target = &board_port();
}

void Board::attach(std::unique_ptr<Model> model) {
  // A device takes the bus pages of its block; a part has none.
  if (auto* m = dynamic_cast<Peripheral*>(model.get())) {
    const std::uintptr_t base = m->base();
    if (base >= bus::kCoreBase) {
      for (std::uintptr_t a = base; a < base + m->size(); a += 0x10) {
        Peripheral*& page = core_pages_[(a - bus::kCoreBase) / 0x10];
        if (page != nullptr) page->cede(static_cast<std::uint32_t>(a - page->base()), 0x10);  // a block inside another's
        page = m;
      }
    } else {
      for (std::uintptr_t a = base; a < base + m->size(); a += 0x400)
        periph_pages_[(a - bus::kPeriphBase) / 0x400] = m;
    }
  }
  models_.push_back(std::move(model));
}


namespace {
template <typename Device, std::size_t N>
Device& numbered(const std::array<Device*, N>& devices, int n, const char* what) {
  Device* d = n >= 0 && static_cast<std::size_t>(n) < N ? devices[static_cast<std::size_t>(n)] : nullptr;
  if (d == nullptr) throw std::out_of_range(what);
  return *d;
}
}  // namespace

Timer& Board::tim(int n) { return numbered(tim_, n, "no model of this timer"); }
Spi& Board::spi(int n) { return numbered(spi_, n, "no model of this SPI"); }
Usart& Board::usart(int n) { return numbered(usart_, n, "no model of this USART"); }

void Board::build() {
  // Each device of the board's table in its order, mapped and wired; each
  // part around the chip after the devices it attaches to.
  for (const hw::DeviceRow& row : hw::kDevices) {
    const auto n = static_cast<std::size_t>(row.number);
    switch (row.kind) {
      case hw::Kind::nvic: nvic_ = &add<Nvic>(row); break;
      case hw::Kind::scb:
        scb_ = &add<Scb>(row, *nvic_);
        nvic_->use(*scb_);
        break;
      case hw::Kind::systick: systick_ = &add<SysTickModel>(row, *nvic_, clocks_); break;
      case hw::Kind::rcc: rcc_ = &add<Rcc>(row, clocks_, [this] { clocks_changed(); }); break;
      case hw::Kind::pwr: add<PwrModel>(row); break;
      case hw::Kind::flash: add<FlashInterface>(row); break;
      case hw::Kind::gpio: ports_.add(add<GpioPort>(row)); break;
      case hw::Kind::timer: tim_.at(n) = &add<Timer>(row, IrqLine(*nvic_, row.irq), clocks_, ports_); break;
      case hw::Kind::spi:
        spi_.at(n) = &add<Spi>(row, IrqLine(*nvic_, row.irq), clocks_, ports_);
        if (&row == &hw::device("SPI2")) add<As5048a>(*spi_[n], ports_, *rotor_);
        break;
      case hw::Kind::usart:
        usart_.at(n) = &add<Usart>(row, IrqLine(*nvic_, row.irq), clocks_, ports_);
        if (&row == &hw::device("USART3")) station_ = &add<GroundStation>(*usart_[n]);
        break;
      case hw::Kind::syscfg: syscfg_ = &add<Syscfg>(row); break;
      case hw::Kind::exti:
        add<Exti>(row, *nvic_, *syscfg_, ports_);  // follows SYSCFG's routing
        add<Keys>(ports_);
        add<SensorPwm>(tim(SensorPwm::kTimer), ports_, *rotor_);
        drive_ = &add<MotorDrive>(tim(MotorDrive::kTimer), ports_);
        rotor_->mount(*drive_);
        break;
    }
  }
}

void Board::reset(const BoardConfig& config) {
  stop_firmware();
  config_ = config;
  rcc_->set_oscillators({config.crystal_fails, config.crystal_startup, config.pll_lock});
  drive_->configure(config.motor, config.wiring);
  stop_ = {};
  sched_.clear();
  std::memset(bus::periph_space, 0, sizeof bus::periph_space);
  std::memset(bus::core_space, 0, sizeof bus::core_space);
  restore_static_memory();
  last_read_ = 0;
  last_value_ = 0;
  poll_count_ = 0;
  read_was_volatile_ = false;
  interrupts_seen_at_spin_ = 0;
  accesses_ = 0;
  gaps_.clear();
  interrupts_taken_ = 0;
  entries_.fill(0);
  on_exception_entry = nullptr;
  on_exception_exit = nullptr;
  on_observe = nullptr;
  bus_log = nullptr;
  hold_ = 0;
  rotor_->reset();
  for (auto& m : models_) m->reset();
  clocks_changed();
  gates_changed();
}

void Board::restore_static_memory() {
  const auto& image = initial_image();
  std::memcpy(__firmware_ram_start, image.data(), image.size());
}

void Board::clocks_changed() {
  for (auto& m : models_) m->clocks_changed();
}

void Board::poke(std::uintptr_t address, std::uint32_t value, unsigned width) {
  std::memcpy(bus::host_address(address), &value, width);
  if (Peripheral* m = model_at(address)) m->registers_poked();
  gates_changed();  // it may have opened or closed a clock gate
}

void Board::gates_changed() {
  for (std::size_t i = 0; i < periph_pages_.size(); ++i) {
    Peripheral* m = periph_pages_[i];
    quiet_pages_[i] = m != nullptr && m != rcc_ && m->clocked() ? m : nullptr;
  }
}

// ---------------------------------------------------------------------------
// Running

void Board::power_on() {
  stop_firmware();
  interrupts_seen_at_spin_ = interrupts_taken_;
  runner_->start([this] {
    g_pfnVectors[1].handler();  // the reset entry
    stop_.main_returned = true;
  });
}

void Board::run_until(Ticks when) {
  if (when <= now()) {
    // A bound already reached gives the firmware no turn: its next step
    // takes time and would end past the bound, so that asking again for the
    // time a run stopped at would change the run. What falls due now still
    // runs; an interrupt it raises is taken in the firmware's next turn, as
    // in a run that had not stopped here (without a firmware, it is taken
    // here).
    sched_.run_until(now());
    if (runner_->done()) take_interrupts();
    return;
  }
  sched_.set_pause(when);  // the pause of this turn (the controller keeps the alert)
  runner_->resume(when);
  // Without a running firmware (or after it ended) the models go on alone;
  // interrupts are taken on this thread.
  while (now() < when) {
    sched_.run_until(std::min(sched_.next_event(), when));
    take_interrupts();
  }
}

void Board::stop_firmware() { runner_->stop(); }

Board::~Board() {
  stop_firmware();
  bus::target = &board_port_unbuilt();
  built_ = nullptr;
}

}  // namespace vboard
