// Instruction counts of the periodic work, on the emulated Cortex-M4.
//
// Counting: the emulator runs with -icount shift=0, so its virtual clock
// advances exactly 1 ns per instruction executed, and its STM32 timer model
// counts that clock at 1 GHz: TIM2 with prescaler 0 gains one count per
// instruction. A measurement reads TIM2->CNT before and after the work; the
// cost of the two reads alone (an empty measurement) is subtracted, and a
// loop of known length checks the whole chain.
//
// Output, one line per measured item, read by scripts/cycles.py:
//   COUNT <key> <runs> <min> <max> <mean>
#include <cstdint>

#include "algorithm.h"
#include "angle_decoder.h"
#include "ano_tc.h"
#include "control_work.h"
#include "coordTrans.h"
#include "device.h"
#include "drv_tim.h"
#include "global_variable.h"
#include "handlers.h"
#include "report.h"
#include "semihost.h"
#include "usart.h"
#include "vectors/control_vectors.h"

// The scheduler tick's timer, TIM6, is not modelled by the emulator: its
// status reads 0 and the handler would always take its early return. The
// bench image is linked with the tick's status query wrapped: the real query
// runs (the same register reads) and the flag is reported raised, so the
// handler takes the path it takes on the board once per millisecond. The
// wrapper's own instructions are measured and taken off.
extern "C" ITStatus __real__Z15TIM_GetITStatusP11TIM_TypeDeft(TIM_TypeDef* TIMx, std::uint16_t TIM_IT);
// The link-time optimiser may inline the query into the handler, where the
// wrapper cannot reach it; the wrapper counts its calls, and the tick is
// reported only when every run went through it.
std::uint32_t g_wrapper_calls = 0;
extern "C" [[gnu::noinline]] ITStatus __wrap__Z15TIM_GetITStatusP11TIM_TypeDeft(TIM_TypeDef* TIMx,
                                                                               std::uint16_t TIM_IT) {
  ++g_wrapper_calls;
  (void)__real__Z15TIM_GetITStatusP11TIM_TypeDeft(TIMx, TIM_IT);
  return SET;
}

namespace {

using armtest::dec;
using armtest::Line;

void start_counter() {
  TIM2->CR1 = 0;
  TIM2->PSC = 0;
  TIM2->ARR = 0xFFFFFFFFu;
  TIM2->EGR = TIM_EGR_UG;
  TIM2->CR1 = TIM_CR1_CEN;
}

// Instructions from just after the first read of the counter to the second
// read, inclusive of the work's call and return.
template <typename Work>
[[gnu::noinline]] std::uint32_t raw_count(Work work) {
  asm volatile("" ::: "memory");
  const std::uint32_t before = TIM2->CNT;
  work();
  const std::uint32_t after = TIM2->CNT;
  asm volatile("" ::: "memory");
  return after - before;
}

std::uint32_t g_overhead = 0;

template <typename Work>
std::uint32_t count(Work work) {
  return raw_count(work) - g_overhead;
}

// Firmware globals back to their initial values; the bench's own state
// (in the same static memory) is kept.
void fresh_globals() {
  const std::uint32_t overhead = g_overhead;
  armtest::power_on_state();
  g_overhead = overhead;
}

struct Stats {
  const char* key;
  std::uint32_t runs = 0;
  std::uint32_t min = 0xFFFFFFFFu;
  std::uint32_t max = 0;
  std::uint64_t sum = 0;

  void add(std::uint32_t n) {
    ++runs;
    min = n < min ? n : min;
    max = n > max ? n : max;
    sum += n;
  }
  void print() const {
    Line line;
    line << "COUNT " << key << " " << dec(runs) << " " << dec(min) << " " << dec(max) << " "
         << dec(runs != 0 ? static_cast<std::int64_t>(sum / runs) : 0);
    line.flush();
  }
};

[[gnu::noinline]] void empty() { asm volatile("" ::: "memory"); }

// 1 + 2 x 1000 instructions.
[[gnu::noinline]] void known_loop() {
  asm volatile(
      "  mov.w r3, #1000\n"
      "1: subs r3, r3, #1\n"
      "  bne 1b\n" ::
          : "r3", "cc", "memory");
}

// The control work exactly as the main loop does it.
[[gnu::noinline]] void control_work() {
  Control_Work();
  gFlagControl = RESET;
}

float as_float(std::uint32_t bits) { return __builtin_bit_cast(float, bits); }

}  // namespace

int main() {
  start_counter();

  // The counter's own cost, and the check that one count is one instruction.
  const std::uint32_t empty_raw = raw_count([] {});
  const std::uint32_t call_raw = raw_count([] { empty(); });
  g_overhead = empty_raw;
  Stats calibration{"calibration_loop_2001"};
  calibration.add(count([] { known_loop(); }) - (call_raw - empty_raw));
  {
    Line line;
    line << "OVERHEAD " << dec(empty_raw) << " call " << dec(call_raw - empty_raw);
    line.flush();
  }
  calibration.print();

  // Control work over the chain of shared vectors: a step response with
  // captures arriving, clamped and unclamped outputs, all table quadrants,
  // vectors shortened to the limit or not, the drive off and on again.
  Stats control{"control_work"};
  fresh_globals();
  for (const auto& s : control_vectors::kChainSteps) {
    if (s.capture) {
      IC1Value = s.IC1Value;
      IC2Value = s.IC2Value;
      Angle_Decode();
    }
    MotorAPosition.Des = as_float(s.Des);
    control.add(count([] { control_work(); }));
  }
  control.print();

  // The capture interrupt's handler with the captures of the decoder
  // vectors (a 1 kHz sensor PWM and the edge cases), read from TIM3's
  // capture registers as on the board. Called as a function: the core's
  // exception entry and return come on top.
  Stats decoder{"decoder_interrupt"};
  Stats decoder_typical{"decoder_interrupt_10500_5250"};
  fresh_globals();
  for (const auto& seq : control_vectors::kDecoderSequences) {
    for (std::size_t n = 0; n < seq.count; ++n) {
      TIM3->CCR1 = seq.steps[n].IC1Value;
      TIM3->CCR2 = seq.steps[n].IC2Value;
      AngleComp = as_float(seq.steps[n].AngleComp);
      decoder.add(count([] { TIM3_IRQHandler(); }));
    }
  }
  AngleComp = 40.0f;
  for (int n = 0; n < 8; ++n) {
    TIM3->CCR1 = 10500;
    TIM3->CCR2 = static_cast<std::uint16_t>(5250 + n);
    decoder_typical.add(count([] { TIM3_IRQHandler(); }));
  }
  decoder.print();
  decoder_typical.print();

  // The sensor frame. The emulated USART3 sends a byte at once (its
  // transmission-complete flag is always set), so no wait is counted: the
  // whole call is the building plus one status poll and one data write per
  // byte. Sending the 23 bytes alone is measured too; the difference is the
  // building.
  fresh_globals();
  USART3_Init(500000);
  Stats frame{"frame_send_no_wait"};
  Stats send{"frame_bytes_out_no_wait"};
  for (int n = 0; n < 8; ++n) {
    const auto a = static_cast<std::int16_t>(-4000 + 1234 * n);
    const auto b = static_cast<std::int16_t>(10000 - 777 * n);
    frame.add(count([a, b] { ANO_TC_Send_Senser(a, b, 0, 0, 0, 0, 0, 0, 0); }));
    send.add(count([] { ANO_TC_Send_Data(data_to_send, 23); }));
  }
  frame.print();
  send.print();

  // Scheduler tick, 100 consecutive ticks (every counter wraps once): with
  // the flag raised (the wrapper), less the wrapper's own instructions.
  fresh_globals();
  const std::uint32_t wrapped = count([] { (void)__wrap__Z15TIM_GetITStatusP11TIM_TypeDeft(TIM6, TIM_IT_Update); });
  const std::uint32_t real = count([] { (void)__real__Z15TIM_GetITStatusP11TIM_TypeDeft(TIM6, TIM_IT_Update); });
  {
    Line line;
    line << "WRAPPER " << dec(wrapped - real);
    line.flush();
  }
  Stats tick{"scheduler_tick"};
  const std::uint32_t calls_before = g_wrapper_calls;
  for (int n = 0; n < 100; ++n) {
    tick.add(count([] { TIM6_DAC_IRQHandler(); }) - (wrapped - real));
  }
  if (g_wrapper_calls - calls_before == 100u) {
    tick.print();
  } else {
    Line line;
    line << "UNWRAPPED scheduler_tick";
    line.flush();
  }

  semihost::exit(0);
}
