// The phase drive on the virtual board: the control work's three compare
// writes to TIM5 on the bus, the duties reaching PA0..PA2 at the timer's next
// update event, the drive going off when the angle captures stop and on again
// when they resume, and a key press turning into duties that follow Uq and
// Theta.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "device.h"
#include "global_variable.h"
#include "vboard/board/board.h"
#include "vboard/chip/system_control_block.h"
#include "vboard/chip/gpio.h"
#include "vboard/parts/keys.h"
#include "work_monitor.h"
#include "vboard/parts/sensor_pwm.h"
#include "vboard/chip/tim/timer.h"

namespace {

using vboard::board;
using vboard::ms;
using vboard::Ticks;
using vboard::us;

constexpr std::uintptr_t kCcr1 = TIM5_BASE + offsetof(TIM_TypeDef, CCR1);
constexpr std::uintptr_t kCcr2 = TIM5_BASE + offsetof(TIM_TypeDef, CCR2);
constexpr std::uintptr_t kCcr3 = TIM5_BASE + offsetof(TIM_TypeDef, CCR3);
constexpr int kCaptureException = vboard::kExcIrq0 + TIM3_IRQn;

// One control work's compare values, as they went over the bus.
struct Duties {
  Ticks time;  // of the CCR1 write
  std::uint32_t a, b, c;
  bool zero_vector() const { return a == 25u && b == 25u && c == 25u; }
};

// A high pulse on a pin.
struct Pulse {
  Ticks rise, fall;
  double width_us() const { return vboard::to_us(fall - rise); }
};

class PhaseDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    board().reset();
    works.attach(board());
    board().gpio('A').observe([this](int pin, bool level, Ticks t) {
      if (pin <= 2) edges[static_cast<std::size_t>(pin)].push_back({t, level});
    });
    board().on_exception_entry = [this](int e, Ticks t) {
      // Captures only: the line broken, the counter's overflows interrupt too.
      if (e == kCaptureException && (board().peek(TIM3_BASE + offsetof(TIM_TypeDef, SR), 2) & TIM_SR_CC1IF) != 0u) captures.push_back(t);
    };
  }
  void TearDown() override {
    board().bus_log = nullptr;
    board().reset();
  }

  // Every TIM5 access after start-up must be one of the control work's
  // compare writes, in order CCR1, CCR2, CCR3, each a 32-bit word.
  std::vector<Duties> compare_writes() const {
    std::vector<const vboard::BusAccess*> tim5;
    for (const auto& a : log) {
      if (a.address >= TIM5_BASE && a.address < TIM5_BASE + sizeof(TIM_TypeDef)) tim5.push_back(&a);
    }
    std::vector<Duties> out;
    EXPECT_EQ(tim5.size() % 3, 0u);
    for (std::size_t n = 0; n + 2 < tim5.size(); n += 3) {
      const std::uintptr_t want[3] = {kCcr1, kCcr2, kCcr3};
      for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_TRUE(tim5[n + k]->write) << "access " << n + k;
        EXPECT_EQ(tim5[n + k]->address, want[k]) << "access " << n + k;
        EXPECT_EQ(tim5[n + k]->width, 4u) << "access " << n + k;
      }
      out.push_back({tim5[n]->time, tim5[n]->value, tim5[n + 1]->value, tim5[n + 2]->value});
    }
    return out;
  }

  std::vector<Pulse> pulses(int pin) const {
    std::vector<Pulse> out;
    Ticks rise = vboard::kNever;
    for (const auto& e : edges[static_cast<std::size_t>(pin)]) {
      if (e.level) {
        rise = e.time;
      } else if (rise != vboard::kNever) {
        out.push_back({rise, e.time});
        rise = vboard::kNever;
      }
    }
    return out;
  }

  // Powers on and records the bus from the end of start-up on (the first
  // scheduler tick).
  void power_on_and_log() {
    board().power_on();
    while (board().handler_entries(vboard::kExcIrq0 + TIM6_DAC_IRQn) == 0) board().run_for(us(100));
    board().bus_log = &log;
  }

  struct Edge {
    Ticks time;
    bool level;
  };
  std::vector<vboard::BusAccess> log;
  std::vector<Edge> edges[3];
  std::vector<Ticks> captures;
  vboard::WorkMonitor works;
};

TEST_F(PhaseDrive, EachControlWorkWritesTheThreeCompareValues) {
  board().rotor().set(45.0, 0.0, 0);
  power_on_and_log();
  board().run_for(ms(105));
  const auto writes = compare_writes();
  const auto& done = works.times(vboard::Work::kControl);
  ASSERT_EQ(writes.size(), done.size()) << "one set of three writes per control work, nothing else on TIM5";
  ASSERT_GE(writes.size(), 10u);
  for (std::size_t n = 0; n < writes.size(); ++n) {
    EXPECT_LT(writes[n].time, done[n]);
    if (n > 0) {
      EXPECT_GT(writes[n].time, done[n - 1]);
    }
    // The sensor's captures are live and the rotor is 45 degrees off the
    // setpoint: the PID drives a full vector.
    EXPECT_FALSE(writes[n].zero_vector()) << n;
    EXPECT_LE(std::max({writes[n].a, writes[n].b, writes[n].c}), 50u);
  }
  EXPECT_EQ(writes.back().a, static_cast<std::uint32_t>(MotorASVPWM.taOn));
  EXPECT_EQ(writes.back().b, static_cast<std::uint32_t>(MotorASVPWM.tbOn));
  EXPECT_EQ(writes.back().c, static_cast<std::uint32_t>(MotorASVPWM.tcOn));
  EXPECT_EQ(board().tim(5).compare(1), writes.back().a);
}

// Compare preload: a written value waits for the next update event (top or
// bottom of the count, every 50 us). A pulse centred on the bottom is high
// from count c going down to count c going up: 2c us, or old + new when the
// value changes at that bottom.
TEST_F(PhaseDrive, NewDutiesReachThePinsAtTheNextUpdateEvent) {
  std::vector<Ticks> updates;
  board().tim(5).set_on_update([&](Ticks t) { updates.push_back(t); });
  // A turning rotor: the electrical angle, and with it every duty, moves
  // between two control works.
  board().rotor().set(45.0, 200.0, 0);
  power_on_and_log();
  board().run_for(ms(330));
  const auto writes = compare_writes();
  ASSERT_GE(writes.size(), 30u);

  const std::uint32_t Duties::*fields[3] = {&Duties::a, &Duties::b, &Duties::c};
  int changes_checked = 0;
  int early_edges_checked = 0;
  for (std::size_t n = 1; n < writes.size(); ++n) {
    const Ticks written = writes[n].time;
    const auto next = std::upper_bound(updates.begin(), updates.end(), written);
    ASSERT_NE(next, updates.end());
    const Ticks update = *next;
    EXPECT_LE(update - written, us(50));
    for (int pin = 0; pin < 3; ++pin) {
      SCOPED_TRACE(::testing::Message() << "write " << n << ", PA" << pin);
      const double before = writes[n - 1].*fields[pin];
      const double after = writes[n].*fields[pin];
      if (before == after || before == 0.0 || before == 50.0 || after == 0.0 || after == 50.0) continue;
      ++changes_checked;
      for (const Pulse& p : pulses(pin)) {
        if (p.fall + us(300) < written || p.rise > update + us(300)) continue;
        if (p.fall <= update) {
          EXPECT_DOUBLE_EQ(p.width_us(), 2.0 * before);
        } else if (p.rise >= update) {
          EXPECT_DOUBLE_EQ(p.width_us(), 2.0 * after);
        } else {
          EXPECT_DOUBLE_EQ(p.width_us(), before + after) << "the value changes at this bottom";
        }
        // An edge after the write but before the update still came from
        // the old value.
        if ((p.rise > written && p.rise < update) || (p.fall > written && p.fall <= update)) ++early_edges_checked;
      }
    }
  }
  EXPECT_GE(changes_checked, 6);
  EXPECT_GE(early_edges_checked, 10) << "too few edges between a write and its update event";
}

TEST_F(PhaseDrive, DriveGoesOffWhenCapturesStopAndOnWhenTheyResume) {
  board().rotor().set(45.0, 0.0, 0);
  auto& pwm = *board().find<vboard::SensorPwm>();
  power_on_and_log();
  board().run_until(ms(60));
  // The sensor's line breaks.
  pwm.set_enabled(false);
  board().run_until(ms(120));
  ASSERT_FALSE(captures.empty());
  const Ticks last_capture = captures.back();
  EXPECT_LT(last_capture, ms(61));

  auto writes = compare_writes();
  std::vector<Duties> after_stop;
  for (const auto& w : writes)
    if (w.time > last_capture) after_stop.push_back(w);
  ASSERT_GE(after_stop.size(), 5u);
  // Two control works still drive on the last angle (it is at most 20 ms
  // old); from the third on, 20 ms or more without a capture, the zero vector.
  EXPECT_FALSE(after_stop[0].zero_vector());
  EXPECT_FALSE(after_stop[1].zero_vector());
  EXPECT_LT(after_stop[1].time - last_capture, ms(20));
  EXPECT_GE(after_stop[2].time - last_capture, ms(20));
  EXPECT_LE(after_stop[2].time - last_capture, ms(30));
  for (std::size_t n = 2; n < after_stop.size(); ++n) EXPECT_TRUE(after_stop[n].zero_vector()) << n;
  // On the pins: all three phases at half duty, 50 us high in every 100 us.
  const Ticks off_from = after_stop[2].time + us(100);
  for (int pin = 0; pin < 3; ++pin) {
    int seen = 0;
    for (const Pulse& p : pulses(pin)) {
      if (p.rise < off_from) continue;
      EXPECT_DOUBLE_EQ(p.width_us(), 50.0) << "PA" << pin;
      ++seen;
    }
    EXPECT_GT(seen, 100) << "PA" << pin;
  }
  // Meanwhile the PID still runs on the frozen angle and asks for a full
  // vector; it does not reach the motor.
  EXPECT_EQ(std::fabs(MotorAPark.Uq), 12.0f);

  // The line is mended. Its first rising edge ends no period: the capture
  // holds the counter's run since the last edge before the break, wrapped,
  // and is skipped, so a control work before the next edge still sends the
  // zero vector. That next edge, a whole period later, is the first angle;
  // the first control work after it drives again.
  const std::size_t before_resume = captures.size();
  pwm.set_enabled(true);
  board().run_for(ms(30));
  ASSERT_GT(captures.size(), before_resume + 1);
  const Ticks line_back = captures[before_resume];
  const Ticks resumed = captures[before_resume + 1];
  EXPECT_GE(resumed - line_back, pwm.period() - us(1));
  writes = compare_writes();
  std::vector<Duties> after_resume;
  for (const auto& w : writes) {
    if (w.time > resumed) {
      after_resume.push_back(w);
    } else if (w.time > line_back) {
      EXPECT_TRUE(w.zero_vector()) << "a capture of the break is no angle";
    }
  }
  ASSERT_GE(after_resume.size(), 2u);
  for (const auto& w : after_resume) EXPECT_FALSE(w.zero_vector());
  EXPECT_LT(after_resume[0].time - resumed, ms(10));
}

// The duties that a voltage Uq at the transform angle Theta should give,
// worked out here in double precision from the textbook form: inverse Park
// with Ud 0, limit to supply / sqrt(3), phase projections, the offset that
// centres the highest and lowest phase, rounding to the nearest count.
std::vector<double> expected_duties(double uq, int theta) {
  const double t = theta * std::numbers::pi / 180.0;
  double alpha = -uq * std::sin(t);
  double beta = uq * std::cos(t);
  const double limit = 12.0 / std::numbers::sqrt3;
  const double length = std::hypot(alpha, beta);
  if (length > limit) {
    alpha *= limit / length;
    beta *= limit / length;
  }
  const double v[3] = {alpha, -0.5 * alpha + std::sqrt(3.0) / 2.0 * beta, -0.5 * alpha - std::sqrt(3.0) / 2.0 * beta};
  const double centre = (std::max({v[0], v[1], v[2]}) + std::min({v[0], v[1], v[2]})) / 2.0;
  std::vector<double> out;
  for (double p : v) out.push_back(std::floor((p - centre) / 12.0 * 50.0 + 25.0 + 0.5));
  return out;
}

TEST_F(PhaseDrive, KeyPressDrivesThePhasesWithUqAndTheta) {
  // The rotor sits at the setpoint: no voltage, the phases at half duty.
  board().rotor().set(0.0, 0.0, 0);
  power_on_and_log();
  board().run_until(ms(60));
  auto writes = compare_writes();
  ASSERT_FALSE(writes.empty());
  for (std::uint32_t d : {writes.back().a, writes.back().b, writes.back().c}) EXPECT_NEAR(d, 25.0, 1.0);

  board().find<vboard::Keys>()->click(vboard::Key::kRaise, board().now() + ms(1), ms(40));
  board().run_for(ms(60));
  EXPECT_EQ(MotorAPosition.Des, 100.0f);
  EXPECT_EQ(MotorAPark.Uq, 12.0f) << "100 degrees off: the PID at its limit";
  writes = compare_writes();
  const Duties& now = writes.back();
  const auto want = expected_duties(MotorAPark.Uq, MotorAPark.Theta);
  EXPECT_NEAR(now.a, want[0], 1.0);
  EXPECT_NEAR(now.b, want[1], 1.0);
  EXPECT_NEAR(now.c, want[2], 1.0);
  EXPECT_GE(std::max({now.a, now.b, now.c}) - std::min({now.a, now.b, now.c}), 40u)
      << "a full vector spreads the phases";
  // The pins carry them from the update event after the write.
  const std::uint32_t values[3] = {now.a, now.b, now.c};
  for (int pin = 0; pin < 3; ++pin) {
    int seen = 0;
    for (const Pulse& p : pulses(pin)) {
      if (p.rise < now.time + us(100)) continue;
      EXPECT_DOUBLE_EQ(p.width_us(), 2.0 * values[pin]) << "PA" << pin;
      ++seen;
    }
    if (values[pin] > 0u && values[pin] < 50u) {
      EXPECT_GT(seen, 10) << "PA" << pin;
    }
  }
}

}  // namespace
