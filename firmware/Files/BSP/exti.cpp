#include "exti.h"

#include "drv_misc.h"

// STAND-IN until the configuration operations land: sets the final priority
// grouping only.
void EXTI_Key_Config() { NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1); }
