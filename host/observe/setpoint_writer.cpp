#include "setpoint_writer.h"

#include "global_variable.h"
#include "vboard/board/board.h"

namespace vboard {

void ControlPeriods::attach(Board& board) {
  raised_ = false;
  applied_ = 0.0;
  started_ = 0;
  captures_ = 0;
  capture_at_ = 0;
  auto before = std::move(board.on_observe);
  board.on_observe = [this, &board, before = std::move(before)] {
    if (before) before();
    observe(board.now());
  };
}

void ControlPeriods::observe(Ticks now) {
  if (const std::uint32_t captures = DecodedCaptures; captures != captures_) {
    captures_ = captures;
    capture_at_ = now;
  }
  const bool raised = gFlagControl == SET;
  if (raised && !raised_) {
    ++started_;
    write_setpoint(now);
  }
  if (!raised && raised_ && on_period && started_ > 0) {
    on_period({started_ - 1, now, now - capture_at_, static_cast<double>(MotorAPosition.Des),
               static_cast<double>(MotorAPosition.FB), static_cast<double>(MotorAPosition.U)});
  }
  raised_ = raised;
}

void ControlPeriods::write_setpoint(Ticks now) {
  if (!profile) return;
  const double want = profile(static_cast<double>(now) / static_cast<double>(kTicksPerSecond));
  if (want == applied_) return;
  const float before = MotorAPosition.Des;
  const float after = static_cast<float>(static_cast<double>(before) + (want - applied_));
  MotorAPosition.Des = after;
  applied_ += static_cast<double>(after) - static_cast<double>(before);
}

}  // namespace vboard
