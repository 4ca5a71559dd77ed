// The run program's command line as a new user tries it: bad input is
// refused with exit code 2 and a message that names the option.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "run_options.h"

namespace {

struct Outcome {
  std::optional<int> code;
  std::string err;
  run::RunOptions options;
};

Outcome parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vboard-run");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  Outcome o;
  std::ostringstream out, err;
  o.code = run::parse_run_options(static_cast<int>(argv.size()), argv.data(), o.options, out, err);
  o.err = err.str();
  return o;
}

TEST(RunOptions, BadInputIsRefusedNamingTheOption) {
  struct Case {
    std::vector<std::string> args;
    const char* names;
  } cases[] = {
      {{"-d", "abc"}, "--duration"},
      {{"-d", "inf"}, "--duration"},
      {{"-d", "1e12s"}, "--duration"},
      {{"-d", "1e20s"}, "--duration"},
      {{"-d", "0"}, "--duration"},
      {{"--flood", "0.2s:abc"}, "--flood"},
      {{"--flood", "0.2s"}, "--flood"},
      {{"-p", "up@5s", "-d", "1s"}, "--press up@5s"},
      {{"-p", "sideways@1s"}, "--press"},
      {{"--rotor-angle", "nan"}, "--rotor-angle"},
      {{"--rotor-speed", "inf"}, "--rotor-speed"},
      {{"--no-sensor", "--bad-parity"}, "--no-sensor excludes --bad-parity"},
      {{"--plot", "out/run.jpg"}, "--plot"},
      {{"--scenario", "/nonexistent.toml"}, "--scenario"},
      {{"--frobnicate"}, "--frobnicate"},
      {{"--gains", "1,2"}, "--gains"},
      {{"--gains", "0.3,nan,0"}, "--gains"},
      {{"--gains", "0.3,0.1,0,4"}, "--gains"},
      {{"--sweep", "0.2,0,0", "x,0,0"}, "--sweep"},
      {{"--sweep", "0.2,0,0", "--gains", "0.3,0,0"}, "--gains"},
      {{"--sweep", "0.2,0,0", "--pty"}, "--pty"},
      {{"--sweep", "0.2,0,0", "--csv", "a.csv"}, "--csv"},
      {{"--serve", "localhost:http"}, "--serve"},
      {{"-d", "1.5"}, "--duration: '1.5' has no unit: write 1.5s, 1.5ms or 1.5us"},
      {{"--rotor-angle", "1e15"}, "--rotor-angle: '1e15' is out of range: from -360 to 360 degrees"},
      {{"-v", "-q"}, "--verbose excludes --quiet"},
      // Outputs are checked before the run: nothing runs to be lost.
      {{"--csv", "/nonexistent/dir/x.csv"}, "--csv /nonexistent/dir/x.csv: the folder /nonexistent/dir does not exist"},
      {{"--plot", "/nonexistent/x.png"}, "--plot /nonexistent/x.png: the folder /nonexistent does not exist"},
      {{"--csv", "same.png", "--plot", "same.png"}, "--plot same.png: is also the output of --csv"},
      {{"--scenario", SCENARIO_DIR "/default.toml", "--csv", SCENARIO_DIR "/../scenarios/default.toml"},
       "is the file that --scenario reads"},
      {{"--vcd", "b.vcd", "--vcd-window", "1s:0.5s"}, "--vcd-window: '1s:0.5s': the window must end after it starts"},
      {{"--vcd-window", "0s:0.1s"}, "--vcd-window requires --vcd"},
      {{"--vcd", "b.vcd", "-d", "0.5s", "--vcd-window", "0.4s:0.6s"}, "--vcd-window 0.4s:0.6s: ends after the run's"},
      {{"--vcd", "b.vcd", "--sweep", "0.2,0,0"}, "--sweep excludes --vcd"},
      {{"--vcd", "b.vcd", "--bode"}, "--bode excludes --vcd"},
      {{"--compare", "a.csv"}, "--compare needs --plot"},
      {{"--compare", "a.csv", "-d", "1s", "--plot", "c.png"}, "it takes --plot only, not --duration"},
      {{"--compare", "=a.csv", "--plot", "c.png"}, "--compare: '=a.csv' is not LABEL=FILE"},
  };
  for (const auto& c : cases) {
    const auto o = parse(c.args);
    EXPECT_EQ(o.code, 2) << c.args[0] << " " << o.err;
    EXPECT_NE(o.err.find(c.names), std::string::npos) << "stderr: " << o.err;
    EXPECT_EQ(o.err.find("stod"), std::string::npos) << o.err;
  }
}

TEST(RunOptions, GoodInputBecomesTheScenario) {
  const auto o = parse({"-d", "2s", "-p", "up@500ms", "-p", "down@1.2s", "--hold", "120ms", "--rotor-angle", "300",
                        "--bad-parity", "--flood", "0.2s:1s", "--crystal-fails", "-q"});
  ASSERT_FALSE(o.code) << o.err;
  const auto& s = o.options.scenario;
  EXPECT_EQ(s.duration_s, 2.0);
  ASSERT_EQ(s.presses.size(), 2u);
  EXPECT_EQ(s.presses[1].key, run::KeyName::kDown);
  EXPECT_DOUBLE_EQ(s.presses[1].at_s, 1.2);
  EXPECT_DOUBLE_EQ(s.presses[1].hold_s, 0.12);
  EXPECT_EQ(s.start_angle_deg, 300.0);
  ASSERT_EQ(s.faults.size(), 1u);
  EXPECT_EQ(s.faults[0].kind, run::FaultKind::kBadParity);
  ASSERT_EQ(s.floods.size(), 1u);
  EXPECT_DOUBLE_EQ(s.floods[0].length_s, 1.0);
  EXPECT_TRUE(s.crystal_fails);
  EXPECT_TRUE(o.options.quiet);
  EXPECT_TRUE(o.options.warnings.empty());
  EXPECT_EQ(parse({"--help"}).code, 0);
}

TEST(RunOptions, GainsSweepsAndPacedRuns) {
  const auto gains = parse({"--gains", "0.5,0,-0.1e-1"});
  ASSERT_FALSE(gains.code) << gains.err;
  EXPECT_EQ(gains.options.scenario.gains.kp, 0.5);
  EXPECT_EQ(gains.options.scenario.gains.ki, 0.0);
  EXPECT_EQ(gains.options.scenario.gains.kd, -0.01);
  const auto sweep = parse({"--sweep", "0.2,0.04,0.06", "0.4,0.04,0.06", "--sweep", "1,0,0"});
  ASSERT_FALSE(sweep.code) << sweep.err;
  ASSERT_EQ(sweep.options.sweep.size(), 3u);
  EXPECT_EQ(sweep.options.sweep[1].kp, 0.4);
  EXPECT_FALSE(sweep.options.realtime);

  // A pty or a live page is paced; without a duration it runs until
  // interrupted, and a press may then come at any time.
  const auto pty = parse({"--pty", "-p", "up@30s"});
  ASSERT_FALSE(pty.code) << pty.err;
  EXPECT_TRUE(pty.options.realtime);
  EXPECT_TRUE(pty.options.until_interrupted);
  const auto timed = parse({"--serve", "0.0.0.0:8080", "-d", "2s"});
  ASSERT_FALSE(timed.code) << timed.err;
  EXPECT_TRUE(timed.options.realtime);
  EXPECT_FALSE(timed.options.until_interrupted);
  EXPECT_EQ(timed.options.scenario.duration_s, 2.0);
  EXPECT_FALSE(parse({"-p", "up@30s"}).options.until_interrupted);
}

TEST(RunOptions, HoldBelowTheDebounceWarns) {
  const auto o = parse({"-p", "up@0.5s", "--hold", "0ms"});
  ASSERT_FALSE(o.code) << o.err;
  ASSERT_EQ(o.options.warnings.size(), 1u);
  EXPECT_NE(o.options.warnings[0].find("--hold"), std::string::npos);
  EXPECT_NE(o.options.warnings[0].find("will not register"), std::string::npos);
}

// Accepted, but said at the start: presses that merge into one step,
// positive feedback, a series that cannot hold the whole run.
TEST(RunOptions, LikelyMistakesWarnBeforeTheRun) {
  const auto o = parse({"-p", "up@1s", "-p", "up@1s", "-p", "down@1s", "--gains=-1,0,0", "-d", "100000s"});
  ASSERT_FALSE(o.code) << o.err;
  const auto& w = o.options.warnings;
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0].find("--press up@1s: the up key is pressed at 1 s while the press at 1 s"), 0u) << w[0];
  EXPECT_NE(w[1].find("--gains -1,0,0: negative gain (Kp -1): positive feedback"), std::string::npos) << w[1];
  EXPECT_NE(w[2].find("the series keeps the first 1000000 only (to 1000 s)"), std::string::npos) << w[2];
  EXPECT_TRUE(parse({"-p", "up@1s", "-p", "up@1.1s"}).options.warnings.empty()) << "released and settled: two steps";
  // The default sample interval follows a run shorter than it.
  const auto short_run = parse({"-d", "500us"});
  ASSERT_FALSE(short_run.code) << short_run.err;
  EXPECT_EQ(short_run.options.scenario.sample_interval_s, 500e-6);
}

TEST(RunOptions, ScenarioFileWithOptionsOnTop) {
  const std::string file = std::string(SCENARIO_DIR) + "/default.toml";
  const auto o = parse({"--scenario", file, "-p", "up@3.5s"});
  ASSERT_FALSE(o.code) << o.err;
  EXPECT_EQ(o.options.scenario.presses.size(), 4u);
  // A duration that cuts off the file's presses is refused, not silently shortened.
  const auto cut = parse({"--scenario", file, "-d", "1.5s"});
  EXPECT_EQ(cut.code, 2);
  EXPECT_NE(cut.err.find("--duration 1.5 s ends the run before the scenario's key press at 2 s"), std::string::npos)
      << cut.err;
}

// The window of the dump without --vcd-window: from 1 s, or the end of a short run.
TEST(RunOptions, VcdWindowDefaultsWithinTheRun) {
  const auto long_run = parse({"--vcd", "b.vcd", "-d", "4s"});
  ASSERT_FALSE(long_run.code) << long_run.err;
  EXPECT_EQ(long_run.options.vcd_from_s, 1.0);
  EXPECT_DOUBLE_EQ(long_run.options.vcd_to_s, 1.1);
  const auto short_run = parse({"--vcd", "b.vcd", "-d", "50ms"});
  EXPECT_EQ(short_run.options.vcd_from_s, 0.0);
  EXPECT_EQ(short_run.options.vcd_to_s, 0.05);
}

// --compare takes only CSVs that vboard-run wrote, labelled or not, and
// never draws over one of them.
TEST(RunOptions, CompareRefusesWhatIsNotARunsCsv) {
  const auto dir = std::filesystem::temp_directory_path() / "run_compare_test";
  std::filesystem::create_directories(dir);
  auto file = [&](const std::string& name, const std::string& text) {
    std::ofstream((dir / name).string()) << text;
    return (dir / name).string();
  };
  const std::string header = "t_s,setpoint_unwrapped_deg,telemetry_unwrapped_deg,error_deg\n";
  const std::string good = file("good.csv", header + "0.001,0,0.5,-0.5\n0.002,100,1,99\n");
  const std::string png_named = file("run.png", header + "0.001,0,0,0\n");
  const std::pair<std::string, const char*> refused[] = {
      {file("readme.csv", "# a title\n"), "the header's '# a title' is not a run column"},
      {file("few.csv", "t_s,setpoint_unwrapped_deg\n0,0\n"), "the header has no column telemetry_unwrapped_deg"},
      {file("short.csv", header + "0.001,0,0\n"), "line 2: 3 fields where the header has 4"},
      {file("text.csv", header + "0.001,0,abc,0\n"), "line 2: 'abc' in telemetry_unwrapped_deg is not a number"},
      {file("nan.csv", header + "0.001,0,nan,0\n"), "'nan' in telemetry_unwrapped_deg is not a number"},
      {file("back.csv", header + "0.002,0,0,0\n0.001,0,0,0\n"), "line 3: the time does not grow"},
      {file("empty.csv", header), "no samples"},
      {dir.string(), "not a regular file"},
  };
  for (const auto& [path, why] : refused) {
    const auto o = parse({"--compare", good, path, "--plot", (dir / "c.png").string()});
    EXPECT_EQ(o.code, 2) << path;
    EXPECT_NE(o.err.find(path + ": not a run's CSV"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(why), std::string::npos) << o.err;
  }
  EXPECT_NE(parse({"--compare", png_named, "--plot", png_named}).err.find("is the file that --compare reads"),
            std::string::npos);

  const std::string image = (dir / "c.svg").string();
  const auto o = parse({"--compare", "specified=" + good, good, "--plot", image, "-q"});
  ASSERT_FALSE(o.code) << o.err;
  ASSERT_EQ(o.options.compare.size(), 2u);
  EXPECT_EQ(o.options.compare[0].label, "specified");
  EXPECT_EQ(o.options.compare[1].label, good);
  std::filesystem::remove(image);
  run::write_compare(image, o.options.compare);
  std::ifstream drawn(image);
  const std::string svg((std::istreambuf_iterator<char>(drawn)), std::istreambuf_iterator<char>());
  EXPECT_NE(svg.find(">specified<"), std::string::npos);
}

// The bench's command line: the run's length, --step and --scripted-rotor.
TEST(BenchOptions, TakesPositiveTimesAndTheRotorFlag) {
  auto bench = [](std::vector<std::string> args, run::BenchOptions& o, std::string& err) {
    args.insert(args.begin(), "vboard-bench");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, e;
    o = {};
    const auto code = run::parse_bench_options(static_cast<int>(argv.size()), argv.data(), o, out, e);
    err = e.str();
    return code;
  };
  run::BenchOptions o;
  std::string err;
  EXPECT_FALSE(bench({}, o, err));
  EXPECT_EQ(o.seconds, 60.0);
  EXPECT_EQ(o.step_seconds, 0.0);  // no stepped run
  EXPECT_FALSE(o.scripted_rotor);  // the motor under the sensor
  EXPECT_FALSE(bench({"5s", "--step", "1ms", "--scripted-rotor"}, o, err));
  EXPECT_EQ(o.seconds, 5.0);
  EXPECT_DOUBLE_EQ(o.step_seconds, 0.001);
  EXPECT_TRUE(o.scripted_rotor);
  for (const char* bad : {"abc", "-5s", "0s", "1e20s", "5"}) {
    EXPECT_EQ(bench({bad}, o, err), 2) << bad;
    EXPECT_NE(err.find("seconds"), std::string::npos) << bad << ": " << err;
  }
  for (const char* bad : {"abc", "-1ms", "0ms", "1"}) {
    EXPECT_EQ(bench({"5s", "--step", bad}, o, err), 2) << bad;
    EXPECT_NE(err.find("--step"), std::string::npos) << bad << ": " << err;
  }
}

}  // namespace
