// The event scheduler on its own: order, moving and cancelling, what is due
// "now", and that cutting a run into pieces changes nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vboard/scheduler.h"

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

}  // namespace
