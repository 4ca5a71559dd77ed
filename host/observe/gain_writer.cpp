#include "gain_writer.h"

#include <memory>

#include "global_variable.h"
#include "vboard/board/board.h"

namespace vboard {

void write_gains_after_reset(Board& board, const PidGains& gains, std::function<void(Ticks)> written) {
  if (!gains.any()) return;
  auto before = std::move(board.on_exception_entry);
  auto done = std::make_shared<bool>(false);
  board.on_exception_entry = [before = std::move(before), gains, written = std::move(written), done](int exception,
                                                                                                    Ticks t) {
    if (!*done) {
      *done = true;
      if (gains.kp) MotorAPosition.Kp = static_cast<float>(*gains.kp);
      if (gains.ki) MotorAPosition.Ki = static_cast<float>(*gains.ki);
      if (gains.kd) MotorAPosition.Kd = static_cast<float>(*gains.kd);
      if (written) written(t);
    }
    if (before) before(exception, t);
  };
}

}  // namespace vboard
