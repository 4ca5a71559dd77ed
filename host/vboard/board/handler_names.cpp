// Handler names for reports, read from the firmware's vector table: the
// board lists no handler of its own, it looks up the symbol of the function
// each entry points at (the programs export their symbols for this).
#include <dlfcn.h>

#include <string>

#include "vboard/board/board.h"
#include "vectors.h"

namespace vboard {

std::string exception_name(int exception) {
  if (exception > 0 && exception < kVectorCount) {
    if (void (*handler)() = g_pfnVectors[exception].handler) {
      Dl_info info{};
      // The cast is how dladdr takes a function's address.
      if (dladdr(reinterpret_cast<void*>(handler), &info) != 0 && info.dli_sname != nullptr &&
          info.dli_saddr == reinterpret_cast<void*>(handler))
        return info.dli_sname;
    }
  }
  return "exception " + std::to_string(exception);
}

}  // namespace vboard
