// The command line of the run program. Every option is checked before
// anything runs; a bad one is named in the error and the program exits
// with 2.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "compare_plot.h"
#include "scenario.h"

namespace run {

struct RunOptions {
  // What runs: the scenario file if one is given, with the options on top.
  Scenario scenario;
  std::string scenario_path;
  double rotor_speed_dps = 0.0;  // the scripted rotor's speed
  std::string csv_path;
  std::string plot_path;
  bool quiet = false;
  bool verbose = false;    // every event, frame by frame
  bool no_frames = false;  // with verbose: leave the frame lines out
  // Paced to the wall clock: virtual time never runs ahead of real time.
  bool realtime = false;
  bool pty = false;            // USART3 on a pseudo-terminal (paced)
  std::string serve;           // live page on [ADDR:]PORT (paced); empty: none
  bool until_interrupted = false;  // paced, and no duration given anywhere
  // The loop's frequency response instead of a run (--bode or a [bode]
  // table): the scenario's gains are the ones analysed, csv_path and
  // plot_path take the points and the Bode plot.
  bool bode = false;
  // One run from reset per setting, one row of figures each.
  std::vector<Gains> sweep;
  // Earlier runs' CSVs drawn over one another into plot_path; nothing runs.
  std::vector<CompareRun> compare;
  // A Value Change Dump of the board's pins from vcd_from_s to vcd_to_s.
  std::string vcd_path;
  double vcd_from_s = 0.0, vcd_to_s = 0.0;
  std::vector<std::string> warnings;  // printed before the run
};

// The dump's window without --vcd-window: 100 ms from 1 s, or the run's
// last 100 ms (all of a shorter run) when it ends before 1.1 s.
inline constexpr double kVcdFromS = 1.0, kVcdLengthS = 0.1;

// "KP,KI,KD": three finite numbers; throws std::invalid_argument naming the text.
Gains parse_gains(const std::string& text);

// Parses the command line into `options`. Returns nothing when the run
// should go ahead, otherwise the exit code: 0 after --help, 2 on bad input
// (the message is written to `err`).
std::optional<int> parse_run_options(int argc, const char* const* argv, RunOptions& options, std::ostream& out,
                                     std::ostream& err);

// The bench program's command line.
struct BenchOptions {
  double seconds = 60.0;      // virtual time to run
  double step_seconds = 0.0;  // --step: also a run in steps of this length; 0: none
  bool scripted_rotor = false;  // --scripted-rotor: the sensor reads a still rotor, not the motor
};

// Parses the bench program's command line the same way; returns the exit
// code on bad input or --help.
std::optional<int> parse_bench_options(int argc, const char* const* argv, BenchOptions& options, std::ostream& out,
                                       std::ostream& err);

}  // namespace run
