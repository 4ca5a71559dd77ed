// PLACEHOLDER: the inverse Park transform and its sine table.
#include "coordTrans.h"

void Anti_Park_Calc(PARK* v) { (void)v; }
