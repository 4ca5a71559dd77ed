// Inverse Park transform with an integer sine table.
#pragma once

#include <cstdint>

#include "type.h"

// sin(i degrees) * 65536 for i = 0..180, computed in double precision and
// truncated toward zero (so entries 30 and 150 hold 32767, not 32768).
// Cosine and the lower half-turn come from the same table by symmetry.
inline constexpr std::int32_t Sin_Table[181] = {
    0, 1143, 2287, 3429, 4571, 5711, 6850, 7986, 9120, 10252,  // 0-9
    11380, 12504, 13625, 14742, 15854, 16961, 18064, 19160, 20251, 21336,  // 10-19
    22414, 23486, 24550, 25606, 26655, 27696, 28729, 29752, 30767, 31772,  // 20-29
    32767, 33753, 34728, 35693, 36647, 37589, 38521, 39440, 40347, 41243,  // 30-39
    42125, 42995, 43852, 44695, 45525, 46340, 47142, 47929, 48702, 49460,  // 40-49
    50203, 50931, 51643, 52339, 53019, 53683, 54331, 54963, 55577, 56175,  // 50-59
    56755, 57319, 57864, 58393, 58903, 59395, 59870, 60326, 60763, 61183,  // 60-69
    61583, 61965, 62328, 62672, 62997, 63302, 63589, 63856, 64103, 64331,  // 70-79
    64540, 64729, 64898, 65047, 65176, 65286, 65376, 65446, 65496, 65526,  // 80-89
    65536, 65526, 65496, 65446, 65376, 65286, 65176, 65047, 64898, 64729,  // 90-99
    64540, 64331, 64103, 63856, 63589, 63302, 62997, 62672, 62328, 61965,  // 100-109
    61583, 61183, 60763, 60326, 59870, 59395, 58903, 58393, 57864, 57319,  // 110-119
    56755, 56175, 55577, 54963, 54331, 53683, 53019, 52339, 51643, 50931,  // 120-129
    50203, 49460, 48702, 47929, 47142, 46340, 45525, 44695, 43852, 42995,  // 130-139
    42125, 41243, 40347, 39440, 38521, 37589, 36647, 35693, 34728, 33753,  // 140-149
    32767, 31772, 30767, 29752, 28729, 27696, 26655, 25606, 24550, 23486,  // 150-159
    22414, 21336, 20251, 19160, 18064, 16961, 15854, 14742, 13625, 12504,  // 160-169
    11380, 10252, 9120, 7986, 6850, 5711, 4571, 3429, 2287, 1143,  // 170-179
    0,  // 180
};

static_assert(Sin_Table[0] == 0 && Sin_Table[1] == 1143 && Sin_Table[30] == 32767 && Sin_Table[60] == 56755);
static_assert(Sin_Table[90] == 65536 && Sin_Table[150] == 32767 && Sin_Table[180] == 0);

namespace sin_table_check {
// The table rises strictly to its peak at 90 degrees and mirrors about it.
constexpr bool well_formed() {
  for (int i = 0; i < 90; ++i) {
    if (Sin_Table[i] >= Sin_Table[i + 1]) return false;
  }
  for (int i = 0; i <= 180; ++i) {
    if (Sin_Table[i] != Sin_Table[180 - i]) return false;
  }
  return true;
}
static_assert(well_formed());
}  // namespace sin_table_check

// Turns the rotating-frame command (Ud, Uq) at the angle Theta (whole
// degrees) into the stationary-frame voltages UAlpha, UBeta, which keep the
// table's scale of 65536. Records the sine and cosine used in Sinthe and
// Costhe.
void Anti_Park_Calc(PARK* v);
