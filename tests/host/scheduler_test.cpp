// The event scheduler on its own: order, moving and cancelling, what is due
// "now", and that cutting a run into pieces changes nothing; and the
// rounding of times to ticks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "vboard/sim/clock.h"
#include "vboard/sim/scheduler.h"

namespace {

using vboard::kNever;
using vboard::Scheduler;
using vboard::Ticks;

struct Log {
  std::vector<std::pair<std::string, Ticks>> entries;
};

struct Target : vboard::EventTarget {
  Target(Scheduler& s, Log& l, std::string n) : sched(s), log(l), name(std::move(n)) {}
  void on_event(int kind) override {
    log.entries.emplace_back(name + std::to_string(kind), sched.now());
    if (then) then(kind);
  }
  Scheduler& sched;
  Log& log;
  std::string name;
  std::function<void(int)> then;
};

TEST(Scheduler, RunsInTimeOrderWithFixedTieBreaks) {
  Scheduler s;
  Log log;
  Target a(s, log, "a"), b(s, log, "b");
  s.at(10, [&] { log.entries.emplace_back("x", s.now()); });
  s.schedule(&b, 0, 10);  // first scheduled of the two targets at 10
  s.schedule(&a, 1, 10);
  s.at(10, [&] { log.entries.emplace_back("y", s.now()); });
  s.schedule(&a, 0, 5);
  s.run_until(100);
  const std::vector<std::pair<std::string, Ticks>> expected = {
      {"a0", 5}, {"b0", 10}, {"a1", 10}, {"x", 10}, {"y", 10}};
  EXPECT_EQ(log.entries, expected);
  EXPECT_EQ(s.now(), 100u);
  EXPECT_EQ(s.next_event(), kNever);
}

TEST(Scheduler, MovingAndCancellingKeepsTheEarliestRight) {
  Scheduler s;
  Log log;
  Target a(s, log, "a"), b(s, log, "b");
  s.schedule(&a, 0, 20);
  s.schedule(&b, 0, 30);
  EXPECT_EQ(s.next_event(), 20u);
  s.schedule(&a, 0, 40);  // the earliest moves later: b leads
  EXPECT_EQ(s.next_event(), 30u);
  s.schedule(&a, 0, 25);
  EXPECT_EQ(s.next_event(), 25u);
  s.cancel(&a, 0);
  EXPECT_EQ(s.next_event(), 30u);
  EXPECT_TRUE(s.pending(&b));
  EXPECT_FALSE(s.pending(&a));
  s.cancel(&b, 0);
  EXPECT_EQ(s.next_event(), kNever);
  s.run_until(50);
  EXPECT_TRUE(log.entries.empty());
}

TEST(Scheduler, SomethingDueNowRunsAndThePastIsDueAtOnce) {
  Scheduler s;
  Log log;
  Target a(s, log, "a");
  s.run_until(100);
  s.schedule(&a, 0, 100);
  s.run_until(100);  // a bound of "now" still runs what is due now
  s.at(50, [&] { log.entries.emplace_back("late", s.now()); });
  s.schedule(&a, 1, 60);
  s.run_until(100);
  const std::vector<std::pair<std::string, Ticks>> expected = {{"a0", 100}, {"a1", 100}, {"late", 100}};
  EXPECT_EQ(log.entries, expected);
  EXPECT_EQ(s.now(), 100u);
}

TEST(Scheduler, PiecesGiveTheSameRunAsOneBound) {
  // Two periodic targets, one of which reschedules the other from inside its
  // event, and one event scheduled for "now" from inside an event.
  auto run = [](auto drive) {
    Scheduler s;
    Log log;
    Target a(s, log, "a"), b(s, log, "b");
    a.then = [&](int) {
      s.schedule(&a, 0, s.now() + 7);
      if (s.now() % 3 == 0) s.schedule(&b, 1, s.now());
    };
    b.then = [&](int kind) {
      if (kind == 0) s.schedule(&b, 0, s.now() + 11);
    };
    s.schedule(&a, 0, 0);
    s.schedule(&b, 0, 4);
    drive(s);
    return log.entries;
  };
  const auto whole = run([](Scheduler& s) { s.run_until(1000); });
  const auto pieces = run([](Scheduler& s) {
    for (Ticks step = 1; s.now() < 1000; step = step % 13 + 1) s.run_until(std::min<Ticks>(s.now() + step, 1000));
  });
  EXPECT_EQ(whole, pieces);
  EXPECT_GT(whole.size(), 200u);
}

TEST(Scheduler, ManySlotsFollowTheOrderOfASortedList) {
  // More (target, kind) slots than one word of pending bits holds, moved,
  // cancelled and re-armed at random: the run order is that of a plain
  // list sorted by time, then by the order each slot was first scheduled.
  Scheduler s;
  Log log;
  std::vector<std::unique_ptr<Target>> targets;
  for (int t = 0; t < 6; ++t) targets.push_back(std::make_unique<Target>(s, log, "t" + std::to_string(t) + "."));
  std::map<std::string, int> first_scheduled;
  std::map<std::string, Ticks> pending;
  std::mt19937 random(7);
  auto arm = [&](int t, int kind, Ticks when) {
    const std::string name = "t" + std::to_string(t) + "." + std::to_string(kind);
    if (when != kNever) first_scheduled.emplace(name, static_cast<int>(first_scheduled.size()));
    s.schedule(targets[static_cast<std::size_t>(t)].get(), kind, when);
    if (when == kNever) pending.erase(name); else pending[name] = when;
  };
  std::vector<std::pair<std::string, Ticks>> expected;
  for (int round = 0; round < 40; ++round) {
    for (int change = 0; change < 30; ++change) {
      const int t = static_cast<int>(random() % 6);
      const int kind = static_cast<int>(random() % vboard::EventTarget::kEventKinds);
      const bool cancel = random() % 5 == 0;
      arm(t, kind, cancel ? kNever : s.now() + random() % 50);
    }
    const Ticks until = s.now() + 20;
    // What the list says falls due, in its order.
    std::vector<std::tuple<Ticks, int, std::string>> due;
    for (const auto& [name, when] : pending)
      if (when <= until) due.emplace_back(when, first_scheduled.at(name), name);
    std::sort(due.begin(), due.end());
    for (const auto& [when, order, name] : due) {
      expected.emplace_back(name, when);
      pending.erase(name);
    }
    s.run_until(until);
  }
  EXPECT_EQ(log.entries, expected);
  EXPECT_GT(first_scheduled.size(), 64u);
  EXPECT_GT(expected.size(), 300u);
}

TEST(Scheduler, ActionsAndMovesOfTheFirstSlotKeepTheOrderOfASortedList) {
  // Slots moved earlier, later and cancelled while actions lead or tie with
  // them, at times close together so that ties are common: slots run by
  // time, then by first scheduling, before actions of the same time, which
  // run in the order they were added.
  Scheduler s;
  Log log;
  std::vector<std::unique_ptr<Target>> targets;
  for (int t = 0; t < 3; ++t) targets.push_back(std::make_unique<Target>(s, log, "t" + std::to_string(t) + "."));
  std::map<std::string, int> first_scheduled;
  std::map<std::string, Ticks> pending;
  std::vector<std::tuple<Ticks, int, std::string>> actions;  // time, order added, name
  std::mt19937 random(11);
  std::vector<std::pair<std::string, Ticks>> expected;
  int added = 0;
  for (int round = 0; round < 300; ++round) {
    for (int change = 0; change < 6; ++change) {
      if (random() % 4 == 0) {
        const Ticks when = s.now() + random() % 8;
        const std::string name = "x" + std::to_string(added);
        actions.emplace_back(when, added++, name);
        s.at(when, [&log, &s, name] { log.entries.emplace_back(name, s.now()); });
        continue;
      }
      const int t = static_cast<int>(random() % 3);
      const int kind = static_cast<int>(random() % 3);
      const std::string name = "t" + std::to_string(t) + "." + std::to_string(kind);
      const Ticks when = random() % 6 == 0 ? kNever : s.now() + random() % 8;
      if (when != kNever) first_scheduled.emplace(name, static_cast<int>(first_scheduled.size()));
      s.schedule(targets[static_cast<std::size_t>(t)].get(), kind, when);
      if (when == kNever) pending.erase(name); else pending[name] = when;
    }
    const Ticks until = s.now() + random() % 4;
    // Slots sort before actions at the same time: (time, 0, order) against (time, 1, order).
    std::vector<std::tuple<Ticks, int, int, std::string>> due;
    for (const auto& [name, when] : pending)
      if (when <= until) due.emplace_back(when, 0, first_scheduled.at(name), name);
    for (const auto& [when, order, name] : actions)
      if (when <= until) due.emplace_back(when, 1, order, name);
    std::sort(due.begin(), due.end());
    for (const auto& [when, is_action, order, name] : due) {
      expected.emplace_back(name, std::max(when, s.now()));
      pending.erase(name);
    }
    std::erase_if(actions, [&](const auto& a) { return std::get<0>(a) <= until; });
    s.run_until(until);
    EXPECT_EQ(s.next_event(), [&] {
      Ticks next = kNever;
      for (const auto& [name, when] : pending) next = std::min(next, when);
      for (const auto& a : actions) next = std::min(next, std::get<0>(a));
      return next;
    }());
  }
  EXPECT_EQ(log.entries, expected);
  EXPECT_GT(expected.size(), 500u);
}

// The caller's pause bounds the quiet time; an alert (an exception waiting
// to be taken) brings the bound to now and, lifted, gives the pause back,
// including one set meanwhile; clear() leaves the pause.
TEST(Scheduler, AnAlertBringsTheBoundToNowAndGivesThePauseBack) {
  Scheduler s;
  Log log;
  Target a(s, log, "a");
  s.schedule(&a, 0, 100);
  s.set_pause(50);
  EXPECT_EQ(s.quiet_until(), 50u);
  s.set_alert(true);
  s.set_pause(70);
  EXPECT_EQ(s.quiet_until(), 0u);
  s.set_alert(false);
  EXPECT_EQ(s.quiet_until(), 70u);
  s.set_pause(kNever);
  EXPECT_EQ(s.quiet_until(), 100u);
  s.set_pause(30);
  s.clear();
  s.set_alert(false);
  EXPECT_EQ(s.quiet_until(), 30u);
}

TEST(Clock, SecondsToTicksRoundToTheNearest) {
  EXPECT_EQ(vboard::ticks_of_seconds(0.001), vboard::ms(1));
  EXPECT_EQ(vboard::ticks_of_seconds(0.75 / 336e6), 1u) << "not truncated";
  EXPECT_EQ(vboard::ticks_of_seconds(2.3 / 336e6), 2u);
  EXPECT_EQ(vboard::to_seconds(vboard::ms(250)), 0.25);
}

TEST(Clock, RoundingToTicksIsTheLibrarysBitForBit) {
  // Halves go away from zero; the largest double below one half and the
  // neighbours of the halves are where a cheap rounding goes wrong.
  const double below_half = std::nextafter(0.5, 0.0);
  std::vector<double> cases{0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, below_half, -below_half,
                            std::nextafter(1.5, 0.0), std::nextafter(2.5, 3.0), 4503599627370495.5,
                            4503599627370497.0, 9007199254740993.0, -9007199254740993.0, 1e18, -1e18,
                            6720000.4999999991, 3.36e8 * 60.0 + 0.5};
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> spread(-1e7, 1e7);
  for (int i = 0; i < 100000; ++i) cases.push_back(spread(random));
  for (int i = 0; i < 1000; ++i) cases.push_back(std::floor(spread(random)) + 0.5);
  for (const double x : cases) EXPECT_EQ(vboard::round_half_away(x), std::llround(x)) << x;
}

}  // namespace
