// Positional PID controller.
#pragma once

#include "type.h"

void CalculatePID(ST_PID* pstPid);
