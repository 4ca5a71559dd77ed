// The board assembled: its models, reset, the clock tree's fan-out and the
// run loop that hands turns to the firmware.
#include "vboard/board/board.h"

#include "port.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vboard/parts/as5048a.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/exti.h"
#include "vboard/parts/ground_station.h"
#include "vboard/parts/keys.h"
#include "vboard/parts/motor_drive.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/chip/spi.h"
#include "vboard/chip/usart.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/hardware.h"
#include "vboard/chip/rcc.h"
#include "vboard/chip/tim/timer.h"
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

Board::Board() {
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
      for (std::uintptr_t a = base; a < base + m->size(); a += 0x10)
        core_pages_[(a - bus::kCoreBase) / 0x10] = m;
    } else {
      for (std::uintptr_t a = base; a < base + m->size(); a += 0x400)
        periph_pages_[(a - bus::kPeriphBase) / 0x400] = m;
    }
  }
  models_.push_back(std::move(model));
}


Timer& Board::tim(int n) {
  Timer* t = tim_.at(static_cast<std::size_t>(n));
  if (!t) throw std::out_of_range("no model of this timer");
  return *t;
}

void Board::build() {
  // The devices, walking the board's table; each part around the chip after
  // the devices it attaches to.
  for (const hw::DeviceRow& row : hw::kDevices) {
    switch (row.kind) {
      case hw::Kind::nvic: nvic_ = &add<Nvic>(row); break;
      case hw::Kind::scb: scb_ = &add<Scb>(row); break;
      case hw::Kind::systick: systick_ = &add<SysTickModel>(row); break;
      case hw::Kind::rcc: rcc_ = &add<Rcc>(row); break;
      case hw::Kind::pwr: add<PwrModel>(row); break;
      case hw::Kind::flash: add<FlashInterface>(row); break;
      case hw::Kind::gpio: gpio_.at(static_cast<std::size_t>(row.number)) = &add<GpioPort>(row); break;
      case hw::Kind::timer: tim_.at(static_cast<std::size_t>(row.number)) = &add<Timer>(row); break;
      case hw::Kind::spi:
        add<Spi>(row);
        if (&row == &hw::device("SPI2")) add<As5048a>();
        break;
      case hw::Kind::usart:
        add<Usart>(row);
        if (&row == &hw::device("USART3")) add<GroundStation>();
        break;
      case hw::Kind::syscfg: add<Syscfg>(row); break;
      case hw::Kind::exti:
        add<Exti>(row);  // follows SYSCFG's routing
        add<Keys>();
        add<SensorPwm>();
        drive_ = &add<MotorDrive>();  // on TIM5
        break;
    }
  }
}

void Board::reset(const BoardConfig& config) {
  stop_firmware();
  config_ = config;
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
  gap_count_ = 0;
  interrupts_taken_ = 0;
  entries_.fill(0);
  on_exception_entry = nullptr;
  on_exception_exit = nullptr;
  on_observe = nullptr;
  bus_log = nullptr;
  hold_ = 0;
  rotor_.reset();
  for (auto& m : models_) m->reset();
  clocks_changed();
  gates_changed();
}

void Board::restore_static_memory() {
  const auto& image = initial_image();
  std::memcpy(__firmware_ram_start, image.data(), image.size());
}

double Board::sensor_angle(Ticks t) { return rotor_.forced() ? rotor_.angle(t) : drive_->sensor_angle_deg(); }

const Motor& Board::motor() { return drive_->motor(); }
const Inverter& Board::inverter() const { return drive_->inverter(); }
void Board::set_motor_params(const MotorParams& params) { drive_->set_params(params); }
void Board::set_load_torque(Ticks at, double nm) { drive_->set_load_torque(at, nm); }

void Board::lost_control(Ticks when, std::string reason) {
  if (stop_.lost_control) return;
  stop_.lost_control = true;
  stop_.lost_control_at = when;
  stop_.lost_control_reason = std::move(reason);
}

void Board::unmodelled(std::uintptr_t address, std::uint32_t value, bool write, std::string what) {
  ++gap_count_;
  if (gaps_.size() < kMaxGaps) gaps_.push_back({now(), address, value, write, std::move(what)});
}

std::string Board::gap_report() const {
  std::string text;
  char line[96];
  for (const Gap& g : gaps_) {
    std::snprintf(line, sizeof line, "%12.3f us  %s 0x%08lx = 0x%08lx  ", to_us(g.time), g.write ? "write" : "read ",
                  static_cast<unsigned long>(g.address), static_cast<unsigned long>(g.value));
    text += line;
    text += g.what;
    text += '\n';
  }
  if (gap_count_ > gaps_.size()) text += "... and " + std::to_string(gap_count_ - gaps_.size()) + " more\n";
  return text;
}

void Board::clocks_changed() {
  core_cycle_ = rcc_ ? rcc_->hclk_period() : period_of(16'000'000);
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
  runner_.start([this] {
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
    if (runner_.done()) take_interrupts();
    return;
  }
  sched_.set_bound(nvic_->anything_takeable() ? 0 : when);  // `when` is the pause of this turn
  runner_.resume(when);
  // Without a running firmware (or after it ended) the models go on alone;
  // interrupts are taken on this thread.
  while (now() < when) {
    sched_.run_until(std::min(sched_.next_event(), when));
    take_interrupts();
  }
}

void Board::stop_firmware() { runner_.stop(); }

Board::~Board() {
  stop_firmware();
  bus::target = &board_port_unbuilt();
  built_ = nullptr;
}

}  // namespace vboard
