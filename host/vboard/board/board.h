// The virtual board: an STM32F405 with its peripheral models, the sensor,
// the keys and the serial peer around it, running the firmware in virtual
// time.
//
// Time advances only at sync points: every register access costs a few core
// cycles, the busy-wait delay costs what its loop takes at the core clock in
// force, and a loop that polls without anything changing (the idle main loop,
// a status poll, a fault handler's endless loop) skips ahead to the next
// event. Interrupts are taken at sync points, in the order the interrupt
// controller gives, by calling the handler from the firmware's own vector
// table; the firmware's computation in between takes no virtual time.
//
// The firmware runs in a context of its own, started at the reset entry; the
// caller and the firmware take turns, so a test can run the board for a
// while, look at the firmware's globals and the models, change the world and
// run on. Every run starts from reset with the firmware's static memory at
// its initial image. Same inputs, same run.
//
// The parts: sim/scheduler.h (virtual time and events), bus.cpp (address
// dispatch, access cost, poll detection and time skipping),
// interrupt_entry.cpp (exception entry at sync points),
// sim/firmware_runner.h (the firmware's thread and turn-taking); this file
// assembles the board: it creates every model from the board's table
// (chip/hardware.h), maps its registers and wires it (its context, clock
// tree, interrupt line and pins). No model holds the board.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "port.h"
#include "vboard/chip/clock_tree.h"
#include "vboard/chip/gpio.h"
#include "vboard/chip/peripheral.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/plant/motor_params.h"
#include "vboard/plant/motor_wiring.h"
#include "vboard/sim/clock.h"
#include "vboard/sim/context.h"
#include "vboard/sim/gaps.h"
#include "vboard/sim/model.h"
#include "vboard/sim/scheduler.h"
#include "vboard/sim/stop_info.h"

namespace vboard {

class FirmwareRunner;
class Rcc;
class Syscfg;
class Timer;
class Spi;
class Usart;
class Rotor;
class GroundStation;
class MotorDrive;

// Board-level settings that a test or a scenario chooses before a run.
struct BoardConfig {
  bool crystal_fails = false;       // the 24 MHz crystal never starts
  Ticks crystal_startup = us(500);  // time from HSEON to HSERDY
  Ticks pll_lock = us(100);         // time from PLLON to PLLRDY
  MotorParams motor{};              // the motor on TIM5's phases ("gimbal")
  MotorWiring wiring = kDefaultWiring;  // its phases, the sensor's direction and magnet
};

// One register access, as a bus analyser would record it.
struct BusAccess {
  Ticks time;
  std::uintptr_t address;
  std::uint32_t value;
  unsigned width;
  bool write;
  bool operator==(const BusAccess&) const = default;
};

// Thrown when firmware code called directly by a test (no firmware thread)
// waits for something that can never happen.
class Stalled : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Board {
 public:
  static Board& instance() {
    static Board board;
    return board;
  }
  // The same board for the firmware's accesses, without the check for its
  // construction: only the board's own port asks, installed while it exists.
  static Board& for_firmware() { return *built_; }
  ~Board();

  // Power-on reset: ends a running firmware, restores the firmware's static
  // memory image, resets every model and sets time to 0.
  void reset(const BoardConfig& config = {});
  // Starts the firmware at its reset entry; it runs when run_for is called.
  void power_on();

  // Advances virtual time: the firmware (if powered on) and the models run.
  // A bound at or before now runs only what falls due now.
  void run_for(Ticks duration) { run_until(now() + duration); }
  void run_until(Ticks when);

  Ticks now() const { return sched_.now(); }
  const BoardConfig& config() const { return config_; }
  const StopInfo& stop_info() const { return stop_; }

  // A one-shot action at a virtual time, for tests and scenarios.
  void at(Ticks when, std::function<void()> action) { sched_.at(when, std::move(action)); }

  // Interrupt lines from the devices to the controller, for tests.
  void set_irq_line(int irq, bool level);
  void pend_irq(int irq);

  // One core cycle at the clock in force (the clock tree as the RCC model
  // set it up).
  Ticks core_cycle() const { return clocks_.hclk_period; }

  // Models.
  Nvic& nvic() { return *nvic_; }
  Scb& scb() { return *scb_; }
  SysTickModel& systick() { return *systick_; }
  Rcc& rcc() { return *rcc_; }
  // What the position sensor's magnet turns with: a scripted rotor, once
  // it is set (until the next reset), otherwise the motor's shaft.
  Rotor& rotor() { return *rotor_; }
  // The inverter and the motor on TIM5's phase outputs, and the load.
  MotorDrive& motor_drive() { return *drive_; }
  GpioPort& gpio(char port) { return ports_[port]; }
  // The devices by number and the ground station on USART3; each throws
  // std::out_of_range for a device the board does not have.
  Timer& tim(int n);
  Spi& spi(int n);
  Usart& usart(int n);
  GroundStation& ground_station() { return *station_; }
  template <typename Model>
  Model* find() {
    for (auto& p : models_)
      if (auto* m = dynamic_cast<Model*>(p.get())) return m;
    return nullptr;
  }
  Peripheral* model_at(std::uintptr_t address) const {
    if (address >= bus::kCoreBase) {
      if (address >= bus::kCoreBase + bus::kCoreSize) return nullptr;
      return core_pages_[(address - bus::kCoreBase) / 0x10];
    }
    if (address < bus::kPeriphBase || address >= bus::kPeriphBase + bus::kPeriphSize) return nullptr;
    return periph_pages_[(address - bus::kPeriphBase) / 0x400];
  }
  // Adds a model, made with the board's context and `args`; the board keeps
  // it for the life of the board.
  template <typename Model, typename... Args>
  Model& add(Args&&... args) {
    auto m = std::make_unique<Model>(context_, std::forward<Args>(args)...);
    Model& ref = *m;
    attach(std::move(m));
    return ref;
  }

  // Statistics for reports and benchmarks.
  std::uint64_t register_accesses() const { return accesses_; }
  std::uint64_t interrupts_taken() const { return interrupts_taken_; }
  std::uint64_t handler_entries(int exception) const { return entries_[static_cast<std::size_t>(exception)]; }

  // Observer of every exception entry (exception number, time).
  std::function<void(int, Ticks)> on_exception_entry;
  // Observer of every exception return, once the return's cycles are over.
  std::function<void(int, Ticks)> on_exception_exit;
  // Called at every handler entry and exit and at every spin point of the
  // main loop: the points between which the main loop runs undisturbed.
  std::function<void()> on_observe;

  // ---- Firmware side (called through the port) ----
  std::uint32_t bus_read(const void* reg, unsigned width);
  void bus_write(void* reg, std::uint32_t value, unsigned width);
  void spin_point();
  void busy_wait(Ticks duration);

  // Accesses the board does not model since reset (sim/gaps.h): the first
  // kMaxGaps in full, all of them counted. A run that relies on the models
  // alone has none.
  const std::vector<Gap>& gaps() const { return gaps_.gaps(); }
  std::uint64_t gap_count() const { return gaps_.count(); }
  std::string gap_report() const { return gaps_.report(); }  // one line a gap, empty when there is none
  static constexpr std::size_t kMaxGaps = GapLog::kMax;

  // While set, every register access is appended to this log.
  std::vector<BusAccess>* bus_log = nullptr;

  // The next time the main loop reaches its spin point, it stays busy for
  // `duration` (as if its work took that long); interrupts are taken meanwhile.
  void hold_main_loop(Ticks duration) { hold_ = duration; }

  // Reads or writes a register as a debugger would: no time, no side effect.
  std::uint32_t peek(std::uintptr_t address, unsigned width = 4) const {
    std::uint32_t v = 0;
    std::memcpy(&v, bus::host_address(address), width);
    return v;
  }
  void poke(std::uintptr_t address, std::uint32_t value, unsigned width = 4);

  // The firmware's static memory back to its initial image: at every reset,
  // and when the firmware's start-up code initialises its data.
  void restore_static_memory();

  static constexpr Ticks kAccessCycles = 2;  // core cycles per register access
  static constexpr Ticks kEntryCycles = 12;  // exception entry
  static constexpr Ticks kExitCycles = 10;   // exception return
  static constexpr int kPollThreshold = 3;   // identical reads that make a poll idle
  static constexpr int kStallPolls = 1 << 20;  // identical reads of an idle peripheral that make a stall

 private:
  Board();
  void build();
  void attach(std::unique_ptr<Model> model);
  void stop_firmware();
  void clocks_changed();  // the clock tree's fan-out to the models

  // Time skipping and sync points (bus.cpp).
  void idle_skip();
  void poll_skip(const Peripheral* owner, std::uintptr_t address);
  void poll_stalled(std::uintptr_t address);
  std::uint32_t poll_seen(std::uint32_t value);
  Peripheral* model_of(const void* reg, std::uintptr_t& address) const;
  Peripheral* quiet_model(const void* reg, std::uintptr_t& address, Ticks& end) const;
  std::uint32_t notice_read(std::uintptr_t address, std::uint32_t value);
  std::uint32_t read_full(const void* reg, unsigned width);
  void write_full(void* reg, std::uint32_t value, unsigned width);
  void log_access(std::uintptr_t address, std::uint32_t value, unsigned width, bool write);
  std::uint32_t unmodelled_read(std::uintptr_t address, const void* reg, unsigned width);
  void unmodelled_write(std::uintptr_t address, void* reg, std::uint32_t value, unsigned width);
  void sync(Ticks cycles);  // cost of an access, then pending interrupts
  void check_pause();
  void settle();
  void stopped_in_handler();
  void advance(Ticks duration) { sched_.run_until(sched_.now() + duration); }
  // Interrupt entry (interrupt_entry.cpp). The controller keeps what is
  // takeable up to date as pending and enable bits change: nothing to scan
  // at an access while nothing is.
  void take_interrupts() {
    if (nvic_->next_to_take() != 0) take_pending_interrupts();
  }
  void take_pending_interrupts();

  BoardConfig config_{};
  std::unique_ptr<Rotor> rotor_;  // the sensor's magnet: the shaft or a scripted rotor
  StopInfo stop_{};
  Scheduler sched_;
  GapLog gaps_;
  ClockTree clocks_;
  GpioPorts ports_;

  std::vector<std::unique_ptr<Model>> models_;  // devices and parts, in build order
  std::array<Peripheral*, 0x24000 / 0x400> periph_pages_{};
  // The same with only the models an access may reach by the short path:
  // those whose clock is on, and not the RCC, whose writes move the gates.
  // Worked out again whenever a gate may have moved.
  std::array<Peripheral*, 0x24000 / 0x400> quiet_pages_{};
  void gates_changed();
  std::array<Peripheral*, 0x1000 / 0x10> core_pages_{};
  Nvic* nvic_ = nullptr;
  Scb* scb_ = nullptr;
  SysTickModel* systick_ = nullptr;
  Rcc* rcc_ = nullptr;
  Syscfg* syscfg_ = nullptr;
  std::array<Timer*, 15> tim_{};
  std::array<Spi*, 4> spi_{};
  std::array<Usart*, 7> usart_{};
  GroundStation* station_ = nullptr;
  MotorDrive* drive_ = nullptr;

  // Poll detection.
  std::uintptr_t last_read_ = 0;
  std::uintptr_t reading_ = 0;  // the address of the read in progress
  std::uint32_t last_value_ = 0;
  int poll_count_ = 0;
  bool read_was_volatile_ = false;  // a model said the read in progress changes by itself
  std::uint64_t interrupts_seen_at_spin_ = 0;
  Ticks hold_ = 0;

  std::uint64_t accesses_ = 0;
  std::uint64_t interrupts_taken_ = 0;
  std::array<std::uint64_t, kExceptions> entries_{};

  // What every model is handed (declared after what it points at).
  Context context_{sched_, gaps_, stop_, read_was_volatile_};

  std::unique_ptr<FirmwareRunner> runner_;
  static inline Board* built_ = nullptr;
};

inline Board& board() { return Board::instance(); }

// The name of the handler the firmware's vector table gives an exception:
// its symbol, as the program's symbol table has it (handler_names.cpp).
std::string exception_name(int exception);

// The targets that serve the firmware's port (bus.cpp): the board's own,
// installed while the board exists, and the one before any firmware code
// runs, whose first access builds the board.
bus::Target& board_port();
bus::Target& board_port_unbuilt();

}  // namespace vboard
