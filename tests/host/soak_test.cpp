// The seeded soak: minutes of virtual time with a rotor changing speed at
// random, key presses, serial floods and every fault of the catalogue
// switched at random times (host/observe/soak.h says what it watches). The
// same seed twice gives the same digest.
#include <gtest/gtest.h>

#include <cstdio>

#include "soak.h"
#include "vboard/parts/rotor.h"
#include "vboard/faults/fault_kinds.h"

namespace {

TEST(Soak, ScriptedRotorReadsBackBeforeItsLastChange) {
  // A capture read late asks for the rotor at its period's start, which may
  // lie before the rotor's last change of speed.
  vboard::Rotor rotor;
  rotor.set(10.0, 360.0, vboard::ms(100));
  EXPECT_NEAR(rotor.unwrapped(vboard::ms(99)), 9.64, 1e-9);
  EXPECT_NEAR(rotor.angle(vboard::ms(50)), 352.0, 1e-9);
}

TEST(Soak, FiveMinutesOfRandomFaultsTwice) {
  vboard::SoakOptions options;
  options.seconds = 300.0;
  options.seed = 2026;
  const vboard::SoakReport r = vboard::soak(options);
  std::printf("%s", r.summary().c_str());
  EXPECT_EQ(r.virtual_s, 300.0);
  EXPECT_GE(r.frames, 55000u);
  EXPECT_EQ(r.bad_frames, 0u);
  EXPECT_EQ(r.gaps_over_5ms, 0u) << "a frame every 5 ms unless a key's debounce explains the gap";
  EXPECT_FALSE(r.stalled);
  EXPECT_FALSE(r.stopped_in_handler) << r.handler;
  EXPECT_GT(r.angle_checks, 100000u);
  EXPECT_EQ(r.angle_misses, 0u) << "worst " << r.worst_angle_error << " degrees";
  EXPECT_EQ(r.turn_slips, 0u);
  for (const auto& k : vboard::kFaultKinds) {
    if (k.kind != vboard::FaultKind::kCrystalFails) {
      EXPECT_GT(r.faults_of_kind[static_cast<std::size_t>(k.kind)], 0u) << k.name;
    }
  }
  EXPECT_GT(r.serial_errors, 1000u);
  // The same seed from reset: the same frames at the same times. Another
  // seed: another run.
  const vboard::SoakReport again = vboard::soak(options);
  EXPECT_EQ(again.digest, r.digest);
  EXPECT_EQ(again.frames, r.frames);
  EXPECT_EQ(again.faults_applied, r.faults_applied);
  options.seconds = 5.0;
  options.seed = 2027;
  EXPECT_NE(vboard::soak(options).digest, r.digest);
}

}  // namespace
