// One register read through the emulated SPI2 (the parity cases are shared
// with the host, in tests/shared).
#include <bit>
#include <cstdint>

#include "as5048a.h"
#include "checks.h"
#include "report.h"
#include "spi.h"
#include "vectors/link_vectors.h"

namespace armtest {

void check_link() {
  {
    // The emulated SPI2 has no sensor attached: every frame answers 0. Of the
    // reply vectors only the all-zero reply can run here; the others need
    // the sensor model of the virtual board.
    Group group("link.read_no_sensor");
    power_on_state();
    SPI_Config();
    int index = 0;
    int ran = 0;
    for (const auto& v : link_vectors::kReads) {
      if (v.reply == 0x0000u) {
        group.at(index);
        error_flag = 0xA5;
        group.equal("result", Read_As5048A_Reg(v.reg), v.result);
        group.equal("error_flag", error_flag, v.error_flag);
        ++ran;
      }
      ++index;
    }
    group.at(-1, "vectors with a zero reply");
    group.equal("count", ran > 0, true);
    power_on_state();
  }
}

}  // namespace armtest
