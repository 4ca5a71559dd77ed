// What the board is made of. A Model is anything the board builds, resets
// and tells of clock changes: an on-chip device (a Peripheral, with a block
// of registers on the bus: chip/peripheral.h) or an off-chip Part (the
// sensor, the keys, the serial peer, the phase drive), which reaches the
// chip only through pins and the devices' test-facing side. A model holds
// its context (time, events, reports), never the board.
#pragma once

#include <string>
#include <utility>

#include "vboard/sim/context.h"
#include "vboard/sim/scheduler.h"

namespace vboard {

class Model : public EventTarget {
 public:
  Model(const Context& context, std::string name) : ctx_(context), name_(std::move(name)) {}
  virtual ~Model() = default;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  const std::string& name() const { return name_; }

  // Back to the state after a power-on reset (the board has zeroed the
  // devices' blocks).
  virtual void reset() {}
  // A scheduled event of this model has come due.
  void on_event(int /*kind*/) override {}
  // The clock tree changed; models that count time recompute their rates.
  virtual void clocks_changed() {}

 protected:
  Context ctx_;

 private:
  std::string name_;
};

// An off-chip part of the board.
class Part : public Model {
 public:
  using Model::Model;
};

}  // namespace vboard
