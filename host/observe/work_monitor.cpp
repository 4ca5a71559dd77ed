#include "work_monitor.h"

#include "global_variable.h"
#include "vboard/board/board.h"

namespace vboard {

void WorkMonitor::attach(Board& board) {
  raised_ = {};
  runs_ = {};
  for (auto& t : times_) t.clear();
  board.on_observe = [this, &board] { sample(board.now()); };
}

void WorkMonitor::sample(Ticks now) {
  const std::array<bool, 3> flags = {gFlag100ms == SET, gFlag5ms == SET, gFlagControl == SET};
  for (std::size_t w = 0; w < 3; ++w) {
    if (raised_[w] && !flags[w]) {
      ++runs_[w];
      times_[w].push_back(now);
      if (on_run) on_run(static_cast<Work>(w), now);
    }
    raised_[w] = flags[w];
  }
}

}  // namespace vboard
