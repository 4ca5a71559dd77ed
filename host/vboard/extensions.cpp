// Models beside the core set: the links and the world around the board.
#include "vboard/board.h"

namespace vboard {

void Board::build_extensions() {}

}  // namespace vboard
