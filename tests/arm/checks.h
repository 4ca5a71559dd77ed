// The groups of checks that only the vector image runs, one function each
// (the cases shared with the host run through run_tests()).
#pragma once

namespace armtest {

void check_runner();   // the report's own formatting
void check_nvic();     // AIRCR key, odd states, the start-up plan on the core
void check_link();     // a register read with no sensor attached
void check_frame();    // frame bytes, in memory and on the emulated USART3

}  // namespace armtest
