// PLACEHOLDER: the PID step.
#include "algorithm.h"

void CalculatePID(ST_PID* pstPid) { (void)pstPid; }
