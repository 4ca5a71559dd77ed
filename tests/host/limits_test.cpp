// Limits of the PWM angle chain a user must know, measured on the capture
// timer and the decoder with a scripted rotor and printed: the fastest
// rotor whose absolute angle is followed exactly, and the drift of the
// single-precision absolute angle under long continuous rotation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "device.h"
#include "drv_misc.h"
#include "global_variable.h"
#include "system_clock.h"
#include "timer.h"
#include "vboard/board.h"

namespace {

using vboard::board;
using vboard::ms;
using vboard::Ticks;
using vboard::us;

// Worst difference, over `captures` periods of 1 ms, between the absolute
// angle and the rotor at the start of the period the last capture measured,
// after the first capture's turn offset is taken out, and that difference
// at the end.
struct Tracking {
  double worst;
  double last;
};

Tracking track(double speed, int captures) {
  board().reset();
  SystemInit();
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_1);
  board().rotor().set(0.0, speed, 0);
  TIM3_Init();
  std::uint64_t k = board().now() / ms(1) + 2;
  board().run_until(k * ms(1) + us(50));
  const double offset = static_cast<double>(AbPitchAngle) - board().rotor().unwrapped((k - 1) * ms(1));
  Tracking t{0.0, 0.0};
  for (int n = 0; n < captures; ++n) {
    ++k;
    board().run_until(k * ms(1) + us(50));
    const double error = static_cast<double>(AbPitchAngle) - board().rotor().unwrapped((k - 1) * ms(1)) - offset;
    t.worst = std::max(t.worst, std::fabs(error));
    t.last = error;
  }
  return t;
}

TEST(Limits, FastestRotorFollowedExactly) {
  // Both ways; bisection in steps of 1000 degrees per second (followed
  // below the limit, lost above it).
  // (Within 2 degrees: the sensor's shortest high time reads the first 1.4
  // degrees of its scale as 1.4.)
  auto followed = [](double speed) { return track(speed, 50).worst <= 2.0 && track(-speed, 50).worst <= 2.0; };
  int lo = 1, hi = 400;  // thousands: lo followed, hi not
  ASSERT_TRUE(followed(lo * 1000.0));
  ASSERT_FALSE(followed(hi * 1000.0));
  while (hi - lo > 1) {
    const int mid = (lo + hi) / 2;
    (followed(mid * 1000.0) ? lo : hi) = mid;
  }
  const double fastest = lo * 1000.0;
  std::printf("fastest rotor followed within 2 degrees over 50 captures: %.0f degrees/s (%.0f degrees a capture)\n",
              fastest, fastest / 1000.0);
  board().reset();
  EXPECT_GE(fastest, 90000.0);
}

TEST(Limits, FloatDriftOfTheAbsoluteAngle) {
  // 90 s at 720 degrees per second: the absolute angle adds 90000 steps of
  // 0.72 degrees in single precision.
  const Tracking t = track(720.0, 90000);
  board().reset();
  std::printf("drift of the absolute angle after 90 s at 720 degrees/s: %+.2f degrees (worst %.2f)\n", t.last,
              t.worst);
  EXPECT_LT(t.worst, 100.0);
}

}  // namespace
