#include "usart.h"

#include "device.h"
#include "drv_gpio.h"
#include "drv_misc.h"
#include "drv_rcc.h"
#include "drv_usart.h"

// Ground-station port: 8 data bits, no parity, 1 stop bit, no flow control,
// 16-times oversampling; the divider comes from the live APB1 clock
// (42 MHz at 500000 baud: BRR 0x0054, exact). The receive interrupt is on.
void USART3_Init(std::uint32_t BaudRate) {
  RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOB, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_USART3, ENABLE);

  // The function is selected before the pins switch to alternate-function mode.
  GPIO_PinAFConfig(GPIOB, GPIO_PinSource10, GPIO_AF_USART3);
  GPIO_PinAFConfig(GPIOB, GPIO_PinSource11, GPIO_AF_USART3);

  static constexpr GPIO_InitTypeDef gpio{.GPIO_Pin = GPIO_Pin_10 | GPIO_Pin_11,
                                         .GPIO_Mode = GPIO_Mode_AF,
                                         .GPIO_Speed = GPIO_Fast_Speed,
                                         .GPIO_OType = GPIO_OType_PP,
                                         .GPIO_PuPd = GPIO_PuPd_UP};
  GPIO_Init(GPIOB, &gpio);

  USART_InitTypeDef usart{};
  usart.USART_BaudRate = BaudRate;
  usart.USART_WordLength = USART_WordLength_8b;
  usart.USART_StopBits = USART_StopBits_1;
  usart.USART_Parity = USART_Parity_No;
  usart.USART_Mode = USART_Mode_Rx | USART_Mode_Tx;
  usart.USART_HardwareFlowControl = USART_HardwareFlowControl_None;
  USART_Init(USART3, &usart);

  USART_ITConfig(USART3, USART_IT_RXNE, ENABLE);

  // Pre-emption 3, sub-priority 3: byte 0xB0, level 1.
  static constexpr NVIC_InitTypeDef nvic{.NVIC_IRQChannel = USART3_IRQn,
                                         .NVIC_IRQChannelPreemptionPriority = 3,
                                         .NVIC_IRQChannelSubPriority = 3,
                                         .NVIC_IRQChannelCmd = ENABLE};
  NVIC_Init(&nvic);

  USART_Cmd(USART3, ENABLE);
}
