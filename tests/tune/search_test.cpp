// The search in worker processes: the same outcome for any number of
// workers, a crashing trial costs only its candidate, and a stop signal
// ends the run at once with no worker left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "search.h"
#include "stop_signal.h"
#include "workers.h"

namespace {

tune::Evaluation bowl(const tune::Gains& g) {
  const double a = std::log(g.kp / 0.4), b = std::log((g.ki + 0.002) / 0.03), c = std::log((g.kd + 0.005) / 0.08);
  tune::Evaluation e;
  e.parts = {20.0 + 15.0 * a * a + 4.0 * b * b + 6.0 * c * c, 8.0 * std::exp(b - c), 0.1, 0.1, g.kp};
  if (g.kp > 1.5 && g.kd < 0.05) e.failures = tune::kLostControl;
  return e;
}

tune::Settings settings(std::size_t jobs) {
  tune::Settings s;
  s.grid.kp = {0.05, 3.0};
  s.grid.ki = {0.0, 0.5};
  s.grid.kd = {0.0, 0.4};
  tune::parse_points("4", s.grid);
  s.refine.starts = 3;
  s.refine.max_trials = 30;
  s.jobs = jobs;
  return s;
}

bool no_child_left() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(Search, SameOutcomeForAnyNumberOfWorkers) {
  const tune::StopOnSignals stop;
  const auto one = tune::search(settings(1), bowl);
  const auto three = tune::search(settings(3), bowl);
  const auto table = tune::ranked_table(tune::ranked(one), 64);
  EXPECT_EQ(tune::ranked_table(tune::ranked(three), 64), table);
  EXPECT_EQ(tune::results_text(tune::results_of(settings(1), one)),
            tune::results_text(tune::results_of(settings(3), three)));
  EXPECT_EQ(one.grid.size(), 64u);
  EXPECT_EQ(one.stopped_by, 0);
  EXPECT_TRUE(no_child_left());

  // Refinement beats the grid's best within the bounds, and the outcome is
  // the same when the method draws random numbers.
  const auto rows = tune::ranked(one);
  ASSERT_TRUE(rows[0].refined) << table;
  EXPECT_LT(rows[0].eval.cost, one.grid[rows[0].grid_index].eval.cost);
  EXPECT_LE(one.trials, 64u + 3u * 30u);
  auto praxis = settings(1);
  praxis.refine.method = tune::Method::kPraxis;
  const auto p1 = tune::search(praxis, bowl);
  praxis.jobs = 2;
  EXPECT_EQ(tune::ranked_table(tune::ranked(tune::search(praxis, bowl)), 64), tune::ranked_table(tune::ranked(p1), 64));
}

TEST(Search, ACrashingTrialCostsOnlyItsCandidate) {
  const tune::StopOnSignals stop;
  auto s = settings(2);
  s.refine.starts = 0;
  const auto out = tune::search(s, [](const tune::Gains& g) {
    if (g.kp == 3.0 && g.ki == 0.0 && g.kd == 0.0) raise(SIGKILL);  // candidate 48
    if (g.kp == 0.05 && g.ki == 0.5) throw std::runtime_error("no such motor");
    return bowl(g);
  });
  ASSERT_EQ(out.grid.size(), 64u);
  for (const auto& r : out.grid) {
    const bool bad = r.index == 48 || (r.gains.kp == 0.05 && r.gains.ki == 0.5);
    EXPECT_EQ(r.eval.failures == tune::kBadTrial, bad) << r.index;
    if (!bad) {
      EXPECT_EQ(tune::result_line(r), tune::result_line({r.index, r.gains, tune::score(bowl(r.gains), {})}));
    }
  }
  EXPECT_TRUE(no_child_left());
}

TEST(Search, AStopSignalEndsTheRunAtOnce) {
  const tune::StopOnSignals stop;
  const auto begin = std::chrono::steady_clock::now();
  // Candidates 0 to 11 are quick; 12 asks the caller to stop, as Ctrl-C
  // would, and every trial from 12 on would take a minute.
  const auto out = tune::search(settings(2), [](const tune::Gains& g) {
    if (g.kp == 0.05 && g.ki == 0.5 && g.kd == 0.0) kill(getppid(), SIGTERM);
    if (g.kp > 0.05 || g.ki == 0.5) std::this_thread::sleep_for(std::chrono::seconds(60));
    return bowl(g);
  });
  EXPECT_EQ(out.stopped_by, SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_GE(out.grid.size(), 10u);  // what was done is kept
  EXPECT_LE(out.grid.size(), 12u);
  EXPECT_TRUE(out.refined.empty());
  EXPECT_TRUE(no_child_left());

  // The run programs' stop handlers stop the search as well.
  EXPECT_EXIT(
      {
        const tune::StopOnSignals fresh;  // forgets the stop above
        run::install_stop_signals();
        raise(SIGTERM);
        std::exit(tune::search(settings(1), bowl).stopped_by);
      },
      testing::ExitedWithCode(SIGINT), "");
}

}  // namespace
