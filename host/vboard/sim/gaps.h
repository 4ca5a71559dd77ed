// The accesses the board does not model: an address with no model behind
// it, or a register bit or field a model knows of but does not implement.
// The firmware's access goes on (the bytes are stored, or the bit is
// ignored); the record shows the gap. A run that relies on the models alone
// has none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vboard/sim/clock.h"

namespace vboard {

struct Gap {
  Ticks time;
  std::uintptr_t address;
  std::uint32_t value;
  bool write;
  std::string what;  // the model's words for the gap
};

// The gaps since the last clear(): the first kMax in full, all of them counted.
class GapLog {
 public:
  static constexpr std::size_t kMax = 256;

  void record(Gap gap) {
    ++count_;
    if (gaps_.size() < kMax) gaps_.push_back(std::move(gap));
  }
  void clear() {
    gaps_.clear();
    count_ = 0;
  }
  const std::vector<Gap>& gaps() const { return gaps_; }
  std::uint64_t count() const { return count_; }
  // One line a gap, empty when there is none.
  std::string report() const;

 private:
  std::vector<Gap> gaps_;
  std::uint64_t count_ = 0;
};

}  // namespace vboard
