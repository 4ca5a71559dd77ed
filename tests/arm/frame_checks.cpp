// The sensor frame on the Cortex-M4: the bytes built for each shared vector,
// and the same bytes on the emulated USART3 (its transmitter is modelled).
// Each frame's expected bytes are also printed as a WIRE line, so that the
// test around the image can compare them with what left USART3, in order
// and with nothing else.
#include <cstddef>
#include <cstdint>

#include "ano_tc.h"
#include "checks.h"
#include "report.h"
#include "usart.h"
#include "vectors/frame_vectors.h"

namespace armtest {

void check_frame() {
  Group group("frame.bytes");
  power_on_state();
  USART3_Init(500000);
  int index = 0;
  for (const auto& v : frame_vectors::kFrames) {
    group.at(index++, v.name);
    for (std::uint8_t& b : data_to_send) {
      b = 0x5A;
    }
    ANO_TC_Send_Senser(v.values[0], v.values[1], v.values[2], v.values[3], v.values[4], v.values[5], v.values[6],
                       v.values[7], v.values[8]);
    group.bytes("data_to_send", data_to_send, sizeof v.bytes, v.bytes, sizeof v.bytes);
    // The rest of the buffer is not written.
    group.equal("data_to_send[23]", data_to_send[23], std::uint8_t{0x5A});

    Line line;
    line << "WIRE";
    for (const std::uint8_t b : v.bytes) {
      line << " " << Hex{b, 2};
    }
    line.flush();
  }
  power_on_state();
}

}  // namespace armtest
