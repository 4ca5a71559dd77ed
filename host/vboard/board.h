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
// The firmware runs on a thread of its own, started at the reset entry; the
// caller and the firmware take turns, so a test can run the board for a
// while, look at the firmware's globals and the models, change the world and
// run on. Every run starts from reset with the firmware's static memory at
// its initial image. Same inputs, same run.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vboard/clock.h"
#include "vboard/peripheral.h"
#include "vboard/rotor.h"

namespace vboard {

class Nvic;
class Scb;
class SysTickModel;
class Rcc;
class GpioPort;
class Timer;

// Board-level settings that a test or a scenario chooses before a run.
struct BoardConfig {
  bool crystal_fails = false;       // the 24 MHz crystal never starts
  Ticks crystal_startup = us(500);  // time from HSEON to HSERDY
  Ticks pll_lock = us(100);         // time from PLLON to PLLRDY
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

// Thrown on the firmware thread to end a run; never escapes the board.
struct RunAborted {};

// Thrown when firmware code called directly by a test (no firmware thread)
// waits for something that can never happen.
class Stalled : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Board {
 public:
  static Board& instance();
  ~Board();

  // Power-on reset: ends a running firmware, restores the firmware's static
  // memory image, resets every model and sets time to 0.
  void reset(const BoardConfig& config = {});
  // Starts the firmware at its reset entry; it runs when run_for is called.
  void power_on();
  bool firmware_running() const { return fw_thread_.joinable(); }

  // Advances virtual time: the firmware (if powered on) and the models run.
  void run_for(Ticks duration) { run_until(now_ + duration); }
  void run_until(Ticks when);

  Ticks now() const { return now_; }
  const BoardConfig& config() const { return config_; }
  const StopInfo& stop_info() const { return stop_; }

  // Events. Each (model, kind) has at most one pending time; scheduling it
  // again moves it, kNever cancels it.
  void schedule(Peripheral* owner, int kind, Ticks when);
  void cancel(Peripheral* owner, int kind) { schedule(owner, kind, kNever); }
  // A one-shot action at a virtual time, for tests and scenarios.
  void at(Ticks when, std::function<void()> action);

  // Interrupt lines from the device peripherals to the controller.
  void set_irq_line(int irq, bool level);
  void pend_irq(int irq);

  // Clock tree, as the RCC model publishes it.
  Ticks core_cycle() const { return core_cycle_; }
  void clocks_changed();

  // Models.
  Nvic& nvic() { return *nvic_; }
  Scb& scb() { return *scb_; }
  SysTickModel& systick() { return *systick_; }
  Rcc& rcc() { return *rcc_; }
  // The rotor under the position sensor.
  Rotor& rotor() { return rotor_; }
  GpioPort& gpio(char port);
  Timer& tim(int n);
  template <typename Model>
  Model* find() {
    for (auto& p : models_)
      if (auto* m = dynamic_cast<Model*>(p.get())) return m;
    return nullptr;
  }
  Peripheral* model_at(std::uintptr_t address) const;
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

  // While set, every register access is appended to this log.
  std::vector<BusAccess>* bus_log = nullptr;

  // The next time the main loop reaches its spin point, it stays busy for
  // `duration` (as if its work took that long); interrupts are taken meanwhile.
  void hold_main_loop(Ticks duration) { hold_ = duration; }

  // Reads or writes a register as a debugger would: no time, no side effect.
  std::uint32_t peek(std::uintptr_t address, unsigned width = 4) const;
  void poke(std::uintptr_t address, std::uint32_t value, unsigned width = 4);

  static constexpr Ticks kAccessCycles = 2;  // core cycles per register access
  static constexpr Ticks kEntryCycles = 12;  // exception entry
  static constexpr Ticks kExitCycles = 10;   // exception return
  static constexpr int kPollThreshold = 3;   // identical reads that make a poll idle
  static constexpr int kStallPolls = 1 << 20;  // identical reads of an idle peripheral that make a stall

 private:
  Board();
  void build();
  void build_extensions();  // models added beside the core set (extensions.cpp)
  bool on_firmware_thread() const;
  void attach(std::unique_ptr<Peripheral> model);
  void restore_static_memory();

 public:
  void restore_firmware_memory() { restore_static_memory(); }

 private:

  // Time and events.
  void advance(Ticks duration);  // moves time, running due events
  void run_events_until(Ticks when);
  Ticks next_event() const { return next_event_; }
  void recompute_next_event();
  void idle_skip();
  void poll_skip(const Peripheral* owner, std::uintptr_t address);
  void sync(Ticks cycles);  // cost of an access, then pending interrupts
  void take_interrupts();
  void check_pause();

  // Firmware thread.
  void firmware_main();
  void yield_to_host();
  void stop_firmware();

  BoardConfig config_{};
  Rotor rotor_;
  StopInfo stop_{};
  Ticks now_ = 0;
  Ticks core_cycle_ = period_of(16'000'000);

  struct Slot {
    Peripheral* owner;
    int kind;
    Ticks when;
  };
  std::vector<Slot> slots_;
  std::multimap<Ticks, std::function<void()>> actions_;
  Ticks next_event_ = kNever;
  int next_slot_ = -1;  // the slot due at next_event_, or -1 for an action
  bool in_events_ = false;

  std::vector<std::unique_ptr<Peripheral>> models_;
  std::array<Peripheral*, 0x24000 / 0x400> periph_pages_{};
  std::array<Peripheral*, 0x1000 / 0x10> core_pages_{};
  Nvic* nvic_ = nullptr;
  Scb* scb_ = nullptr;
  SysTickModel* systick_ = nullptr;
  Rcc* rcc_ = nullptr;
  std::array<GpioPort*, 3> gpio_{};
  std::array<Timer*, 15> tim_{};

  // Poll detection.
  std::uintptr_t last_read_ = 0;
  std::uint32_t last_value_ = 0;
  int poll_count_ = 0;
  bool read_was_volatile_ = false;
  std::uint64_t interrupts_seen_at_spin_ = 0;
  Ticks hold_ = 0;

  std::uint64_t accesses_ = 0;
  std::uint64_t interrupts_taken_ = 0;
  std::array<std::uint64_t, 16 + 82> entries_{};

  // Turn-taking between the caller and the firmware thread.
  std::thread fw_thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool fw_turn_ = false;
  bool abort_ = false;
  bool fw_done_ = false;
  Ticks pause_at_ = kNever;
  std::thread::id fw_id_;
};

inline Board& board() { return Board::instance(); }

}  // namespace vboard
