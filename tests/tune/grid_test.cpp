// The candidates: each axis's rule, the fixed order, and bad input named
// by its option.
#include <gtest/gtest.h>

#include <functional>

#include "refine.h"
#include "result_file.h"

namespace {

TEST(Grid, AxesAndOrder) {
  tune::GridSpec s;
  s.kp = {0.02, 2.0};
  s.ki = {0.0, 0.4};
  s.kd = {0.06, 0.06};
  tune::parse_points("3,4,5", s);
  EXPECT_EQ(tune::axis(s, 0), (std::vector<double>{0.02, 0.2, 2.0}));
  // From 0: the point 0, then log-spaced from two decades below the top.
  EXPECT_EQ(tune::axis(s, 1), (std::vector<double>{0.0, 0.004, 0.04, 0.4}));
  EXPECT_EQ(tune::axis(s, 2), (std::vector<double>{0.06}));  // held: its points do not count
  const auto g = tune::grid(s);
  ASSERT_EQ(g.size(), 12u);
  EXPECT_EQ(g[(1 * 4 + 2) * 1 + 0], (tune::Gains{0.2, 0.04, 0.06}));
  EXPECT_EQ(g.back(), (tune::Gains{2.0, 0.4, 0.06}));

  // The GridSpec as results files carry it gives the same grid.
  const auto back = tune::parse_grid_text(tune::grid_text(s));
  EXPECT_EQ(tune::grid_text(back), tune::grid_text(s));
  EXPECT_EQ(tune::grid(back), g);

  // Refinement's coordinates: 0 and the bounds map onto the box's edges.
  const tune::LogSpace space(s);
  ASSERT_EQ(space.dims(), 2u);
  const auto x = space.to_x({2.0, 0.0, 0.06});
  EXPECT_EQ(x[0], space.upper()[0]);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_EQ(space.to_gains(x), (tune::Gains{2.0, 0.0, 0.06}));
  EXPECT_NEAR(space.to_gains(space.to_x({0.3, 0.01, 0.06})).ki, 0.01, 1e-15);
}

TEST(Grid, BadInputNamesTheOption) {
  const auto message = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const tune::TuneError& e) {
      return e.what();
    }
    return "accepted";
  };
  const auto spec = [](const char* points, double decades = 2.0) {
    tune::GridSpec s;
    s.decades = decades;
    tune::parse_points(points, s);
    tune::check_grid(s);
  };
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { tune::parse_range("2:1", "--kp"); }, "--kp: '2:1': the lower bound is above"},
      {[] { tune::parse_range("nan:1", "--ki"); }, "--ki: 'nan:1': 'nan' is not a finite number"},
      {[] { tune::parse_range("0:inf", "--kd"); }, "--kd: '0:inf'"},
      {[] { tune::parse_range("-1:1", "--kp"); }, "--kp: '-1:1': a gain must not be negative"},
      {[] { tune::parse_range("1e7", "--kp"); }, "--kp: '1e7': a gain above"},
      {[] { tune::parse_range("fast", "--kp"); }, "--kp: 'fast'"},
      {[=] { spec("0"); }, "--points: 0 points give an empty grid"},
      {[=] { spec("6,0,6"); }, "--points: 0 points give an empty grid"},
      {[=] { spec("1"); }, "--points: a gain with a range (--kp) needs at least 2 points"},
      {[=] { spec("2,3"); }, "--points: '2,3' is not N"},
      {[=] { spec("101"); }, "--points: the grid would have more than"},
      {[=] { spec("6", 0.0); }, "--decades"},
      {[] { tune::parse_shard("0/4"); }, "--shard: '0/4': K must be from 1 to N"},
      {[] { tune::parse_shard("5/4"); }, "--shard: '5/4': K must be"},
      {[] { tune::parse_shard("2"); }, "--shard: '2' is not K/N"},
      {[] { tune::Weights w; tune::parse_weights("iae=-1", w); }, "--weights: 'iae=-1'"},
      {[] { tune::Weights w; tune::parse_weights("speed=1", w); }, "--weights: 'speed=1'"},
      {[] { tune::Weights w; tune::parse_weights("max_clamp_share=2", w); }, "must be a number from 0 to 1"},
      {[] { tune::parse_method("newton"); }, "--method: 'newton'"},
  };
  for (const auto& [f, expected] : cases) EXPECT_NE(message(f).find(expected), std::string::npos) << message(f);
}

}  // namespace
