// PLACEHOLDER: the capture timer set-up arrives with the angle decoder.
#include "timer.h"

void TIM3_Init() {}
