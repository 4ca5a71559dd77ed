// A scenario on the virtual board: its motor, and its key presses, faults
// and serial floods as events in the board's queue.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "scenario.h"
#include "vboard/parts/keys.h"
#include "vboard/plant/motor.h"
#include "vboard/sim/clock.h"

namespace vboard {
class Board;
class Faults;
}  // namespace vboard

namespace run {

// Told a line of what happens on the board, at its virtual time.
using EventSink = std::function<void(vboard::Ticks, const std::string&)>;

// The scenario's motor: its preset with the scenario's fields on top,
// checked; nothing when the name or a value is refused (said in `error`).
std::optional<vboard::MotorParams> scenario_motor(const Scenario& s, std::string& error);

// Puts the scenario's key presses, its faults with their start and end, and
// its serial floods into the board's event queue. With `say`, each press and
// each switch of a fault is told when it happens.
void schedule_scenario(vboard::Board& board, vboard::Faults& faults, const Scenario& s, const EventSink& say);

vboard::Key board_key(KeyName key);
// "up (PC7)", "down (PC8)"
const char* key_label(KeyName key);

}  // namespace run
