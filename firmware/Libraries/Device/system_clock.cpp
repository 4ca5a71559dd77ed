// Brings the core from the 16 MHz internal oscillator to 168 MHz from the
// 24 MHz crystal through the PLL. Runs before static memory is initialised,
// so it touches no global data.
#include "system_clock.h"

#include "device.h"

[[gnu::used]] constinit std::uint32_t SystemCoreClock = 168000000u;

namespace {

// 24 MHz / M 24 = 1 MHz PLL input; x N 336 = 336 MHz VCO;
// / P 2 = 168 MHz system clock; / Q 7 = 48 MHz for the 48 MHz domain.
constexpr std::uint32_t PLL_M = 24;
constexpr std::uint32_t PLL_N = 336;
constexpr std::uint32_t PLL_P = 2;
constexpr std::uint32_t PLL_Q = 7;
constexpr std::uint32_t HSE_STARTUP_TIMEOUT = 0x5000;  // 20480 polls of HSERDY
constexpr std::uint32_t VECT_TAB_OFFSET = 0x00;

constexpr std::uint32_t kPllConfig =
    PLL_M | (PLL_N << 6) | (((PLL_P >> 1) - 1) << 16) | RCC_PLLCFGR_PLLSRC_HSE | (PLL_Q << 24);
static_assert(kPllConfig == 0x07405418u);

void SetSysClock() {
  volatile std::uint32_t StartUpCounter = 0;
  volatile std::uint32_t HSEStatus = 0;

  RCC->CR = RCC->CR | RCC_CR_HSEON;
  do {
    HSEStatus = RCC->CR & RCC_CR_HSERDY;
    StartUpCounter = StartUpCounter + 1;
  } while (HSEStatus == 0 && StartUpCounter != HSE_STARTUP_TIMEOUT);

  if ((RCC->CR & RCC_CR_HSERDY) != 0) {
    HSEStatus = 1;
  } else {
    // The crystal did not start: stay on the internal oscillator, all
    // dividers 1, PLL off.
    HSEStatus = 0;
    return;
  }

  RCC->APB1ENR = RCC->APB1ENR | RCC_APB1ENR_PWREN;
  PWR->CR = PWR->CR | PWR_CR_VOS;  // regulator scale 1, for 168 MHz

  RCC->CFGR = RCC->CFGR | RCC_CFGR_HPRE_DIV1;   // HCLK = 168 MHz / 1
  RCC->CFGR = RCC->CFGR | RCC_CFGR_PPRE2_DIV2;  // PCLK2 = 168 MHz / 2 = 84 MHz
  RCC->CFGR = RCC->CFGR | RCC_CFGR_PPRE1_DIV4;  // PCLK1 = 168 MHz / 4 = 42 MHz

  RCC->PLLCFGR = kPllConfig;

  RCC->CR = RCC->CR | RCC_CR_PLLON;
  while ((RCC->CR & RCC_CR_PLLRDY) == 0) {
  }

  // 5 wait states at 168 MHz, with prefetch and both caches.
  FLASH->ACR = FLASH_ACR_PRFTEN | FLASH_ACR_ICEN | FLASH_ACR_DCEN | FLASH_ACR_LATENCY_5WS;

  std::uint32_t cfgr = RCC->CFGR;
  cfgr = (cfgr & ~RCC_CFGR_SW) | RCC_CFGR_SW_PLL;  // system clock from the PLL
  RCC->CFGR = cfgr;
  while ((RCC->CFGR & RCC_CFGR_SWS) != RCC_CFGR_SWS_PLL) {
  }
}

}  // namespace

extern "C" void SystemInit() {
  SCB->CPACR = SCB->CPACR | 0x00F00000u;  // CP10, CP11 full access: the FPU

  RCC->CR = RCC->CR | RCC_CR_HSION;
  RCC->CFGR = 0x00000000u;                 // internal oscillator, all dividers 1
  RCC->CR = RCC->CR & 0xFEF6FFFFu;         // HSEON, CSSON, PLLON off
  RCC->PLLCFGR = 0x24003010u;              // reset value
  RCC->CR = RCC->CR & ~RCC_CR_HSEBYP;      // crystal, not an external clock
  RCC->CIR = 0x00000000u;                  // no clock interrupts

  SetSysClock();

  SCB->VTOR = FLASH_BASE | VECT_TAB_OFFSET;
}
