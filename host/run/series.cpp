#include "series.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "output_files.h"

namespace run {

int Series::column(const std::string& name) const {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i);
  return -1;
}

std::vector<double> Series::values(const std::string& name) const {
  const int c = column(name);
  std::vector<double> v;
  if (c < 0) return v;
  v.reserve(rows.size());
  for (const auto& r : rows) v.push_back(r[static_cast<std::size_t>(c)]);
  return v;
}

std::vector<std::string> run_columns() {
  static constexpr auto kNames = std::to_array<const char*>(
      {"t_s", "setpoint_deg", "telemetry_deg", "setpoint_unwrapped_deg", "telemetry_unwrapped_deg", "shaft_deg",
       "error_deg", "uq_v", "duty_a", "duty_b", "duty_c", "ia_a", "ib_a", "ic_a", "torque_nm", "speed_rpm",
       "u_applied_v", "drive_on"});
  static_assert(kNames.size() == column::kCount, "a name for every column");
  return {kNames.begin(), kNames.end()};
}

void write_csv(const std::string& path, const Series& series) {
  files::AtomicFile file(path);
  std::FILE* f = file.stream();
  // The first failed write (a full disk) ends the writing at once, with its reason.
  auto check = [&](std::size_t rows_done) {
    if (!std::ferror(f)) return;
    const int err = errno;
    throw std::runtime_error(path + ": write failed after " + std::to_string(rows_done) + " of " +
                             std::to_string(series.rows.size()) + " rows: " + std::strerror(err));
  };
  for (std::size_t i = 0; i < series.names.size(); ++i) std::fprintf(f, "%s%s", i ? "," : "", series.names[i].c_str());
  std::fputc('\n', f);
  check(0);
  for (std::size_t r = 0; r < series.rows.size(); ++r) {
    const auto& row = series.rows[r];
    if (row.size() != series.names.size()) {
      throw std::runtime_error(path + ": a row of the series has the wrong number of values");
    }
    // Enough digits for microseconds of a long run.
    // A value the board does not measure (NaN) is left empty.
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i) std::fputc(',', f);
      if (!std::isnan(row[i])) std::fprintf(f, "%.12g", row[i]);
    }
    std::fputc('\n', f);
    check(r);
  }
  file.commit();
}

namespace {

bool ends_with(const std::string& s, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

std::string plot_script(const std::string& image_path, const std::string& csv_path, const std::string& title,
                        const std::vector<std::string>& columns, const std::string& output_path) {
  auto col = [&](const char* name) {
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (columns[i] == name) return std::string("$").append(std::to_string(i + 1));
    throw std::runtime_error(std::string("plot: the series has no column ") + name);
  };
  const std::string t = col("t_s"), setpoint = col("setpoint_unwrapped_deg");
  std::ostringstream g;
  g << plot_preamble(image_path, output_path, 1000) << "set multiplot title " << gnuplot_string(title) << "\n"
    << "set lmargin 10\nset rmargin 3\nset format x ''\n"
    // The angles, with the band the settling times count in.
    << "set size 1,0.47\nset origin 0,0.5\nset tmargin 2\nset bmargin 0.5\n"
    << "set ylabel 'angle (deg)'\nset key top left\n"
    << "plot " << gnuplot_string(csv_path) << " skip 1 using (" << t << "):(" << setpoint << " - 1):(" << setpoint
    << " + 1) with filledcurves fs solid 0.5 noborder lc rgb '#2ca02c' title 'setpoint +-1 deg', \\\n"
    << "     '' skip 1 using (" << t << "):(" << setpoint << ") with steps lw 2 lc rgb '#999999' title 'setpoint', \\\n"
    << "     '' skip 1 using (" << t << "):(" << col("telemetry_unwrapped_deg")
    << ") with lines lw 1.5 lc rgb '#1f77b4' title 'telemetry angle', \\\n"
    << "     '' skip 1 using (" << t << "):(" << col("shaft_deg")
    << ") with lines lw 1 dt 2 lc rgb '#d62728' title 'shaft angle'\n"
    // The PID's request beside what the bridge applies, signed as Uq; grey
    // where the drive is held off.
    // The panels below share the angles' time axis.
    << "set xrange [GPVAL_X_MIN:GPVAL_X_MAX]\n"
    << "set size 1,0.25\nset origin 0,0.25\nset tmargin 1.5\n"
    << "set ylabel 'voltage (V)'\nset yrange [-14:14]\nset ytics 6\nset offsets 0, 0, 0, 0\n"
    << "set key tmargin left horizontal\n"
    << "plot " << gnuplot_string(csv_path) << " skip 1 using (" << t << "):(" << col("drive_on")
    << " == 0 ? 14 : -14):(-14) with filledcurves fs solid 0.25 noborder lc rgb '#555555' "
    << "title 'drive off (zero vector)', \\\n"
    << "     '' skip 1 using (" << t << "):(" << col("uq_v")
    << ") with steps lw 1.5 lc rgb '#2ca02c' title 'Uq (PID)', \\\n"
    << "     '' skip 1 using (" << t << "):(" << col("u_applied_v") << " * sgn(" << col("uq_v")
    << ")) with steps lw 1.5 lc rgb '#ff7f0e' title 'applied |U|, sign of Uq'\n"
    << "set size 1,0.25\nset origin 0,0\nset bmargin 3\nset autoscale y\nset ytics auto\n"
    << "set offsets 0, 0, graph 0.05, graph 0.05\n"
    << "set format x '%g'\nset xlabel 'time (s)'\nset ylabel 'phase current (A)'\n"
    // The zero line keeps the panel drawable when no current was measured.
    << "plot 0 with lines lc rgb '#bbbbbb' notitle, \\\n"
    << "     " << gnuplot_string(csv_path) << " skip 1 using (" << t << "):(" << col("ia_a")
    << ") with lines lw 1 lc rgb '#1f77b4' title 'phase A', \\\n"
    << "     '' skip 1 using (" << t << "):(" << col("ib_a") << ") with lines lw 1 lc rgb '#ff7f0e' title 'phase B', \\\n"
    << "     '' skip 1 using (" << t << "):(" << col("ic_a") << ") with lines lw 1 lc rgb '#9467bd' title 'phase C'\n"
    << "unset multiplot\n";
  return g.str();
}

std::string plot_preamble(const std::string& image_path, const std::string& output_path, int height) {
  const bool svg = ends_with(image_path, ".svg");
  if (!svg && !ends_with(image_path, ".png")) throw std::runtime_error(image_path + ": the plot must end in .png or .svg");
  std::ostringstream g;
  // noenhanced: a file name's underscores stay underscores.
  g << (svg ? "set terminal svg noenhanced size 1100," : "set terminal pngcairo noenhanced size 1100,") << height
    << (svg ? " dynamic font 'sans,11'\n" : " font 'sans,10'\n");
  g << "set output " << gnuplot_string(output_path.empty() ? image_path : output_path) << "\n"
    << "set datafile separator ','\n"
    << "set grid\n"
    << "set offsets 0, 0, graph 0.05, graph 0.05\n";
  return g.str();
}

std::string gnuplot_string(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += '\'';
    q += c;
  }
  return q + "'";
}

void write_plot(const std::string& image_path, const std::string& csv_path, const std::string& title) {
  std::ifstream in(csv_path);
  std::string header;
  if (!std::getline(in, header)) throw std::runtime_error(csv_path + ": cannot read the series");
  std::vector<std::string> columns;
  std::istringstream h(header);
  for (std::string c; std::getline(h, c, ',');) columns.push_back(c);
  if (!std::getline(in, header)) throw std::runtime_error(image_path + ": no samples to draw");
  draw_with_gnuplot(image_path, [&](const std::string& drawn) { return plot_script(image_path, csv_path, title, columns, drawn); });
}

void draw_with_gnuplot(const std::string& image_path, const std::function<std::string(const std::string&)>& script_for) {
  // gnuplot draws into a temporary file that takes the name only when it succeeded.
  files::AtomicFile image(image_path);
  const std::string drawn = image.temp_path().empty() ? image_path : image.temp_path();
  const std::string script = script_for(drawn);

  // gnuplot runs the script from a temporary file; its complaints go to
  // another one and end up in the error message.
  char script_name[] = "/tmp/vboard-plot-XXXXXX";
  char err_name[] = "/tmp/vboard-plot-err-XXXXXX";
  const int script_fd = mkstemp(script_name);
  const int err_fd = script_fd < 0 ? -1 : mkstemp(err_name);
  if (err_fd < 0) {
    if (script_fd >= 0) {
      close(script_fd);
      unlink(script_name);
    }
    throw std::runtime_error("plot: cannot make a temporary file");
  }
  bool written = true;
  for (std::size_t done = 0; done < script.size();) {
    const ssize_t n = write(script_fd, script.data() + done, script.size() - done);
    if (n <= 0) {
      written = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  close(script_fd);
  const pid_t pid = written ? fork() : -1;
  if (pid == 0) {
    dup2(err_fd, 1);
    dup2(err_fd, 2);
    close(err_fd);
    execlp("gnuplot", "gnuplot", script_name, static_cast<char*>(nullptr));
    std::fprintf(stderr, "cannot run gnuplot: %s (install gnuplot-nox)\n", std::strerror(errno));
    _exit(127);
  }
  close(err_fd);
  int status = 0;
  const bool ran = pid > 0 && waitpid(pid, &status, 0) == pid;
  std::ifstream err_in(err_name);
  std::string complaint((std::istreambuf_iterator<char>(err_in)), std::istreambuf_iterator<char>());
  unlink(script_name);
  unlink(err_name);
  while (!complaint.empty() && complaint.back() == '\n') complaint.pop_back();
  if (!ran || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    // Its last line says what went wrong; the lines above repeat the script.
    complaint = complaint.substr(complaint.rfind('\n') + 1);
    throw std::runtime_error(image_path + ": gnuplot failed" + (complaint.empty() ? "" : ": " + complaint));
  }
  image.commit();
}

void write_plot_of(const std::string& image_path, const Series& series, const std::string& title) {
  // The series goes to a private temporary CSV that only gnuplot reads.
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path folder = fs::temp_directory_path(ec);
  std::string name = ((ec ? fs::path("/tmp") : folder) / "vboard-plot-data-XXXXXX").string();
  const int fd = mkstemp(name.data());
  if (fd < 0) throw std::runtime_error(image_path + ": cannot make a temporary file for the plot's data");
  close(fd);
  struct Remove {
    std::string path;
    ~Remove() { unlink(path.c_str()); }
  } remove{name};
  try {
    write_csv(name, series);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(image_path + ": cannot write the plot's data: " + e.what());
  }
  write_plot(image_path, name, title);
}

}  // namespace run
