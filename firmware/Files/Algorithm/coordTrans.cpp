#include "coordTrans.h"

#include <cstdint>

#include "global_variable.h"

namespace {

// The angle as a table point in 0..359. Theta is 0..360 from the decoder
// (360 only before the first electrical angle, where it means 0); any other
// value is wrapped into one turn, so a bad angle never reads past the table.
std::uint32_t table_point(std::int32_t theta) {
  std::int32_t point = theta % 360;
  if (point < 0) {
    point = point + 360;
  }
  return static_cast<std::uint32_t>(point);
}

}  // namespace

void Anti_Park_Calc(PARK* v) {
  const std::uint32_t point = table_point(v->Theta);

  std::int32_t cosine;
  if (point < 90u) {
    cosine = Sin_Table[90u - point];
  } else if (point < 270u) {
    cosine = -Sin_Table[270u - point];
  } else {
    cosine = Sin_Table[point - 270u];
  }
  std::int32_t sine;
  if (point < 180u) {
    sine = Sin_Table[point];
  } else {
    sine = -Sin_Table[point - 180u];
  }
  Costhe = cosine;
  Sinthe = sine;

  // The table's scale is kept (no division by 65536). Each product is
  // rounded before the sum or difference.
  const float c = static_cast<float>(cosine);
  const float s = static_cast<float>(sine);
  const float ud_c = v->Ud * c;
  const float uq_s = v->Uq * s;
  const float ud_s = v->Ud * s;
  const float uq_c = v->Uq * c;
  v->UAlpha = ud_c - uq_s;
  v->UBeta = ud_s + uq_c;
}
