// The groups of checks that the vector image runs, one function each.
#pragma once

namespace armtest {

void check_runner();   // the report's own formatting
void check_nvic();     // priority grouping and channel set-up on the core
void check_control();  // PID, sine table, transform, decoder arithmetic
void check_link();     // parity, and a register read with no sensor attached
void check_frame();    // frame bytes, in memory and on the emulated USART3

}  // namespace armtest
