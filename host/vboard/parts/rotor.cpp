#include "vboard/parts/rotor.h"

#include "vboard/parts/motor_drive.h"

namespace vboard {

double Rotor::sensor_angle(Ticks t) { return forced_ ? angle(t) : drive_->sensor_angle_deg(); }

}  // namespace vboard
