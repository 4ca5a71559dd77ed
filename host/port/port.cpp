// Host side of the port: what the board's start-up code and linker provide.
#include "port.h"

#include "vboard/board.h"

extern "C" {
std::uint32_t _estack = 0;  // the host firmware runs on its thread's stack
}

namespace port {

// As on the board: initialised data gets its initial values, the rest of
// static memory zero.
void runtime_init() { vboard::Board::instance().restore_firmware_memory(); }

}  // namespace port
