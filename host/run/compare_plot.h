// Runs drawn over one another: the setpoint and angle of each run's CSV (as
// `vboard-run --csv` writes it), labelled, in one picture, with the error's
// size below on a log scale so that settling into +-1 and +-5 deg shows.
#pragma once

#include <string>
#include <vector>

namespace run {

struct CompareRun {
  std::string label;
  std::string path;
};

// "LABEL=FILE", or "FILE" alone, labelled by its name as given. A text that
// names an existing file is a file, '=' or not. Throws
// std::invalid_argument for an empty label or file.
CompareRun parse_compare_run(const std::string& text);

// The columns of the run's CSV at `path`, after checking that it is one: a
// regular file of at most kMaxCompareBytes, a header of run columns that has
// those drawn, and rows of as many fields, each empty or a finite number,
// with a time that grows. Throws std::runtime_error naming the file, and the
// line where it went wrong.
std::vector<std::string> check_run_csv(const std::string& path);
inline constexpr unsigned long long kMaxCompareBytes = 512ull << 20;

// The gnuplot script: each run's angle (solid) and setpoint (dashed) in one
// colour; `columns` are each run's CSV columns.
std::string compare_script(const std::string& image_path, const std::vector<CompareRun>& runs,
                           const std::vector<std::vector<std::string>>& columns, const std::string& output_path);

// Checks every CSV, then draws the picture into `image_path` (PNG or SVG);
// throws std::runtime_error at the first CSV refused or when gnuplot fails.
void write_compare(const std::string& image_path, const std::vector<CompareRun>& runs);

}  // namespace run
