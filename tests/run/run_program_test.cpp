// The run, soak and bench programs as a user meets them: what they write,
// how they end, and what their exit status says.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_process::Child;
using test_process::read_file;
using test_process::work_dir;

struct Ran {
  std::optional<int> code;
  std::string out, err;
};

Ran run(const std::vector<std::string>& argv, const fs::path& dir) {
  Child c(argv, dir / "out.txt", dir / "err.txt");
  Ran r;
  r.code = c.wait(60s);
  r.out = read_file(dir / "out.txt");
  r.err = read_file(dir / "err.txt");
  return r;
}

// An output that names the scenario is refused before anything is written;
// a CSV that cannot be written says why.
TEST(RunProgram, OutputsNeverDestroyTheScenarioAndWriteErrorsSayWhy) {
  const fs::path dir = work_dir();
  fs::copy_file(fs::path(SCENARIO_DIR) / "default.toml", dir / "copy.toml");
  const std::string before = read_file(dir / "copy.toml");
  auto r = run({VBOARD_RUN, "--scenario", (dir / "copy.toml").string(), "--csv", (dir / "./copy.toml").string()}, dir);
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("is the file that --scenario reads"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir / "copy.toml"), before);

  r = run({VBOARD_RUN, "-q", "-d", "300ms", "--csv", "/dev/full"}, dir);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("--csv /dev/full: write failed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

// A load the motor cannot hold spins it up past its no-load speed: a loss
// of control, with its own exit status. A cut sensor wire leaves the
// firmware's angle behind the shaft, and the summary says so.
TEST(RunProgram, LossOfControlAndABlindFirmwareAreSaid) {
  const fs::path dir = work_dir();
  std::ofstream(dir / "runaway.toml") << "duration = \"2s\"\n[[load]]\nat = \"0.5s\"\ntorque_nm = 0.25\n";
  auto r = run({VBOARD_RUN, "-q", "--scenario", (dir / "runaway.toml").string()}, dir);
  EXPECT_EQ(r.code, 3) << r.out << r.err;
  EXPECT_NE(r.out.find("loss of control: shaft speed"), std::string::npos) << r.out;

  r = run({VBOARD_RUN, "-q", "--scenario", std::string(SCENARIO_DIR) + "/cut-sensor-wire.toml"}, dir);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("absolute angle 99.81 deg (firmware), shaft 126.87 deg"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the firmware's angle is -27.06 deg off the shaft's"), std::string::npos) << r.out;
}

// SIGTERM ends each long-running program within a second, with what it
// has done so far written out.
TEST(RunProgram, LongRunsEndWithinASecondOnSigterm) {
  const fs::path dir = work_dir();
  const std::string csv = (dir / "long.csv").string();
  // Samples every 10 ms keep the CSV that the stop writes small: the
  // sanitizer build writes each row many times slower than the real one.
  const std::string scenario = (dir / "long.toml").string();
  std::ofstream(scenario) << "duration = \"100000s\"\nsample_interval = \"10ms\"\n";
  struct Case {
    std::vector<std::string> argv;
    const char* says;
  } cases[] = {
      {{VBOARD_RUN, "-q", "--scenario", scenario, "--csv", csv}, "interrupted"},
      {{VBOARD_SOAK, "--hours", "100"}, "interrupted after"},
      {{VBOARD_BENCH, "100000s"}, "interrupted"},
  };
  for (const auto& c : cases) {
    Child child(c.argv, dir / "out.txt", dir / "err.txt");
    ASSERT_TRUE(child.started());
    std::this_thread::sleep_for(1500ms);
    child.signal(SIGTERM);
    const auto t0 = std::chrono::steady_clock::now();
    const auto code = child.wait(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << c.argv[0];
    EXPECT_EQ(code, 0) << c.argv[0] << ": " << read_file(dir / "err.txt");
    EXPECT_NE(read_file(dir / "out.txt").find(c.says), std::string::npos) << c.argv[0] << ": " << read_file(dir / "out.txt");
  }
  std::ifstream in(csv);
  std::string header, row;
  EXPECT_TRUE(std::getline(in, header) && std::getline(in, row)) << "the run's samples so far are written";
}

}  // namespace
