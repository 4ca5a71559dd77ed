// Capture timer for the position sensor's PWM output: TIM3 in PWM-input mode
// on PC6 (alternate function 2, TIM3 channel 1).
//
// Each rising edge of the sensor's line captures the counter into CCR1 (the
// period just ended) and then restarts the counter; each falling edge
// captures it into CCR2 (the high time, counted from that restart). The
// counter runs at 84 MHz / (7 + 1) = 10.5 MHz, the rate the angle decoder
// assumes: a 1 kHz period reads 10500. Capture 1 raises the decoder's
// interrupt; reading CCR2 there clears capture 2's flag.
#include <cstdint>

#include "angle_decoder.h"
#include "device.h"
#include "drv_misc.h"
#include "drv_rcc.h"
#include "timer.h"

namespace {
constexpr std::uint32_t kPin = 6;                                // PC6
constexpr std::uint32_t kPinField2 = 3u << (2u * kPin);          // MODER, PUPDR
constexpr std::uint32_t kModeAlternate = 2u << (2u * kPin);
constexpr std::uint32_t kPullDown = 2u << (2u * kPin);
constexpr std::uint32_t kAfField = 0xFu << (4u * kPin);          // AFR[0]
constexpr std::uint32_t kAfTim3 = 2u << (4u * kPin);             // alternate function 2

constexpr std::uint16_t kPrescaler = 7;         // 84 MHz / 8 = 10.5 MHz
constexpr std::uint32_t kAutoReload = 0xFFFFu;  // a period up to 6.2 ms is counted whole
constexpr std::uint16_t kInputFilter = 0xCu << 4;  // IC1F 1100: f_DTS / 16, N = 8
}  // namespace

void TIM3_Init() {
  RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOC, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM3, ENABLE);

  // The function is chosen before the pin leaves input mode. The pull-down
  // keeps the input quiet (nothing captured) while no sensor drives it.
  std::uint32_t afr = GPIOC->AFR[0];
  afr = (afr & ~kAfField) | kAfTim3;
  GPIOC->AFR[0] = afr;
  std::uint32_t pupd = GPIOC->PUPDR;
  pupd = (pupd & ~kPinField2) | kPullDown;
  GPIOC->PUPDR = pupd;
  std::uint32_t moder = GPIOC->MODER;
  moder = (moder & ~kPinField2) | kModeAlternate;
  GPIOC->MODER = moder;

  // Until the sensor's first rising edge the counter is held at 0 by an
  // auto-reload of 0; that edge's restart loads the preloaded 0xFFFF. So the
  // first capture reads 0, which the decoder skips, instead of the part of a
  // period since the timer started.
  TIM3->PSC = kPrescaler;
  TIM3->ARR = 0;
  TIM3->EGR = TIM_EGR_UG;  // prescaler and the holding auto-reload take effect

  // Channel 1 on TI1, rising edge: the period. Channel 2 also on TI1,
  // falling edge: the high time. TI1's filter (IC1F; both channels and the
  // slave trigger see TI1 through it, IC2F would filter the unused TI2)
  // passes a level only after 8 equal samples at f_DTS / 16; with CKD 0,
  // f_DTS = 84 MHz, so 5.25 MHz, 0.19 us a sample. A runt pulse or a dropout
  // shorter than 7 samples (1.33 us) is never seen, one of 8 (1.52 us)
  // always. The sensor's shortest pulse is the 8 clock periods low at the
  // end of its frame: 1.77 us at 1.1 kHz, the top of its tolerance, so the
  // filter cannot be longer. Every edge is seen 1.33 to 1.52 us late, both
  // edges of a period alike, so the period and the high time keep their
  // length, on a grid of 2 counts, finer than the sensor's own clock.
  std::uint16_t ccmr1 = TIM3->CCMR1;
  ccmr1 = static_cast<std::uint16_t>(ccmr1 & ~(TIM_CCMR1_CC1S | TIM_CCMR1_IC1PSC | TIM_CCMR1_IC1F | TIM_CCMR1_CC2S |
                                               TIM_CCMR1_IC2PSC | TIM_CCMR1_IC2F));
  ccmr1 = static_cast<std::uint16_t>(ccmr1 | TIM_CCMR1_CC1S_0 | kInputFilter | TIM_CCMR1_CC2S_1);
  TIM3->CCMR1 = ccmr1;
  std::uint16_t ccer = TIM3->CCER;
  ccer = static_cast<std::uint16_t>(ccer & ~(TIM_CCER_CC1P | TIM_CCER_CC1NP | TIM_CCER_CC2P | TIM_CCER_CC2NP));
  ccer = static_cast<std::uint16_t>(ccer | TIM_CCER_CC1E | TIM_CCER_CC2E | TIM_CCER_CC2P);
  TIM3->CCER = ccer;

  // Slave mode reset on TI1FP1: the rising edge restarts the counter right
  // after capture 1 has taken it.
  std::uint16_t smcr = TIM3->SMCR;
  smcr = static_cast<std::uint16_t>(smcr & ~(TIM_SMCR_SMS | TIM_SMCR_TS));
  smcr = static_cast<std::uint16_t>(smcr | TIM_SMCR_SMS_RESET | TIM_SMCR_TS_TI1FP1);
  TIM3->SMCR = smcr;

  // Up-counting, auto-reload preloaded, clock division 1 (f_DTS = CK_INT),
  // update flag from counter overflow only (URS: the restart at each rising
  // edge is an update event too, but raises no UIF), counter on (held until
  // the first edge).
  std::uint16_t cr1 = TIM3->CR1;
  cr1 = static_cast<std::uint16_t>(cr1 & ~(TIM_CR1_DIR | TIM_CR1_CMS | TIM_CR1_CKD));
  cr1 = static_cast<std::uint16_t>(cr1 | TIM_CR1_ARPE | TIM_CR1_URS | TIM_CR1_CEN);
  TIM3->CR1 = cr1;
  TIM3->ARR = kAutoReload;  // preloaded: loads at the first restart

  // Flags raised so far (the update of the set-up, a capture of the held 0)
  // go; then capture 1 interrupts, and so does an overflow: 65536 counts
  // (6.24 ms) without a rising edge, a line broken or stuck. The period that
  // the line's next rising edge ends then spans a counter wrap, and its
  // count can fall inside the sensor's range by chance; the handler skips it.
  TIM3->SR = 0;
  // No capture before this set-up counts. The capture check times captures
  // by TIM2's free-running count, which the start-up brings up before.
  Capture_Check_Reset();
  std::uint16_t dier = TIM3->DIER;
  dier = static_cast<std::uint16_t>(dier | TIM_DIER_CC1IE | TIM_DIER_UIE);
  TIM3->DIER = dier;

  // Pre-emption level 0 beside the scheduler tick (0x10) and the keys
  // (0x30), sub-priority 2: byte 0x20. When several wait, the tick goes
  // first, then the capture, then the keys. The serial-receive and system
  // tick handlers (level 1) never delay a capture; the capture does not
  // pre-empt the tick, which it holds back by no more than its own short
  // run. The keys' 10 ms debounce holds captures back as it holds the tick;
  // the decoder then reads the latest pair.
  static constexpr NVIC_InitTypeDef nvic{.NVIC_IRQChannel = TIM3_IRQn,
                                         .NVIC_IRQChannelPreemptionPriority = 0,
                                         .NVIC_IRQChannelSubPriority = 2,
                                         .NVIC_IRQChannelCmd = ENABLE};
  NVIC_Init(&nvic);
}
