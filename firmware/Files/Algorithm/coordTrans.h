// Inverse Park transform with an integer sine table.
#pragma once

#include <cstdint>

#include "type.h"

void Anti_Park_Calc(PARK* v);
