// STM32F405 memory map and register blocks, written from the reference
// manual's addresses and bit positions (RM0090) and the Cortex-M4 generic
// user guide. Every block's layout is checked at compile time.
//
// The register types come from the port: on the board a register is a
// volatile integer at its real address, on the host a small object that the
// virtual board serves. The driver text is the same for both builds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory_map.h"
#include "port.h"

using rw32 = port::Reg<std::uint32_t>;
using rw16 = port::Reg<std::uint16_t>;
using rw8 = port::Reg<std::uint8_t>;

// ---------------------------------------------------------------------------
// Shared enumerations
enum FlagStatus : std::uint8_t { RESET = 0, SET = 1 };
using ITStatus = FlagStatus;
enum FunctionalState : std::uint8_t { DISABLE = 0, ENABLE = 1 };
enum BitAction : std::uint8_t { Bit_RESET = 0, Bit_SET = 1 };

static_assert(sizeof(FlagStatus) == 1 && sizeof(FunctionalState) == 1);

// ---------------------------------------------------------------------------
// Interrupt numbers (device interrupts 0 to 81; core exceptions negative)
enum IRQn_Type : std::int8_t {
  NonMaskableInt_IRQn = -14,
  HardFault_IRQn = -13,
  MemoryManagement_IRQn = -12,
  BusFault_IRQn = -11,
  UsageFault_IRQn = -10,
  SVCall_IRQn = -5,
  DebugMonitor_IRQn = -4,
  PendSV_IRQn = -2,
  SysTick_IRQn = -1,
  EXTI0_IRQn = 6,
  EXTI1_IRQn = 7,
  EXTI2_IRQn = 8,
  EXTI3_IRQn = 9,
  EXTI4_IRQn = 10,
  EXTI9_5_IRQn = 23,
  TIM2_IRQn = 28,
  TIM3_IRQn = 29,
  SPI2_IRQn = 36,
  USART1_IRQn = 37,
  USART2_IRQn = 38,
  USART3_IRQn = 39,
  EXTI15_10_IRQn = 40,
  TIM5_IRQn = 50,
  TIM6_DAC_IRQn = 54,
  USART6_IRQn = 71,
  FPU_IRQn = 81,
};
inline constexpr int kDeviceIrqCount = 82;

// ---------------------------------------------------------------------------
// Memory map (the two spaces, PERIPH_BASE and SCS_BASE, in memory_map.h)
inline constexpr std::uintptr_t FLASH_BASE = 0x08000000u;
inline constexpr std::uintptr_t SRAM_BASE = 0x20000000u;
inline constexpr std::uintptr_t APB1PERIPH_BASE = PERIPH_BASE;
inline constexpr std::uintptr_t APB2PERIPH_BASE = PERIPH_BASE + 0x00010000u;
inline constexpr std::uintptr_t AHB1PERIPH_BASE = PERIPH_BASE + 0x00020000u;

inline constexpr std::uintptr_t TIM2_BASE = APB1PERIPH_BASE + 0x0000u;
inline constexpr std::uintptr_t TIM3_BASE = APB1PERIPH_BASE + 0x0400u;
inline constexpr std::uintptr_t TIM4_BASE = APB1PERIPH_BASE + 0x0800u;
inline constexpr std::uintptr_t TIM5_BASE = APB1PERIPH_BASE + 0x0C00u;
inline constexpr std::uintptr_t TIM6_BASE = APB1PERIPH_BASE + 0x1000u;
inline constexpr std::uintptr_t TIM7_BASE = APB1PERIPH_BASE + 0x1400u;
inline constexpr std::uintptr_t SPI2_BASE = APB1PERIPH_BASE + 0x3800u;
inline constexpr std::uintptr_t USART2_BASE = APB1PERIPH_BASE + 0x4400u;
inline constexpr std::uintptr_t USART3_BASE = APB1PERIPH_BASE + 0x4800u;
inline constexpr std::uintptr_t PWR_BASE = APB1PERIPH_BASE + 0x7000u;
inline constexpr std::uintptr_t TIM1_BASE = APB2PERIPH_BASE + 0x0000u;
inline constexpr std::uintptr_t TIM8_BASE = APB2PERIPH_BASE + 0x0400u;
inline constexpr std::uintptr_t USART1_BASE = APB2PERIPH_BASE + 0x1000u;
inline constexpr std::uintptr_t USART6_BASE = APB2PERIPH_BASE + 0x1400u;
inline constexpr std::uintptr_t SYSCFG_BASE = APB2PERIPH_BASE + 0x3800u;
inline constexpr std::uintptr_t EXTI_BASE = APB2PERIPH_BASE + 0x3C00u;
inline constexpr std::uintptr_t GPIOA_BASE = AHB1PERIPH_BASE + 0x0000u;
inline constexpr std::uintptr_t GPIOB_BASE = AHB1PERIPH_BASE + 0x0400u;
inline constexpr std::uintptr_t GPIOC_BASE = AHB1PERIPH_BASE + 0x0800u;
inline constexpr std::uintptr_t RCC_BASE = AHB1PERIPH_BASE + 0x3800u;
inline constexpr std::uintptr_t FLASH_R_BASE = AHB1PERIPH_BASE + 0x3C00u;

inline constexpr std::uintptr_t SysTick_BASE = SCS_BASE + 0x0010u;
inline constexpr std::uintptr_t NVIC_BASE = SCS_BASE + 0x0100u;
inline constexpr std::uintptr_t SCB_BASE = SCS_BASE + 0x0D00u;

// ---------------------------------------------------------------------------
// Register blocks

struct GPIO_TypeDef {
  rw32 MODER;    // 0x00 mode, 2 bits per pin
  rw32 OTYPER;   // 0x04 output type
  rw32 OSPEEDR;  // 0x08 output speed
  rw32 PUPDR;    // 0x0C pull-up / pull-down
  rw32 IDR;      // 0x10 input data
  rw32 ODR;      // 0x14 output data
  rw16 BSRRL;    // 0x18 bit set half of BSRR: a 1 drives the pin high
  rw16 BSRRH;    // 0x1A bit reset half of BSRR: a 1 drives the pin low
  rw32 LCKR;     // 0x1C
  rw32 AFR[2];   // 0x20 alternate function, 4 bits per pin
};
static_assert(offsetof(GPIO_TypeDef, MODER) == 0x00);
static_assert(offsetof(GPIO_TypeDef, OTYPER) == 0x04);
static_assert(offsetof(GPIO_TypeDef, OSPEEDR) == 0x08);
static_assert(offsetof(GPIO_TypeDef, PUPDR) == 0x0C);
static_assert(offsetof(GPIO_TypeDef, IDR) == 0x10);
static_assert(offsetof(GPIO_TypeDef, ODR) == 0x14);
static_assert(offsetof(GPIO_TypeDef, BSRRL) == 0x18);
static_assert(offsetof(GPIO_TypeDef, BSRRH) == 0x1A);
static_assert(offsetof(GPIO_TypeDef, LCKR) == 0x1C);
static_assert(offsetof(GPIO_TypeDef, AFR) == 0x20);
static_assert(sizeof(GPIO_TypeDef) == 0x28);

struct TIM_TypeDef {
  rw16 CR1;  // 0x00
  std::uint16_t RESERVED0;
  rw16 CR2;  // 0x04
  std::uint16_t RESERVED1;
  rw16 SMCR;  // 0x08
  std::uint16_t RESERVED2;
  rw16 DIER;  // 0x0C
  std::uint16_t RESERVED3;
  rw16 SR;  // 0x10
  std::uint16_t RESERVED4;
  rw16 EGR;  // 0x14
  std::uint16_t RESERVED5;
  rw16 CCMR1;  // 0x18
  std::uint16_t RESERVED6;
  rw16 CCMR2;  // 0x1C
  std::uint16_t RESERVED7;
  rw16 CCER;  // 0x20
  std::uint16_t RESERVED8;
  rw32 CNT;  // 0x24
  rw16 PSC;  // 0x28
  std::uint16_t RESERVED9;
  rw32 ARR;  // 0x2C
  rw16 RCR;  // 0x30
  std::uint16_t RESERVED10;
  rw32 CCR1;  // 0x34
  rw32 CCR2;  // 0x38
  rw32 CCR3;  // 0x3C
  rw32 CCR4;  // 0x40
  rw16 BDTR;  // 0x44
  std::uint16_t RESERVED11;
  rw16 DCR;  // 0x48
  std::uint16_t RESERVED12;
  rw16 DMAR;  // 0x4C
  std::uint16_t RESERVED13;
  rw16 OR;  // 0x50
  std::uint16_t RESERVED14;
};
static_assert(offsetof(TIM_TypeDef, CR1) == 0x00);
static_assert(offsetof(TIM_TypeDef, CR2) == 0x04);
static_assert(offsetof(TIM_TypeDef, SMCR) == 0x08);
static_assert(offsetof(TIM_TypeDef, DIER) == 0x0C);
static_assert(offsetof(TIM_TypeDef, SR) == 0x10);
static_assert(offsetof(TIM_TypeDef, EGR) == 0x14);
static_assert(offsetof(TIM_TypeDef, CCMR1) == 0x18);
static_assert(offsetof(TIM_TypeDef, CCMR2) == 0x1C);
static_assert(offsetof(TIM_TypeDef, CCER) == 0x20);
static_assert(offsetof(TIM_TypeDef, CNT) == 0x24);
static_assert(offsetof(TIM_TypeDef, PSC) == 0x28);
static_assert(offsetof(TIM_TypeDef, ARR) == 0x2C);
static_assert(offsetof(TIM_TypeDef, RCR) == 0x30);
static_assert(offsetof(TIM_TypeDef, CCR1) == 0x34);
static_assert(offsetof(TIM_TypeDef, CCR2) == 0x38);
static_assert(offsetof(TIM_TypeDef, CCR3) == 0x3C);
static_assert(offsetof(TIM_TypeDef, CCR4) == 0x40);
static_assert(offsetof(TIM_TypeDef, BDTR) == 0x44);
static_assert(offsetof(TIM_TypeDef, DCR) == 0x48);
static_assert(offsetof(TIM_TypeDef, DMAR) == 0x4C);
static_assert(offsetof(TIM_TypeDef, OR) == 0x50);
static_assert(sizeof(TIM_TypeDef) == 0x54);

struct SPI_TypeDef {
  rw16 CR1;  // 0x00
  std::uint16_t RESERVED0;
  rw16 CR2;  // 0x04
  std::uint16_t RESERVED1;
  rw16 SR;  // 0x08
  std::uint16_t RESERVED2;
  rw16 DR;  // 0x0C
  std::uint16_t RESERVED3;
  rw16 CRCPR;  // 0x10
  std::uint16_t RESERVED4;
  rw16 RXCRCR;  // 0x14
  std::uint16_t RESERVED5;
  rw16 TXCRCR;  // 0x18
  std::uint16_t RESERVED6;
  rw16 I2SCFGR;  // 0x1C
  std::uint16_t RESERVED7;
  rw16 I2SPR;  // 0x20
  std::uint16_t RESERVED8;
};
static_assert(offsetof(SPI_TypeDef, CR1) == 0x00);
static_assert(offsetof(SPI_TypeDef, CR2) == 0x04);
static_assert(offsetof(SPI_TypeDef, SR) == 0x08);
static_assert(offsetof(SPI_TypeDef, DR) == 0x0C);
static_assert(offsetof(SPI_TypeDef, CRCPR) == 0x10);
static_assert(offsetof(SPI_TypeDef, RXCRCR) == 0x14);
static_assert(offsetof(SPI_TypeDef, TXCRCR) == 0x18);
static_assert(offsetof(SPI_TypeDef, I2SCFGR) == 0x1C);
static_assert(offsetof(SPI_TypeDef, I2SPR) == 0x20);
static_assert(sizeof(SPI_TypeDef) == 0x24);

struct USART_TypeDef {
  rw16 SR;  // 0x00
  std::uint16_t RESERVED0;
  rw16 DR;  // 0x04
  std::uint16_t RESERVED1;
  rw16 BRR;  // 0x08
  std::uint16_t RESERVED2;
  rw16 CR1;  // 0x0C
  std::uint16_t RESERVED3;
  rw16 CR2;  // 0x10
  std::uint16_t RESERVED4;
  rw16 CR3;  // 0x14
  std::uint16_t RESERVED5;
  rw16 GTPR;  // 0x18
  std::uint16_t RESERVED6;
};
static_assert(offsetof(USART_TypeDef, SR) == 0x00);
static_assert(offsetof(USART_TypeDef, DR) == 0x04);
static_assert(offsetof(USART_TypeDef, BRR) == 0x08);
static_assert(offsetof(USART_TypeDef, CR1) == 0x0C);
static_assert(offsetof(USART_TypeDef, CR2) == 0x10);
static_assert(offsetof(USART_TypeDef, CR3) == 0x14);
static_assert(offsetof(USART_TypeDef, GTPR) == 0x18);
static_assert(sizeof(USART_TypeDef) == 0x1C);

struct EXTI_TypeDef {
  rw32 IMR;    // 0x00 interrupt mask
  rw32 EMR;    // 0x04 event mask
  rw32 RTSR;   // 0x08 rising trigger selection
  rw32 FTSR;   // 0x0C falling trigger selection
  rw32 SWIER;  // 0x10 software interrupt event
  rw32 PR;     // 0x14 pending, write 1 to clear
};
static_assert(offsetof(EXTI_TypeDef, IMR) == 0x00);
static_assert(offsetof(EXTI_TypeDef, EMR) == 0x04);
static_assert(offsetof(EXTI_TypeDef, RTSR) == 0x08);
static_assert(offsetof(EXTI_TypeDef, FTSR) == 0x0C);
static_assert(offsetof(EXTI_TypeDef, SWIER) == 0x10);
static_assert(offsetof(EXTI_TypeDef, PR) == 0x14);
static_assert(sizeof(EXTI_TypeDef) == 0x18);

struct SYSCFG_TypeDef {
  rw32 MEMRMP;     // 0x00
  rw32 PMC;        // 0x04
  rw32 EXTICR[4];  // 0x08 EXTI line to port routing, 4 bits per line
  std::uint32_t RESERVED[2];
  rw32 CMPCR;  // 0x20
};
static_assert(offsetof(SYSCFG_TypeDef, MEMRMP) == 0x00);
static_assert(offsetof(SYSCFG_TypeDef, PMC) == 0x04);
static_assert(offsetof(SYSCFG_TypeDef, EXTICR) == 0x08);
static_assert(offsetof(SYSCFG_TypeDef, CMPCR) == 0x20);
static_assert(sizeof(SYSCFG_TypeDef) == 0x24);

struct RCC_TypeDef {
  rw32 CR;        // 0x00 clock control
  rw32 PLLCFGR;   // 0x04 PLL configuration
  rw32 CFGR;      // 0x08 clock configuration
  rw32 CIR;       // 0x0C clock interrupt
  rw32 AHB1RSTR;  // 0x10
  rw32 AHB2RSTR;  // 0x14
  rw32 AHB3RSTR;  // 0x18
  std::uint32_t RESERVED0;
  rw32 APB1RSTR;  // 0x20
  rw32 APB2RSTR;  // 0x24
  std::uint32_t RESERVED1[2];
  rw32 AHB1ENR;  // 0x30 clock gates
  rw32 AHB2ENR;  // 0x34
  rw32 AHB3ENR;  // 0x38
  std::uint32_t RESERVED2;
  rw32 APB1ENR;  // 0x40
  rw32 APB2ENR;  // 0x44
  std::uint32_t RESERVED3[2];
  rw32 AHB1LPENR;  // 0x50
  rw32 AHB2LPENR;  // 0x54
  rw32 AHB3LPENR;  // 0x58
  std::uint32_t RESERVED4;
  rw32 APB1LPENR;  // 0x60
  rw32 APB2LPENR;  // 0x64
  std::uint32_t RESERVED5[2];
  rw32 BDCR;  // 0x70
  rw32 CSR;   // 0x74
  std::uint32_t RESERVED6[2];
  rw32 SSCGR;       // 0x80
  rw32 PLLI2SCFGR;  // 0x84
};
static_assert(offsetof(RCC_TypeDef, CR) == 0x00);
static_assert(offsetof(RCC_TypeDef, PLLCFGR) == 0x04);
static_assert(offsetof(RCC_TypeDef, CFGR) == 0x08);
static_assert(offsetof(RCC_TypeDef, CIR) == 0x0C);
static_assert(offsetof(RCC_TypeDef, AHB1RSTR) == 0x10);
static_assert(offsetof(RCC_TypeDef, APB1RSTR) == 0x20);
static_assert(offsetof(RCC_TypeDef, AHB1ENR) == 0x30);
static_assert(offsetof(RCC_TypeDef, APB1ENR) == 0x40);
static_assert(offsetof(RCC_TypeDef, APB2ENR) == 0x44);
static_assert(offsetof(RCC_TypeDef, AHB1LPENR) == 0x50);
static_assert(offsetof(RCC_TypeDef, APB1LPENR) == 0x60);
static_assert(offsetof(RCC_TypeDef, BDCR) == 0x70);
static_assert(offsetof(RCC_TypeDef, CSR) == 0x74);
static_assert(offsetof(RCC_TypeDef, SSCGR) == 0x80);
static_assert(offsetof(RCC_TypeDef, PLLI2SCFGR) == 0x84);
static_assert(sizeof(RCC_TypeDef) == 0x88);

struct FLASH_TypeDef {
  rw32 ACR;      // 0x00 access control: latency, prefetch, caches
  rw32 KEYR;     // 0x04
  rw32 OPTKEYR;  // 0x08
  rw32 SR;       // 0x0C
  rw32 CR;       // 0x10
  rw32 OPTCR;    // 0x14
};
static_assert(offsetof(FLASH_TypeDef, ACR) == 0x00);
static_assert(offsetof(FLASH_TypeDef, OPTCR) == 0x14);
static_assert(sizeof(FLASH_TypeDef) == 0x18);

struct PWR_TypeDef {
  rw32 CR;   // 0x00
  rw32 CSR;  // 0x04
};
static_assert(offsetof(PWR_TypeDef, CSR) == 0x04);
static_assert(sizeof(PWR_TypeDef) == 0x08);

// Core peripherals
struct SysTick_Type {
  rw32 CTRL;   // 0x00 control and status
  rw32 LOAD;   // 0x04 reload value, 24 bits
  rw32 VAL;    // 0x08 current value; any write clears it
  rw32 CALIB;  // 0x0C
};
static_assert(offsetof(SysTick_Type, LOAD) == 0x04);
static_assert(offsetof(SysTick_Type, VAL) == 0x08);
static_assert(offsetof(SysTick_Type, CALIB) == 0x0C);
static_assert(sizeof(SysTick_Type) == 0x10);

struct NVIC_Type {
  rw32 ISER[8];  // 0x000 set-enable
  std::uint32_t RESERVED0[24];
  rw32 ICER[8];  // 0x080 clear-enable
  std::uint32_t RESERVED1[24];
  rw32 ISPR[8];  // 0x100 set-pending
  std::uint32_t RESERVED2[24];
  rw32 ICPR[8];  // 0x180 clear-pending
  std::uint32_t RESERVED3[24];
  rw32 IABR[8];  // 0x200 active bits
  std::uint32_t RESERVED4[56];
  rw8 IP[240];  // 0x300 priority bytes
  std::uint32_t RESERVED5[644];
  rw32 STIR;  // 0xE00 software trigger
};
static_assert(offsetof(NVIC_Type, ISER) == 0x000);
static_assert(offsetof(NVIC_Type, ICER) == 0x080);
static_assert(offsetof(NVIC_Type, ISPR) == 0x100);
static_assert(offsetof(NVIC_Type, ICPR) == 0x180);
static_assert(offsetof(NVIC_Type, IABR) == 0x200);
static_assert(offsetof(NVIC_Type, IP) == 0x300);
static_assert(offsetof(NVIC_Type, STIR) == 0xE00);
static_assert(sizeof(NVIC_Type) == 0xE04);

struct SCB_Type {
  rw32 CPUID;  // 0x00
  rw32 ICSR;   // 0x04 interrupt control and state
  rw32 VTOR;   // 0x08 vector table offset
  rw32 AIRCR;  // 0x0C application interrupt and reset control
  rw32 SCR;    // 0x10
  rw32 CCR;    // 0x14
  rw8 SHP[12];  // 0x18 system handler priority bytes, exceptions 4 to 15
  rw32 SHCSR;   // 0x24
  rw32 CFSR;    // 0x28
  rw32 HFSR;    // 0x2C
  rw32 DFSR;    // 0x30
  rw32 MMFAR;   // 0x34
  rw32 BFAR;    // 0x38
  rw32 AFSR;    // 0x3C
  rw32 PFR[2];  // 0x40
  rw32 DFR;     // 0x48
  rw32 ADR;     // 0x4C
  rw32 MMFR[4];  // 0x50
  rw32 ISAR[5];  // 0x60
  std::uint32_t RESERVED0[5];
  rw32 CPACR;  // 0x88 coprocessor access control
};
static_assert(offsetof(SCB_Type, ICSR) == 0x04);
static_assert(offsetof(SCB_Type, VTOR) == 0x08);
static_assert(offsetof(SCB_Type, AIRCR) == 0x0C);
static_assert(offsetof(SCB_Type, SHP) == 0x18);
static_assert(offsetof(SCB_Type, SHCSR) == 0x24);
static_assert(offsetof(SCB_Type, CFSR) == 0x28);
static_assert(offsetof(SCB_Type, PFR) == 0x40);
static_assert(offsetof(SCB_Type, MMFR) == 0x50);
static_assert(offsetof(SCB_Type, ISAR) == 0x60);
static_assert(offsetof(SCB_Type, CPACR) == 0x88);
static_assert(sizeof(SCB_Type) == 0x8C);

// ---------------------------------------------------------------------------
// Peripheral instances. Each names the register block at its address; the
// port decides what the pointer refers to on the build at hand.
#define TIM2 (port::block_at<TIM_TypeDef>(TIM2_BASE))
#define TIM3 (port::block_at<TIM_TypeDef>(TIM3_BASE))
#define TIM5 (port::block_at<TIM_TypeDef>(TIM5_BASE))
#define TIM6 (port::block_at<TIM_TypeDef>(TIM6_BASE))
#define SPI2 (port::block_at<SPI_TypeDef>(SPI2_BASE))
#define USART1 (port::block_at<USART_TypeDef>(USART1_BASE))
#define USART3 (port::block_at<USART_TypeDef>(USART3_BASE))
#define PWR (port::block_at<PWR_TypeDef>(PWR_BASE))
#define SYSCFG (port::block_at<SYSCFG_TypeDef>(SYSCFG_BASE))
#define EXTI (port::block_at<EXTI_TypeDef>(EXTI_BASE))
#define GPIOA (port::block_at<GPIO_TypeDef>(GPIOA_BASE))
#define GPIOB (port::block_at<GPIO_TypeDef>(GPIOB_BASE))
#define GPIOC (port::block_at<GPIO_TypeDef>(GPIOC_BASE))
#define RCC (port::block_at<RCC_TypeDef>(RCC_BASE))
#define FLASH (port::block_at<FLASH_TypeDef>(FLASH_R_BASE))
#define SysTick (port::block_at<SysTick_Type>(SysTick_BASE))
#define NVIC (port::block_at<NVIC_Type>(NVIC_BASE))
#define SCB (port::block_at<SCB_Type>(SCB_BASE))

// ---------------------------------------------------------------------------
// Register bits used by the firmware

// RCC CR
inline constexpr std::uint32_t RCC_CR_HSION = 0x00000001u;
inline constexpr std::uint32_t RCC_CR_HSIRDY = 0x00000002u;
inline constexpr std::uint32_t RCC_CR_HSITRIM = 0x000000F8u;
inline constexpr std::uint32_t RCC_CR_HSICAL = 0x0000FF00u;
inline constexpr std::uint32_t RCC_CR_HSEON = 0x00010000u;
inline constexpr std::uint32_t RCC_CR_HSERDY = 0x00020000u;
inline constexpr std::uint32_t RCC_CR_HSEBYP = 0x00040000u;
inline constexpr std::uint32_t RCC_CR_CSSON = 0x00080000u;
inline constexpr std::uint32_t RCC_CR_PLLON = 0x01000000u;
inline constexpr std::uint32_t RCC_CR_PLLRDY = 0x02000000u;
// RCC PLLCFGR
inline constexpr std::uint32_t RCC_PLLCFGR_PLLM = 0x0000003Fu;
inline constexpr std::uint32_t RCC_PLLCFGR_PLLN = 0x00007FC0u;
inline constexpr std::uint32_t RCC_PLLCFGR_PLLP = 0x00030000u;
inline constexpr std::uint32_t RCC_PLLCFGR_PLLSRC_HSE = 0x00400000u;
inline constexpr std::uint32_t RCC_PLLCFGR_PLLQ = 0x0F000000u;
// RCC CFGR
inline constexpr std::uint32_t RCC_CFGR_SW = 0x00000003u;
inline constexpr std::uint32_t RCC_CFGR_SW_HSI = 0x00000000u;
inline constexpr std::uint32_t RCC_CFGR_SW_HSE = 0x00000001u;
inline constexpr std::uint32_t RCC_CFGR_SW_PLL = 0x00000002u;
inline constexpr std::uint32_t RCC_CFGR_SWS = 0x0000000Cu;
inline constexpr std::uint32_t RCC_CFGR_SWS_HSI = 0x00000000u;
inline constexpr std::uint32_t RCC_CFGR_SWS_HSE = 0x00000004u;
inline constexpr std::uint32_t RCC_CFGR_SWS_PLL = 0x00000008u;
inline constexpr std::uint32_t RCC_CFGR_HPRE = 0x000000F0u;
inline constexpr std::uint32_t RCC_CFGR_HPRE_DIV1 = 0x00000000u;
inline constexpr std::uint32_t RCC_CFGR_PPRE1 = 0x00001C00u;
inline constexpr std::uint32_t RCC_CFGR_PPRE1_DIV4 = 0x00001400u;
inline constexpr std::uint32_t RCC_CFGR_PPRE2 = 0x0000E000u;
inline constexpr std::uint32_t RCC_CFGR_PPRE2_DIV2 = 0x00008000u;
inline constexpr std::uint32_t RCC_CFGR_RTCPRE = 0x001F0000u;
inline constexpr std::uint32_t RCC_CFGR_MCO1 = 0x00600000u;
inline constexpr std::uint32_t RCC_CFGR_I2SSRC = 0x00800000u;
inline constexpr std::uint32_t RCC_CFGR_MCO1PRE = 0x07000000u;
inline constexpr std::uint32_t RCC_CFGR_MCO2PRE = 0x38000000u;
inline constexpr std::uint32_t RCC_CFGR_MCO2 = 0xC0000000u;
// RCC APB1ENR
inline constexpr std::uint32_t RCC_APB1ENR_PWREN = 0x10000000u;
// PWR CR
inline constexpr std::uint32_t PWR_CR_VOS = 0x0000C000u;
// PWR CSR
inline constexpr std::uint32_t PWR_CSR_VOSRDY = 0x00004000u;
// FLASH ACR
inline constexpr std::uint32_t FLASH_ACR_LATENCY = 0x0000000Fu;
inline constexpr std::uint32_t FLASH_ACR_LATENCY_5WS = 0x00000005u;
inline constexpr std::uint32_t FLASH_ACR_PRFTEN = 0x00000100u;
inline constexpr std::uint32_t FLASH_ACR_ICEN = 0x00000200u;
inline constexpr std::uint32_t FLASH_ACR_DCEN = 0x00000400u;
inline constexpr std::uint32_t FLASH_ACR_ICRST = 0x00000800u;
inline constexpr std::uint32_t FLASH_ACR_DCRST = 0x00001000u;
// SYSCFG
inline constexpr std::uint32_t SYSCFG_MEMRMP_MEM_MODE = 0x00000003u;
inline constexpr std::uint32_t SYSCFG_PMC_MII_RMII = 0x00800000u;
inline constexpr std::uint32_t SYSCFG_CMPCR_CMP_PD = 0x00000001u;
inline constexpr std::uint32_t SYSCFG_CMPCR_READY = 0x00000100u;
// EXTI: lines 0 to 22
inline constexpr std::uint32_t EXTI_LINES = 0x007FFFFFu;

// TIM
inline constexpr std::uint16_t TIM_CR1_CEN = 0x0001u;
inline constexpr std::uint16_t TIM_CR1_UDIS = 0x0002u;
inline constexpr std::uint16_t TIM_CR1_URS = 0x0004u;
inline constexpr std::uint16_t TIM_CR1_OPM = 0x0008u;
inline constexpr std::uint16_t TIM_CR1_DIR = 0x0010u;
inline constexpr std::uint16_t TIM_CR1_CMS = 0x0060u;
inline constexpr std::uint16_t TIM_CR1_ARPE = 0x0080u;
inline constexpr std::uint16_t TIM_CR1_CKD = 0x0300u;
inline constexpr std::uint16_t TIM_DIER_UIE = 0x0001u;
inline constexpr std::uint16_t TIM_DIER_CC1IE = 0x0002u;
inline constexpr std::uint16_t TIM_DIER_CC2IE = 0x0004u;
inline constexpr std::uint16_t TIM_DIER_CC3IE = 0x0008u;
inline constexpr std::uint16_t TIM_DIER_CC4IE = 0x0010u;
inline constexpr std::uint16_t TIM_DIER_TIE = 0x0040u;
inline constexpr std::uint16_t TIM_SR_UIF = 0x0001u;
inline constexpr std::uint16_t TIM_SR_CC1IF = 0x0002u;
inline constexpr std::uint16_t TIM_SR_CC2IF = 0x0004u;
inline constexpr std::uint16_t TIM_SR_TIF = 0x0040u;
inline constexpr std::uint16_t TIM_SR_CC1OF = 0x0200u;
inline constexpr std::uint16_t TIM_SR_CC2OF = 0x0400u;
inline constexpr std::uint16_t TIM_EGR_UG = 0x0001u;
inline constexpr std::uint16_t TIM_EGR_CC1G = 0x0002u;
inline constexpr std::uint16_t TIM_EGR_CC2G = 0x0004u;
inline constexpr std::uint16_t TIM_EGR_CC3G = 0x0008u;
inline constexpr std::uint16_t TIM_EGR_CC4G = 0x0010u;
inline constexpr std::uint16_t TIM_EGR_TG = 0x0040u;
inline constexpr std::uint16_t TIM_CCMR1_CC1S = 0x0003u;
inline constexpr std::uint16_t TIM_CCMR1_CC1S_0 = 0x0001u;  // input capture 1 from TI1
inline constexpr std::uint16_t TIM_CCMR1_IC1PSC = 0x000Cu;
inline constexpr std::uint16_t TIM_CCMR1_IC1F = 0x00F0u;
inline constexpr std::uint16_t TIM_CCMR1_OC1PE = 0x0008u;
inline constexpr std::uint16_t TIM_CCMR1_OC1M = 0x0070u;
inline constexpr std::uint16_t TIM_CCMR1_CC2S = 0x0300u;
inline constexpr std::uint16_t TIM_CCMR1_CC2S_1 = 0x0200u;  // input capture 2 from TI1
inline constexpr std::uint16_t TIM_CCMR1_IC2PSC = 0x0C00u;
inline constexpr std::uint16_t TIM_CCMR1_IC2F = 0xF000u;
inline constexpr std::uint16_t TIM_CCMR1_OC2PE = 0x0800u;
inline constexpr std::uint16_t TIM_CCMR1_OC2M = 0x7000u;
inline constexpr std::uint16_t TIM_CCMR2_CC3S = 0x0003u;
inline constexpr std::uint16_t TIM_CCMR2_OC3PE = 0x0008u;
inline constexpr std::uint16_t TIM_CCMR2_OC3M = 0x0070u;
inline constexpr std::uint16_t TIM_CCER_CC1E = 0x0001u;
inline constexpr std::uint16_t TIM_CCER_CC1P = 0x0002u;
inline constexpr std::uint16_t TIM_CCER_CC1NE = 0x0004u;
inline constexpr std::uint16_t TIM_CCER_CC1NP = 0x0008u;
inline constexpr std::uint16_t TIM_CCER_CC2E = 0x0010u;
inline constexpr std::uint16_t TIM_CCER_CC2P = 0x0020u;
inline constexpr std::uint16_t TIM_CCER_CC2NE = 0x0040u;
inline constexpr std::uint16_t TIM_CCER_CC2NP = 0x0080u;
inline constexpr std::uint16_t TIM_CCER_CC3E = 0x0100u;
inline constexpr std::uint16_t TIM_CCER_CC3P = 0x0200u;
inline constexpr std::uint16_t TIM_CCER_CC3NE = 0x0400u;
inline constexpr std::uint16_t TIM_CCER_CC3NP = 0x0800u;
inline constexpr std::uint16_t TIM_CR2_OIS1 = 0x0100u;
inline constexpr std::uint16_t TIM_CR2_OIS1N = 0x0200u;
inline constexpr std::uint16_t TIM_CR2_OIS2 = 0x0400u;
inline constexpr std::uint16_t TIM_CR2_OIS2N = 0x0800u;
inline constexpr std::uint16_t TIM_CR2_OIS3 = 0x1000u;
inline constexpr std::uint16_t TIM_CR2_OIS3N = 0x2000u;
inline constexpr std::uint16_t TIM_SMCR_SMS = 0x0007u;
inline constexpr std::uint16_t TIM_SMCR_TS = 0x0070u;
inline constexpr std::uint16_t TIM_SMCR_SMS_RESET = 0x0004u;  // a trigger edge restarts the counter
inline constexpr std::uint16_t TIM_SMCR_TS_TI1FP1 = 0x0050u;  // trigger: filtered TI1 with CC1P polarity

// SPI
inline constexpr std::uint16_t SPI_CR1_CPHA = 0x0001u;
inline constexpr std::uint16_t SPI_CR1_CPOL = 0x0002u;
inline constexpr std::uint16_t SPI_CR1_MSTR = 0x0004u;
inline constexpr std::uint16_t SPI_CR1_BR = 0x0038u;
inline constexpr std::uint16_t SPI_CR1_SPE = 0x0040u;
inline constexpr std::uint16_t SPI_CR1_LSBFIRST = 0x0080u;
inline constexpr std::uint16_t SPI_CR1_SSI = 0x0100u;
inline constexpr std::uint16_t SPI_CR1_SSM = 0x0200u;
inline constexpr std::uint16_t SPI_CR1_DFF = 0x0800u;
inline constexpr std::uint16_t SPI_CR1_CRCNEXT = 0x1000u;
inline constexpr std::uint16_t SPI_CR1_CRCEN = 0x2000u;
inline constexpr std::uint16_t SPI_CR2_ERRIE = 0x0020u;
inline constexpr std::uint16_t SPI_CR2_RXNEIE = 0x0040u;
inline constexpr std::uint16_t SPI_CR2_TXEIE = 0x0080u;
inline constexpr std::uint16_t SPI_SR_RXNE = 0x0001u;
inline constexpr std::uint16_t SPI_SR_TXE = 0x0002u;
inline constexpr std::uint16_t SPI_SR_CRCERR = 0x0010u;
inline constexpr std::uint16_t SPI_SR_MODF = 0x0020u;
inline constexpr std::uint16_t SPI_SR_OVR = 0x0040u;
inline constexpr std::uint16_t SPI_SR_BSY = 0x0080u;
inline constexpr std::uint16_t SPI_I2SCFGR_I2SMOD = 0x0800u;

// USART
inline constexpr std::uint16_t USART_SR_PE = 0x0001u;
inline constexpr std::uint16_t USART_SR_FE = 0x0002u;
inline constexpr std::uint16_t USART_SR_NE = 0x0004u;
inline constexpr std::uint16_t USART_SR_ORE = 0x0008u;
inline constexpr std::uint16_t USART_SR_IDLE = 0x0010u;
inline constexpr std::uint16_t USART_SR_RXNE = 0x0020u;
inline constexpr std::uint16_t USART_SR_TC = 0x0040u;
inline constexpr std::uint16_t USART_SR_TXE = 0x0080u;
inline constexpr std::uint16_t USART_CR1_RE = 0x0004u;
inline constexpr std::uint16_t USART_CR1_TE = 0x0008u;
inline constexpr std::uint16_t USART_CR1_IDLEIE = 0x0010u;
inline constexpr std::uint16_t USART_CR1_RXNEIE = 0x0020u;
inline constexpr std::uint16_t USART_CR1_TCIE = 0x0040u;
inline constexpr std::uint16_t USART_CR1_TXEIE = 0x0080u;
inline constexpr std::uint16_t USART_CR1_PEIE = 0x0100u;
inline constexpr std::uint16_t USART_CR1_PS = 0x0200u;
inline constexpr std::uint16_t USART_CR1_PCE = 0x0400u;
inline constexpr std::uint16_t USART_CR1_M = 0x1000u;
inline constexpr std::uint16_t USART_CR1_UE = 0x2000u;
inline constexpr std::uint16_t USART_CR1_OVER8 = 0x8000u;
inline constexpr std::uint16_t USART_CR2_STOP = 0x3000u;
inline constexpr std::uint16_t USART_CR3_EIE = 0x0001u;
inline constexpr std::uint16_t USART_CR3_DMAR = 0x0040u;
inline constexpr std::uint16_t USART_CR3_RTSE = 0x0100u;
inline constexpr std::uint16_t USART_CR3_CTSE = 0x0200u;

// SysTick CTRL
inline constexpr std::uint32_t SysTick_CTRL_ENABLE_Msk = 0x00000001u;
inline constexpr std::uint32_t SysTick_CTRL_TICKINT_Msk = 0x00000002u;
inline constexpr std::uint32_t SysTick_CTRL_CLKSOURCE_Msk = 0x00000004u;
inline constexpr std::uint32_t SysTick_CTRL_COUNTFLAG_Msk = 0x00010000u;
inline constexpr std::uint32_t SysTick_LOAD_RELOAD_Msk = 0x00FFFFFFu;

// SCB AIRCR
inline constexpr std::uint32_t SCB_AIRCR_PRIGROUP_Msk = 0x00000700u;
inline constexpr std::uint32_t AIRCR_VECTKEY_MASK = 0x05FA0000u;
inline constexpr std::uint32_t SCB_AIRCR_VECTKEY_Msk = 0xFFFF0000u;
// NVIC STIR
inline constexpr std::uint32_t NVIC_STIR_INTID_Msk = 0x000001FFu;

// The device implements the upper four bits of each priority byte.
inline constexpr unsigned __NVIC_PRIO_BITS = 4;
