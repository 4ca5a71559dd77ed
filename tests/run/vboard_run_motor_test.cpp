// The run program puts a scenario's motor and load on the board: the
// preset with its fields overridden, and the load-torque steps at their
// times, seen in the time series it writes.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_process::Child;
using test_process::read_file;
using test_process::work_dir;

struct Csv {
  std::vector<std::string> names;
  std::vector<std::vector<double>> rows;  // empty fields as NaN

  std::size_t column(const std::string& name) const {
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return i;
    ADD_FAILURE() << "no column " << name;
    return 0;
  }
  // Mean of a column over the rows with t_s in [from, to).
  double mean(const std::string& name, double from, double to) const {
    const std::size_t c = column(name);
    double sum = 0.0;
    int n = 0;
    for (const auto& r : rows) {
      if (r[0] < from || r[0] >= to || std::isnan(r[c])) continue;
      sum += r[c];
      ++n;
    }
    return n ? sum / n : NAN;
  }
};

Csv read_csv(const fs::path& path) {
  Csv csv;
  std::istringstream in(read_file(path));
  std::string line;
  std::getline(in, line);
  std::istringstream head(line);
  for (std::string name; std::getline(head, name, ',');) csv.names.push_back(name);
  while (std::getline(in, line)) {
    std::vector<double> row;
    std::size_t at = 0;
    for (;;) {
      const auto end = line.find(',', at);
      const std::string field = line.substr(at, end - at);
      row.push_back(field.empty() ? NAN : std::stod(field));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    csv.rows.push_back(row);
  }
  return csv;
}

// The loop holds the shaft against a load that comes on at 0.4 s: the
// motor's torque turns to cancel it, the shaft is pushed off and brought
// back, and the current is the torque over the overridden torque constant
// (twice the preset's).
TEST(RunMotor, ScenarioMotorAndLoadStepReachTheBoard) {
  const fs::path dir = work_dir();
  constexpr double kLoadNm = 0.06;
  constexpr double kTorqueConstant = 0.16;
  std::ofstream(dir / "load.toml") << "duration = \"1.5s\"\n"
                                      "[motor]\npreset = \"gimbal\"\ntorque_constant_nm_per_a = 0.16\n"
                                      "[[load]]\nat = \"0.4s\"\ntorque_nm = 0.06\n";
  Child run({VBOARD_RUN, "-q", "--scenario", (dir / "load.toml").string(), "--csv", (dir / "run.csv").string()},
            dir / "run.out", dir / "run.err");
  ASSERT_EQ(run.wait(120s), 0) << read_file(dir / "run.out") << run.stderr_text();
  const Csv csv = read_csv(dir / "run.csv");
  ASSERT_GT(csv.rows.size(), 1400u);

  // Before the load the motor holds with no more than friction's worth of
  // torque; at the end it holds the whole load, against it.
  EXPECT_LT(std::abs(csv.mean("torque_nm", 0.2, 0.4)), 0.008);
  const double held = csv.mean("torque_nm", 1.3, 1.5);
  EXPECT_NEAR(held, -kLoadNm, 0.007) << "the loop's torque cancels the load";

  // The load turns the shaft in the motor's positive direction, which the
  // sensor counts down; the integral term brings it back.
  const double before = csv.mean("shaft_deg", 0.3, 0.4);
  double lowest = before;
  const std::size_t shaft = csv.column("shaft_deg");
  for (const auto& r : csv.rows)
    if (r[0] >= 0.4 && r[0] < 0.8) lowest = std::min(lowest, r[shaft]);
  EXPECT_LT(lowest, before - 1.0) << "the load pushes the shaft off its setpoint";
  EXPECT_NEAR(csv.mean("shaft_deg", 1.4, 1.5), before, 1.0) << "and the loop brings it back";

  // Torque over current: the overridden torque constant (the current
  // vector's length from the three phase currents).
  const auto& last = csv.rows.back();
  const double ia = last[csv.column("ia_a")], ib = last[csv.column("ib_a")], ic = last[csv.column("ic_a")];
  const double i = std::sqrt(2.0 / 3.0 * (ia * ia + ib * ib + ic * ic));
  EXPECT_NEAR(std::abs(last[csv.column("torque_nm")]) / i, kTorqueConstant, 0.01);
}

// A motor of 5 pole pairs under firmware that commutates for 7: the loop
// pushes the rotor the wrong way part of each turn and it ends stalled under
// full drive. The run stops there and says so, with the exit status of a
// loss of control, 3.
TEST(RunMotor, RunStopsAtLossOfControl) {
  const fs::path dir = work_dir();
  std::ofstream(dir / "poles.toml") << "duration = \"5s\"\n[motor]\npole_pairs = 5\n"
                                       "[[press]]\nkey = \"up\"\nat = \"0.5s\"\n";
  Child run({VBOARD_RUN, "-q", "--scenario", (dir / "poles.toml").string()}, dir / "run.out", dir / "run.err");
  ASSERT_EQ(run.wait(120s), 3) << run.stderr_text();
  const std::string out = read_file(dir / "run.out");
  EXPECT_NE(out.find("  loss of control: "), std::string::npos) << out;
  EXPECT_NE(out.find("the run stopped at the end of that 100 ms slice"), std::string::npos) << out;
  const auto at = out.find("summary: ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_LT(std::stod(out.substr(at + 9)), 4000.0) << "stopped before the scenario's 5 s:\n" << out;
}

}  // namespace
