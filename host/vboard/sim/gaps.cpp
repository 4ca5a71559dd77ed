#include "vboard/sim/gaps.h"

#include <cstdio>

namespace vboard {

std::string GapLog::report() const {
  std::string text;
  char line[96];
  for (const Gap& g : gaps_) {
    std::snprintf(line, sizeof line, "%12.3f us  %s 0x%08lx = 0x%08lx  ", to_us(g.time), g.write ? "write" : "read ",
                  static_cast<unsigned long>(g.address), static_cast<unsigned long>(g.value));
    text += line;
    text += g.what;
    text += '\n';
  }
  if (count_ > gaps_.size()) text += "... and " + std::to_string(count_ - gaps_.size()) + " more\n";
  return text;
}

}  // namespace vboard
