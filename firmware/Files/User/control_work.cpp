#include "control_work.h"

#include "algorithm.h"
#include "coordTrans.h"
#include "global_variable.h"

void Control_Work() {
  MotorAPosition.FB = AbPitchAngle;
  CalculatePID(&MotorAPosition);
  MotorAPark.Uq = MotorAPosition.U;
  Anti_Park_Calc(&MotorAPark);
  MotorASVPWM.UAlpha = MotorAPark.UAlpha;
  MotorASVPWM.UBeta = MotorAPark.UBeta;
}
