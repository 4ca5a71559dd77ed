// Scoring and ranking, result lines that lose nothing, and results files
// that merge only when they are one grid's complete shards.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "result_file.h"

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

tune::Evaluation measured(double iae, double clamp = 0.0, unsigned failures = 0) {
  tune::Evaluation e;
  e.parts = {iae, 10.0, 0.5, 0.2, 2.0};
  e.clamp_share = clamp;
  e.failures = failures;
  return e;
}

TEST(Scoring, CostConstraintsAndRank) {
  const tune::Weights w;
  const auto ok = tune::score(measured(20.0), w);
  EXPECT_EQ(ok.cost, 20.0 + 0.1 * 10.0 + 0.5 + 10.0 * 0.2 + 0.5 * 2.0);
  EXPECT_FALSE(ok.failed());
  EXPECT_EQ(tune::score(measured(20.0, 0.3), w).failures, tune::kClamped);
  EXPECT_EQ(tune::score(measured(kNan), w).failures, tune::kBadTrial);
  EXPECT_EQ(tune::score(measured(20.0, 1.5), w).failures, tune::kBadTrial | tune::kClamped);

  // A failing candidate ranks after every passing one, however cheap; a
  // cost that is not a number ranks last.
  const auto cheap_fail = tune::score(measured(1.0, 0.0, tune::kOscillating), w);
  const auto dear = tune::score(measured(1e6), w);
  EXPECT_TRUE(tune::ranks_before(dear, cheap_fail));
  EXPECT_GT(tune::minimised_value(cheap_fail), tune::minimised_value(dear));
  EXPECT_TRUE(tune::ranks_before(cheap_fail, tune::score(measured(kNan, 0.0, tune::kBadTrial), w)));

  // The worst case over variations: the dearest one's figures, and any
  // variation's failure fails the candidate.
  const auto robust = tune::worst_case(
      [](const tune::Gains&, std::size_t v) { return measured(10.0 * static_cast<double>(v + 1)); }, 3, w);
  EXPECT_EQ(robust({}).parts.iae_deg_s, 30.0);
  const tune::Evaluation mixed[] = {dear, cheap_fail, ok};
  const auto worst = tune::worst_of(mixed);
  EXPECT_EQ(worst.failures, tune::kOscillating);
  EXPECT_EQ(worst.parts.iae_deg_s, 1.0);
}

TEST(ResultLine, EveryNumberReadsBackExactly) {
  tune::Result r{41, {1.0 / 3.0, 0.0, 1e-300}, tune::score(measured(std::sqrt(2.0), 0.3, tune::kLostControl), {})};
  r.eval.parts.ring_deg = kNan;
  const auto back = tune::parse_result_line(tune::result_line(r));
  EXPECT_EQ(tune::result_line(back), tune::result_line(r));
  EXPECT_EQ(back.gains, r.gains);
  EXPECT_EQ(back.eval.parts.iae_deg_s, std::sqrt(2.0));
  EXPECT_TRUE(std::isnan(back.eval.parts.ring_deg));
  EXPECT_EQ(back.eval.failures, tune::kLostControl | tune::kClamped);
  EXPECT_THROW(tune::parse_result_line("1\t2\t3"), std::invalid_argument);
  EXPECT_THROW(tune::parse_result_line(tune::result_line(r) + "x"), std::invalid_argument);
}

// The shards of a 2 x 2 x 3 grid, each candidate's cost its index.
std::vector<tune::ResultFile> shards(std::size_t n) {
  tune::GridSpec g;
  g.kp = {0.1, 1.0};
  g.ki = {0.0, 0.1};
  tune::parse_points("2,2,3", g);
  const auto all = tune::grid(g);
  std::vector<tune::ResultFile> files;
  for (std::size_t k = 1; k <= n; ++k) {
    tune::ResultFile f{{"bowl", g, {}, {k, n}}, {}};
    for (std::size_t i : tune::shard_indices(all.size(), f.header.shard)) {
      f.results.push_back({i, all[i], tune::score(measured(static_cast<double>(i)), {})});
    }
    files.push_back(f);
  }
  return files;
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const tune::TuneError& e) {
    return e.what();
  }
  return "accepted";
}

TEST(ResultFiles, ShardsMergeIntoTheWholeAndNothingElse) {
  const auto whole = shards(1)[0];
  auto parts = shards(3);
  for (auto& p : parts) p = tune::parse_results(tune::results_text(p), "s.tsv");
  EXPECT_EQ(tune::results_text(tune::merge_results({parts[2], parts[0], parts[1]}, {})), tune::results_text(whole));

  EXPECT_NE(error_of([&] { tune::merge_results({parts[0], parts[2]}, {"a", "b"}); }).find("shard 2/3 is missing"),
            std::string::npos);
  EXPECT_NE(error_of([&] { tune::merge_results({parts[0], parts[1], parts[1]}, {"a", "b", "c"}); }).find("c: shard 2/3 given twice"),
            std::string::npos);
  auto other = parts[1];
  other.header.weights.ring = 2.0;
  EXPECT_NE(error_of([&] { tune::merge_results({parts[0], other, parts[2]}, {"a", "b", "c"}); }).find("b: another objective"),
            std::string::npos);

  // A file that lost its last line, a line from another shard, gains that
  // are not the grid's: each is refused with the file and line.
  const std::string text = tune::results_text(parts[0]);
  const std::string cut = text.substr(0, text.rfind('\n', text.size() - 2) + 1);
  EXPECT_NE(error_of([&] { tune::parse_results(cut, "s1.tsv"); }).find("s1.tsv: 3 of shard 1/3's 4 candidates"),
            std::string::npos);
  auto moved = parts[0];
  moved.results[1] = parts[1].results[1];
  EXPECT_NE(error_of([&] { tune::parse_results(tune::results_text(moved), "s1.tsv"); }).find("s1.tsv:8: candidate 4 where"),
            std::string::npos);
  auto changed = parts[0];
  changed.results[0].gains.kd = 0.5;
  EXPECT_NE(error_of([&] { tune::parse_results(tune::results_text(changed), "s1.tsv"); }).find("s1.tsv:7: the gains"),
            std::string::npos);
  EXPECT_NE(error_of([&] { tune::parse_results("kp,ki,kd\n", "x.csv"); }).find("x.csv:1: not a results file"),
            std::string::npos);
}

}  // namespace
