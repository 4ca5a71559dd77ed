#include "compare_plot.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "series.h"

namespace run {

namespace {

// The columns the picture draws.
constexpr std::array<const char*, 4> kDrawn = {"t_s", "setpoint_unwrapped_deg", "telemetry_unwrapped_deg", "error_deg"};

// Colours told apart in print and by most colour-blind readers.
constexpr std::array<const char*, 8> kColours = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                                 "#9467bd", "#8c564b", "#e377c2", "#17becf"};

// A CSV line is a few hundred characters; a longer one is not a run's.
constexpr std::streamsize kMaxLine = 1 << 16;

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, ',');) out.push_back(f);
  if (!line.empty() && line.back() == ',') out.emplace_back();
  return out;
}

bool finite_number(const std::string& text, double& value) {
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && at == end && std::isfinite(value);
}

std::string column_of(const std::vector<std::string>& columns, const char* name) {
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i] == name) return std::string("$").append(std::to_string(i + 1));
  throw std::runtime_error(std::string("compare: no column ") + name);
}

}  // namespace

CompareRun parse_compare_run(const std::string& text) {
  std::error_code ec;
  const auto eq = text.find('=');
  if (eq == std::string::npos || std::filesystem::exists(text, ec)) {
    if (text.empty()) throw std::invalid_argument("an empty file name");
    return {text, text};
  }
  CompareRun r{text.substr(0, eq), text.substr(eq + 1)};
  if (r.label.empty() || r.path.empty()) throw std::invalid_argument("'" + text + "' is not LABEL=FILE or FILE");
  return r;
}

std::vector<std::string> check_run_csv(const std::string& path) {
  namespace fs = std::filesystem;
  const std::string refused = path + ": not a run's CSV (vboard-run --csv): ";
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (ec || !fs::exists(status)) throw std::runtime_error(path + ": no such file");
  if (!fs::is_regular_file(status)) throw std::runtime_error(refused + "not a regular file");
  if (fs::file_size(path, ec) > kMaxCompareBytes) throw std::runtime_error(refused + "larger than 512 MiB");
  std::ifstream in(path);
  if (!in) throw std::runtime_error(path + ": cannot be read");

  std::vector<char> buffer(static_cast<std::size_t>(kMaxLine));
  std::size_t line_no = 0;
  auto next_line = [&](std::string& line) {
    if (!in.getline(buffer.data(), kMaxLine)) {
      if (in.eof() && in.gcount() == 0) return false;
      if (!in.eof()) throw std::runtime_error(refused + "line " + std::to_string(line_no + 1) + " is too long");
    }
    ++line_no;
    line.assign(buffer.data());
    return true;
  };

  std::string line;
  if (!next_line(line)) throw std::runtime_error(refused + "the file is empty");
  std::vector<std::string> columns = fields(line);
  const std::vector<std::string> known = run_columns();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const bool ok = std::find(known.begin(), known.end(), columns[i]) != known.end() &&
                    std::find(columns.begin(), columns.begin() + static_cast<std::ptrdiff_t>(i), columns[i]) ==
                        columns.begin() + static_cast<std::ptrdiff_t>(i);
    if (!ok) throw std::runtime_error(refused + "the header's '" + columns[i].substr(0, 40) + "' is not a run column");
  }
  for (const char* name : kDrawn) {
    if (std::find(columns.begin(), columns.end(), name) == columns.end()) {
      throw std::runtime_error(refused + "the header has no column " + name);
    }
  }
  double last_t = -1.0;
  std::size_t rows = 0;
  while (next_line(line)) {
    const auto row = fields(line);
    const std::string where = refused + "line " + std::to_string(line_no) + ": ";
    if (row.size() != columns.size()) {
      throw std::runtime_error(where + std::to_string(row.size()) + " fields where the header has " +
                               std::to_string(columns.size()));
    }
    for (std::size_t i = 0; i < row.size(); ++i) {
      double v = 0.0;
      if (!row[i].empty() && !finite_number(row[i], v)) {
        throw std::runtime_error(where + "'" + row[i].substr(0, 40) + "' in " + columns[i] + " is not a number");
      }
      if (columns[i] == "t_s" && (row[i].empty() || v <= last_t)) {
        throw std::runtime_error(where + "the time does not grow");
      }
      if (columns[i] == "t_s") last_t = v;
    }
    ++rows;
  }
  if (rows == 0) throw std::runtime_error(refused + "no samples");
  return columns;
}

std::string compare_script(const std::string& image_path, const std::vector<CompareRun>& runs,
                           const std::vector<std::vector<std::string>>& columns, const std::string& output_path) {
  std::ostringstream g;
  g << plot_preamble(image_path, output_path, 800) << "set multiplot title 'vboard-run --compare'\n"
    << "set lmargin 10\nset rmargin 3\nset format x ''\n"
    << "set size 1,0.6\nset origin 0,0.38\nset tmargin 2\nset bmargin 0.5\n"
    << "set ylabel 'angle (deg)'\nset key top left\n";
  auto each = [&](const auto& plot_one) {
    for (std::size_t i = 0; i < runs.size(); ++i) {
      g << (i == 0 ? "plot " : ", \\\n     ");
      plot_one(i, kColours[i % kColours.size()]);
    }
    g << "\n";
  };
  each([&](std::size_t i, const char* colour) {
    const std::string t = column_of(columns[i], "t_s"), file = gnuplot_string(runs[i].path);
    g << file << " skip 1 using (" << t << "):(" << column_of(columns[i], "telemetry_unwrapped_deg")
      << ") with lines lw 1.5 lc rgb '" << colour << "' title " << gnuplot_string(runs[i].label) << ", \\\n     "
      << file << " skip 1 using (" << t << "):(" << column_of(columns[i], "setpoint_unwrapped_deg")
      << ") with steps lw 1 dt 2 lc rgb '" << colour << "' notitle";
  });
  g.seekp(-1, std::ios_base::cur);  // the key tells the dashed lines too
  g << ", \\\n     NaN with lines lw 1 dt 2 lc rgb '#555555' title 'setpoint (dashed)'\n";
  // The error's size on a log scale: the ring's amplitude and the settling
  // into the +-5 and +-1 deg bands read off directly.
  g << "set xrange [GPVAL_X_MIN:GPVAL_X_MAX]\n"
    << "set size 1,0.36\nset origin 0,0\nset tmargin 0.5\nset bmargin 3\nset logscale y\n"
    << "set yrange [0.01:1000]\nset format y '%g'\nset offsets 0, 0, 0, 0\n"
    << "set format x '%g'\nset xlabel 'time (s)'\nset ylabel '|setpoint - angle| (deg)'\nunset key\n"
    << "set arrow from graph 0, first 1 to graph 1, first 1 nohead dt 2 lc rgb '#555555'\n"
    << "set arrow from graph 0, first 5 to graph 1, first 5 nohead dt 3 lc rgb '#555555'\n"
    << "set label '1 deg' at graph 1, first 1 offset -5, 0.6\nset label '5 deg' at graph 1, first 5 offset -5, 0.6\n";
  each([&](std::size_t i, const char* colour) {
    g << gnuplot_string(runs[i].path) << " skip 1 using (" << column_of(columns[i], "t_s") << "):(abs("
      << column_of(columns[i], "error_deg") << ")) with lines lw 1 lc rgb '" << colour << "' notitle";
  });
  g << "unset multiplot\n";
  return g.str();
}

void write_compare(const std::string& image_path, const std::vector<CompareRun>& runs) {
  std::vector<std::vector<std::string>> columns;
  columns.reserve(runs.size());
  for (const auto& r : runs) columns.push_back(check_run_csv(r.path));
  draw_with_gnuplot(image_path, [&](const std::string& drawn) { return compare_script(image_path, runs, columns, drawn); });
}

}  // namespace run
