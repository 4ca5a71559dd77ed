// The implemented fields of every device model. Bits the firmware's device
// description names are used by those names; the others are named here, as
// the reference manual spells them.
#include "vboard/chip/register_fields.h"

#include <cstddef>
#include <cstdint>

#include "device.h"
#include "vboard/chip/hardware.h"

namespace vboard {

namespace {

constexpr std::uint32_t kAll = 0xFFFFFFFFu;
constexpr std::uint32_t kHalf = 0x0000FFFFu;

// Why a field may be kept without effect.
constexpr const char* kNoTiming = "flash wait states, caches and the regulator scale: firmware code takes no virtual time";
constexpr const char* kIdealPins = "pin edges are ideal on this board: no output speed";
constexpr const char* kOwnVectors = "exceptions enter through the firmware's vector table, wherever it is said to be";
constexpr const char* kHostFpu = "the firmware's floating point is the host's, always on";
constexpr const char* kOtherGates = "clock gates of devices without a model: their own accesses show as gaps";
constexpr const char* kNoClockOut = "no clock output, RTC, I2S or USB clock on this board";
constexpr const char* kTrim = "the internal oscillator is exact: no trimming";
constexpr const char* kNoCrc = "CRC is off: the polynomial has no effect";
constexpr const char* kNoEvents = "no event consumer (WFE) on this board";
constexpr const char* kNoRemap = "the memory map is fixed on this board";

// ---- Core ----
constexpr RegisterFields kScb[] = {
    {offsetof(SCB_Type, VTOR), 0, kAll, kOwnVectors},
    {offsetof(SCB_Type, AIRCR), SCB_AIRCR_VECTKEY_Msk | SCB_AIRCR_PRIGROUP_Msk},
    // Only the upper four bits of each priority byte exist; the rest drop,
    // as on the chip.
    {offsetof(SCB_Type, SHP), kAll, 0, nullptr, sizeof(SCB_Type::SHP) / 4},
    {offsetof(SCB_Type, CPACR), 0, kAll, kHostFpu},
};

// Set, clear, pend and unpend: a bit an interrupt (those beyond the device's
// 82 do not exist, as on the chip); the priority bytes; the software trigger.
constexpr RegisterFields kNvic[] = {
    {offsetof(NVIC_Type, ISER), kAll, 0, nullptr, 8},
    {offsetof(NVIC_Type, ICER), kAll, 0, nullptr, 8},
    {offsetof(NVIC_Type, ISPR), kAll, 0, nullptr, 8},
    {offsetof(NVIC_Type, ICPR), kAll, 0, nullptr, 8},
    {offsetof(NVIC_Type, IP), kAll, 0, nullptr, sizeof(NVIC_Type::IP) / 4},
    {offsetof(NVIC_Type, STIR), NVIC_STIR_INTID_Msk},
};

constexpr RegisterFields kSysTick[] = {
    {offsetof(SysTick_Type, CTRL), SysTick_CTRL_ENABLE_Msk | SysTick_CTRL_TICKINT_Msk | SysTick_CTRL_CLKSOURCE_Msk},
    {offsetof(SysTick_Type, LOAD), SysTick_LOAD_RELOAD_Msk},
    {offsetof(SysTick_Type, VAL), kAll},  // any write clears it
};

// ---- Reset and clock control, power, flash ----
constexpr std::uint32_t RCC_PLLCFGR_RESERVED29 = 1u << 29;  // reads 1

// The gates of the modelled devices, by enable register.
constexpr std::uint32_t gates(std::uint32_t offset) {
  std::uint32_t bits = 0;
  for (const hw::DeviceRow& row : hw::kDevices)
    if (row.gate.offset == offset) bits |= row.gate.bit;
  return bits;
}
constexpr std::uint32_t kAhb1Gates = gates(offsetof(RCC_TypeDef, AHB1ENR));
constexpr std::uint32_t kApb1Gates = gates(offsetof(RCC_TypeDef, APB1ENR));
constexpr std::uint32_t kApb2Gates = gates(offsetof(RCC_TypeDef, APB2ENR));

constexpr RegisterFields kRcc[] = {
    {offsetof(RCC_TypeDef, CR),
     RCC_CR_HSION | RCC_CR_HSIRDY | RCC_CR_HSEON | RCC_CR_HSERDY | RCC_CR_HSEBYP | RCC_CR_PLLON | RCC_CR_PLLRDY,
     RCC_CR_HSITRIM | RCC_CR_HSICAL, kTrim},
    {offsetof(RCC_TypeDef, PLLCFGR),
     RCC_PLLCFGR_PLLM | RCC_PLLCFGR_PLLN | RCC_PLLCFGR_PLLP | RCC_PLLCFGR_PLLSRC_HSE,
     RCC_PLLCFGR_PLLQ | RCC_PLLCFGR_RESERVED29, "PLLQ feeds USB only, which has no model; bit 29 reads 1"},
    {offsetof(RCC_TypeDef, CFGR), RCC_CFGR_SW | RCC_CFGR_SWS | RCC_CFGR_HPRE | RCC_CFGR_PPRE1 | RCC_CFGR_PPRE2,
     RCC_CFGR_RTCPRE | RCC_CFGR_MCO1 | RCC_CFGR_I2SSRC | RCC_CFGR_MCO1PRE | RCC_CFGR_MCO2PRE | RCC_CFGR_MCO2,
     kNoClockOut},
    {offsetof(RCC_TypeDef, CIR), 0},  // clock interrupts: none modelled
    {offsetof(RCC_TypeDef, AHB1ENR), kAhb1Gates, ~kAhb1Gates, kOtherGates},
    {offsetof(RCC_TypeDef, APB1ENR), kApb1Gates, ~kApb1Gates, kOtherGates},
    {offsetof(RCC_TypeDef, APB2ENR), kApb2Gates, ~kApb2Gates, kOtherGates},
};

constexpr RegisterFields kPwr[] = {
    {offsetof(PWR_TypeDef, CR), 0, PWR_CR_VOS, kNoTiming},
};

constexpr RegisterFields kFlash[] = {
    {offsetof(FLASH_TypeDef, ACR), 0,
     FLASH_ACR_LATENCY | FLASH_ACR_PRFTEN | FLASH_ACR_ICEN | FLASH_ACR_DCEN | FLASH_ACR_ICRST | FLASH_ACR_DCRST,
     kNoTiming},
};

// ---- GPIO, SYSCFG, EXTI ----
constexpr RegisterFields kGpio[] = {
    {offsetof(GPIO_TypeDef, MODER), kAll},
    {offsetof(GPIO_TypeDef, OTYPER), kHalf},
    {offsetof(GPIO_TypeDef, OSPEEDR), 0, kAll, kIdealPins},
    {offsetof(GPIO_TypeDef, PUPDR), kAll},
    {offsetof(GPIO_TypeDef, IDR), kAll},  // read-only: writes drop, as on the chip
    {offsetof(GPIO_TypeDef, ODR), kHalf},
    {offsetof(GPIO_TypeDef, BSRRL), kAll},  // BSRRL and BSRRH
    {offsetof(GPIO_TypeDef, AFR), kAll, 0, nullptr, 2},
};

constexpr RegisterFields kSyscfg[] = {
    {offsetof(SYSCFG_TypeDef, MEMRMP), 0, SYSCFG_MEMRMP_MEM_MODE, kNoRemap},
    {offsetof(SYSCFG_TypeDef, PMC), 0, SYSCFG_PMC_MII_RMII, "no Ethernet on this board"},
    {offsetof(SYSCFG_TypeDef, EXTICR), kHalf, 0, nullptr, 4},
    {offsetof(SYSCFG_TypeDef, CMPCR), SYSCFG_CMPCR_CMP_PD},
};

constexpr RegisterFields kExti[] = {
    {offsetof(EXTI_TypeDef, IMR), EXTI_LINES},
    {offsetof(EXTI_TypeDef, EMR), 0, EXTI_LINES, kNoEvents},
    {offsetof(EXTI_TypeDef, RTSR), EXTI_LINES},
    {offsetof(EXTI_TypeDef, FTSR), EXTI_LINES},
    {offsetof(EXTI_TypeDef, SWIER), EXTI_LINES},
    {offsetof(EXTI_TypeDef, PR), EXTI_LINES},
};

// ---- Timers ----
// CCxE, CCxP and CCxNP of the four channels (CCxNE exists on the advanced
// timers only).
constexpr std::uint16_t kCcerChannel = TIM_CCER_CC1E | TIM_CCER_CC1P | TIM_CCER_CC1NP;
constexpr std::uint16_t kCcer = kCcerChannel | kCcerChannel << 4 | kCcerChannel << 8 | kCcerChannel << 12;
constexpr RegisterFields kTim[] = {
    {offsetof(TIM_TypeDef, CR1), TIM_CR1_CEN | TIM_CR1_UDIS | TIM_CR1_URS | TIM_CR1_OPM | TIM_CR1_DIR | TIM_CR1_CMS |
                                     TIM_CR1_ARPE | TIM_CR1_CKD},
    {offsetof(TIM_TypeDef, CR2), 0},
    {offsetof(TIM_TypeDef, SMCR), TIM_SMCR_SMS | TIM_SMCR_TS},
    {offsetof(TIM_TypeDef, DIER),
     TIM_DIER_UIE | TIM_DIER_CC1IE | TIM_DIER_CC2IE | TIM_DIER_CC3IE | TIM_DIER_CC4IE | TIM_DIER_TIE},
    {offsetof(TIM_TypeDef, SR), kHalf},  // rc_w0: a 1 leaves every flag as it is
    {offsetof(TIM_TypeDef, EGR), TIM_EGR_UG | TIM_EGR_CC1G | TIM_EGR_CC2G | TIM_EGR_CC3G | TIM_EGR_CC4G | TIM_EGR_TG},
    // Capture/compare modes, input and output fields alike (the output
    // compare modes the model lacks are recorded by the model itself).
    {offsetof(TIM_TypeDef, CCMR1), kHalf},
    {offsetof(TIM_TypeDef, CCMR2), kHalf},
    {offsetof(TIM_TypeDef, CCER), kCcer},
    {offsetof(TIM_TypeDef, CNT), kAll},
    {offsetof(TIM_TypeDef, PSC), kHalf},
    {offsetof(TIM_TypeDef, ARR), kAll},
    {offsetof(TIM_TypeDef, CCR1), kAll, 0, nullptr, 4},
};

// ---- SPI ----
constexpr RegisterFields kSpi[] = {
    {offsetof(SPI_TypeDef, CR1), SPI_CR1_CPHA | SPI_CR1_CPOL | SPI_CR1_MSTR | SPI_CR1_BR | SPI_CR1_SPE |
                                     SPI_CR1_LSBFIRST | SPI_CR1_SSI | SPI_CR1_SSM | SPI_CR1_DFF},
    {offsetof(SPI_TypeDef, CR2), SPI_CR2_ERRIE | SPI_CR2_RXNEIE | SPI_CR2_TXEIE},
    {offsetof(SPI_TypeDef, SR), kHalf},  // only CRCERR is writable (rc_w0), as on the chip
    {offsetof(SPI_TypeDef, DR), kHalf},
    {offsetof(SPI_TypeDef, CRCPR), 0, kHalf, kNoCrc},
    {offsetof(SPI_TypeDef, I2SCFGR), SPI_I2SCFGR_I2SMOD},
};

// ---- USART ----
constexpr RegisterFields kUsart[] = {
    {offsetof(USART_TypeDef, SR), kHalf},  // rc_w0 on RXNE and TC; the rest read-only, as on the chip
    {offsetof(USART_TypeDef, DR), kHalf},
    {offsetof(USART_TypeDef, BRR), kHalf},
    {offsetof(USART_TypeDef, CR1), USART_CR1_RE | USART_CR1_TE | USART_CR1_IDLEIE | USART_CR1_RXNEIE |
                                       USART_CR1_TCIE | USART_CR1_TXEIE | USART_CR1_PEIE | USART_CR1_PS |
                                       USART_CR1_PCE | USART_CR1_M | USART_CR1_UE | USART_CR1_OVER8},
    {offsetof(USART_TypeDef, CR2), USART_CR2_STOP},
    {offsetof(USART_TypeDef, CR3), USART_CR3_EIE | USART_CR3_DMAR},
};

}  // namespace

std::span<const RegisterFields> implemented_registers(const hw::DeviceRow& row) {
  switch (row.kind) {
    case hw::Kind::nvic: return kNvic;
    case hw::Kind::scb: return kScb;
    case hw::Kind::systick: return kSysTick;
    case hw::Kind::rcc: return kRcc;
    case hw::Kind::pwr: return kPwr;
    case hw::Kind::flash: return kFlash;
    case hw::Kind::gpio: return kGpio;
    case hw::Kind::timer: return kTim;
    case hw::Kind::spi: return kSpi;
    case hw::Kind::usart: return kUsart;
    case hw::Kind::syscfg: return kSyscfg;
    case hw::Kind::exti: return kExti;
  }
  return {};
}

}  // namespace vboard
