// The tuner's command line: the search's options and the `merge` command.
// A program adds its own (the objective's) through `more`. Every option is
// checked before anything runs; a bad one is named in the error and the
// program exits with 2.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "output_files.h"
#include "search.h"

namespace CLI {
class App;
}

namespace tune {

struct Options {
  Settings settings;
  std::string results_path;  // --results: the grid's result lines
  std::size_t top = 10;      // rows of the ranked table
  bool quiet = false;
  bool merge = false;                   // the merge command
  std::vector<std::string> merge_files;  // its shard files
  // The files the command reads and writes, by option, for
  // files::check_outputs (the program adds its own).
  std::vector<files::Named> inputs, outputs;
};

// The number of cores, the default of --jobs.
std::size_t cores();

// Parses the command line. Returns nothing when the command should go
// ahead, otherwise the exit code: 0 after --help, 2 on bad input (the
// message is written to `err`). `more(main, merge)` may add options to the
// program and to its merge command.
std::optional<int> parse_tune_options(int argc, const char* const* argv, const std::string& description, Options& options,
                                      std::ostream& out, std::ostream& err,
                                      const std::function<void(CLI::App&, CLI::App&)>& more = {});

}  // namespace tune
