#include "scenario_board.h"

#include <stdexcept>

#include "board_time.h"
#include "vboard/board/board.h"
#include "vboard/faults/faults.h"
#include "vboard/parts/ground_station.h"

namespace run {

vboard::Key board_key(KeyName key) { return key == KeyName::kUp ? vboard::Key::kRaise : vboard::Key::kLower; }

const char* key_label(KeyName key) { return key == KeyName::kUp ? "up (PC7)" : "down (PC8)"; }

std::optional<vboard::MotorParams> scenario_motor(const Scenario& s, std::string& error) {
  auto at = [](const std::string& where) { return where.empty() ? where : where + ": "; };
  vboard::MotorParams p;
  try {
    p = vboard::motor_preset(s.motor);
  } catch (const std::invalid_argument& e) {
    error = at(s.motor_preset_where) + "motor.preset: " + e.what();
    return std::nullopt;
  }
  const auto& m = s.motor_overrides;
  auto put = [](auto& field, const auto& value) {
    if (value) field = *value;
  };
  put(p.pole_pairs, m.pole_pairs);
  put(p.phase_resistance_ohm, m.phase_resistance_ohm);
  put(p.phase_inductance_h, m.phase_inductance_h);
  put(p.torque_constant_nm_per_a, m.torque_constant_nm_per_a);
  put(p.inertia_kg_m2, m.inertia_kg_m2);
  put(p.viscous_nm_s_per_rad, m.viscous_nm_s_per_rad);
  put(p.coulomb_friction_nm, m.coulomb_friction_nm);
  put(p.breakaway_torque_nm, m.breakaway_torque_nm);
  put(p.cogging_torque_nm, m.cogging_torque_nm);
  put(p.supply_v, m.supply_v);
  try {
    p.validate();
  } catch (const std::invalid_argument& e) {
    error = at(s.motor_where) + "motor: " + e.what();
    return std::nullopt;
  }
  return p;
}

void schedule_scenario(vboard::Board& board, vboard::Faults& faults, const Scenario& s, const EventSink& say) {
  auto* keys = board.find<vboard::Keys>();
  for (const auto& p : s.presses) {
    const vboard::Ticks at = ticks_of(p.at_s);
    keys->click(board_key(p.key), at, ticks_of(p.hold_s));
    if (say) {
      const std::string line = std::string("key ") + key_label(p.key) + " pressed" +
                               (p.hold_s < kKeyDebounceS ? " (released within the debounce: not registered)" : "");
      board.at(at, [say, at, line] { say(at, line); });
    }
  }
  std::uint64_t seed = 1;
  for (const auto& f : s.faults) {
    const vboard::Fault fault{.kind = f.kind,
                              .percent = f.percent,
                              .width_us = f.width_s * 1e6,
                              .rate_hz = f.rate_hz,
                              .bounce_ms = f.bounce_s * 1e3,
                              .key = board_key(f.key),
                              .seed = seed++};
    // Faults present from power-on are set before the firmware starts.
    faults.schedule(fault, f.from_s == 0.0 ? 0 : ticks_of(f.from_s), f.until_s ? ticks_of(*f.until_s) : vboard::kNever);
  }
  if (say) {
    faults.on_change = [say](const vboard::Fault& f, bool on, vboard::Ticks at) {
      if (at > 0) say(at, std::string("fault ") + fault_name(f.kind) + (on ? " on" : " off"));
    };
  }
  auto& station = board.ground_station();
  for (const auto& f : s.floods) station.flood(ticks_of(f.at_s), ticks_of(f.length_s), 1);
}

}  // namespace run
