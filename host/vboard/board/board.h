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
// assembles the board.
#pragma once

#include <array>
#include <cstring>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "port.h"
#include "vboard/sim/clock.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/sim/firmware_runner.h"
#include "vboard/plant/motor.h"
#include "vboard/plant/motor_wiring.h"
#include "vboard/sim/peripheral.h"
#include "vboard/parts/rotor.h"
#include "vboard/sim/scheduler.h"

namespace vboard {

class Nvic;
class Scb;
class SysTickModel;
class Rcc;
class GpioPort;
class Timer;
class MotorDrive;
class Inverter;

// Board-level settings that a test or a scenario chooses before a run.
struct BoardConfig {
  bool crystal_fails = false;       // the 24 MHz crystal never starts
  Ticks crystal_startup = us(500);  // time from HSEON to HSERDY
  Ticks pll_lock = us(100);         // time from PLLON to PLLRDY
  MotorParams motor{};              // the motor on TIM5's phases ("gimbal")
  MotorWiring wiring = kDefaultWiring;  // its phases, the sensor's direction and magnet
};

// Why a run stopped, for reports.
struct StopInfo {
  bool main_returned = false;
  bool stopped_in_handler = false;  // a handler spins for ever
  int exception = 0;                // its exception number
  std::string handler;              // its name
  Ticks since = 0;
  bool stalled = false;  // a poll waits for something that never comes
  std::uintptr_t stalled_address = 0;
  bool lost_control = false;  // the motor ran away from the position loop
  Ticks lost_control_at = 0;
  std::string lost_control_reason;  // "loss of control: ..."
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

// An access the board does not model: an address with no model behind it,
// or a register bit or field a model knows of but does not implement. The
// firmware's access goes on (the bytes are stored, or the bit is ignored);
// the record shows the gap.
struct Gap {
  Ticks time;
  std::uintptr_t address;
  std::uint32_t value;
  bool write;
  std::string what;  // the model's words for the gap
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

  // Events. Each (model, kind) has at most one pending time; scheduling it
  // again moves it, kNever cancels it.
  void schedule(Model* owner, int kind, Ticks when) { sched_.schedule(owner, kind, when); }
  void cancel(Model* owner, int kind) { sched_.cancel(owner, kind); }
  // A one-shot action at a virtual time, for tests and scenarios.
  void at(Ticks when, std::function<void()> action) { sched_.at(when, std::move(action)); }

  // Interrupt lines from the devices to the controller.
  void set_irq_line(int irq, bool level);
  void pend_irq(int irq);
  // The controller tells whether some exception is pending and enabled: an
  // access then looks at it (the scheduler's bound is now), otherwise only
  // at events and at the pause of the run.
  void interrupts_takeable(bool any) { sched_.set_bound(any ? 0 : runner_.pause_at()); }

  // Clock tree, as the RCC model publishes it.
  Ticks core_cycle() const { return core_cycle_; }
  void clocks_changed();

  // Models.
  Nvic& nvic() { return *nvic_; }
  Scb& scb() { return *scb_; }
  SysTickModel& systick() { return *systick_; }
  Rcc& rcc() { return *rcc_; }
  // A scripted rotor under the position sensor: setting it makes the sensor
  // read it instead of the motor's shaft, until the next reset.
  Rotor& rotor() { return rotor_; }
  // The sensor's mechanical angle at `t` (now), in [0, 360): the
  // scripted rotor's once it is set, otherwise the motor's shaft through the
  // wiring, in the sensor's 14-bit steps.
  double sensor_angle(Ticks t);
  // The inverter and motor on TIM5's phase outputs. motor() is advanced to
  // now; its inputs are the drive's, so change them through motor_drive().
  MotorDrive& motor_drive() { return *drive_; }
  const Motor& motor();
  const Inverter& inverter() const;
  // A new motor of `params` at rest where the shaft stands (throws for
  // parameters out of range), and the load torque from `at` on.
  void set_motor_params(const MotorParams& params);
  void set_load_torque(Ticks at, double nm);
  // In line: models ask for pins at every edge and byte.
  GpioPort& gpio(char port) { return *gpio_.at(static_cast<std::size_t>(port - 'A')); }
  Timer& tim(int n);
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
  // Adds a model; the board keeps it for the life of the board.
  template <typename Model, typename... Args>
  Model& add(Args&&... args) {
    auto m = std::make_unique<Model>(*this, std::forward<Args>(args)...);
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
  // Called at every handler entry and exit and at every spin point of the
  // main loop: the points between which the main loop runs undisturbed.
  std::function<void()> on_observe;

  // ---- Firmware side (called through the port) ----
  std::uint32_t bus_read(const void* reg, unsigned width);
  void bus_write(void* reg, std::uint32_t value, unsigned width);
  void spin_point();
  void busy_wait(Ticks duration);
  // Marks the current read as time-varying (a running counter): repeated
  // reads of it are not an idle poll.
  void volatile_read() { read_was_volatile_ = true; }

  // Accesses the board does not model since reset: the first kMaxGaps in
  // full, all of them counted. A run that relies on the models alone has
  // none.
  const std::vector<Gap>& gaps() const { return gaps_; }
  std::uint64_t gap_count() const { return gap_count_; }
  std::string gap_report() const;  // one line a gap, empty when there is none
  // A model reports an access it does not implement.
  void unmodelled(std::uintptr_t address, std::uint32_t value, bool write, std::string what);
  // The phase drive's watch reports a runaway (once; the first one stands).
  void lost_control(Ticks when, std::string reason);
  static constexpr std::size_t kMaxGaps = 256;

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
  Rotor rotor_;
  StopInfo stop_{};
  Scheduler sched_;
  Ticks core_cycle_ = period_of(16'000'000);

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
  std::array<GpioPort*, 3> gpio_{};
  std::array<Timer*, 15> tim_{};
  MotorDrive* drive_ = nullptr;

  // Poll detection.
  std::uintptr_t last_read_ = 0;
  std::uintptr_t reading_ = 0;  // the address of the read in progress
  std::uint32_t last_value_ = 0;
  int poll_count_ = 0;
  bool read_was_volatile_ = false;
  std::uint64_t interrupts_seen_at_spin_ = 0;
  Ticks hold_ = 0;

  std::vector<Gap> gaps_;
  std::uint64_t gap_count_ = 0;
  std::uint64_t accesses_ = 0;
  std::uint64_t interrupts_taken_ = 0;
  std::array<std::uint64_t, kExceptions> entries_{};

  FirmwareRunner runner_;
  static inline Board* built_ = nullptr;
};

inline Board& board() { return Board::instance(); }

// The targets that serve the firmware's port (bus.cpp): the board's own,
// installed while the board exists, and the one before any firmware code
// runs, whose first access builds the board.
bus::Target& board_port();
bus::Target& board_port_unbuilt();

}  // namespace vboard
