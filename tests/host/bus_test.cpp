// The bus's clock gates: most accesses take a short path that knows which
// models have their clock on without asking the RCC each time. A gate moved
// by a register write or behind the firmware's back (a debugger's poke)
// must take effect at the very next access all the same.
#include <gtest/gtest.h>

#include <cstdint>

#include "device.h"
#include "drv_rcc.h"
#include "register_access.h"
#include "vboard/board/board.h"
#include "vboard/parts/ground_station.h"

namespace {

using namespace test_registers;
using vboard::board;
using vboard::GroundStation;
using vboard::ms;

TEST(Bus, AClockGateMovedAtAnyTimeTakesEffectAtTheNextAccess) {
  board().reset();
  board().power_on();
  board().run_for(ms(50));
  const GroundStation& station = board().ground_station();
  ASSERT_GT(station.bytes_heard(), 0u) << "the frames go out";
  const std::uint32_t gates = peek32(kRccApb1enr);
  ASSERT_NE(gates & RCC_APB1Periph_USART3, 0u);

  // A debugger's poke, then a register write: each closes the gate while
  // the short path knows it open, then opens it again.
  auto set_gates = [](std::uint32_t value, bool by_poke) {
    if (by_poke) {
      poke32(kRccApb1enr, value);
    } else {
      port::reg_at<std::uint32_t>(kRccApb1enr) = value;
    }
  };
  for (const bool by_poke : {true, false}) {
    SCOPED_TRACE(by_poke ? "poke" : "register write");
    // Closed: USART3's SR reads 0, so the frame send waits for TC for ever;
    // at most the byte on the line still completes.
    set_gates(gates & ~RCC_APB1Periph_USART3, by_poke);
    std::uint64_t heard = station.bytes_heard();
    board().run_for(ms(6));
    EXPECT_LE(station.bytes_heard(), heard + 1);
    // Open: the send goes on.
    set_gates(gates, by_poke);
    heard = station.bytes_heard();
    board().run_for(ms(6));
    EXPECT_GT(station.bytes_heard(), heard);
  }
}

}  // namespace
