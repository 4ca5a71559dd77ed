// The recorded time series of a run: named columns of equal length, written
// as CSV (the header names the units) and drawn with gnuplot.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace run {

// The most rows a run keeps: about 150 MB of samples.
inline constexpr std::size_t kMaxRows = 1'000'000;

struct Series {
  std::vector<std::string> names;          // e.g. "t_s", "setpoint_deg"
  std::vector<std::vector<double>> rows;   // one value per name

  int column(const std::string& name) const;  // -1 when absent
  std::vector<double> values(const std::string& name) const;
};

// The columns a run records, by their place in a row; run_columns() names
// them in this order.
namespace column {
enum Index : std::size_t {
  kTime,
  kSetpoint,            // as the frame carries it
  kTelemetry,
  kSetpointUnwrapped,   // followed across the frame's range
  kTelemetryUnwrapped,
  kShaft,               // the shaft (or scripted rotor) in the sensor's sense
  kError,               // unwrapped setpoint minus unwrapped angle
  kUq,
  kDutyA,
  kDutyB,
  kDutyC,
  kIa,
  kIb,
  kIc,
  kTorque,
  kSpeed,
  kApplied,   // length of the voltage vector the bridge applies, after the modulation limit
  kDriveOn,   // 0 while the firmware puts out the zero vector though Uq asks for a voltage
  kCount
};
}  // namespace column

std::vector<std::string> run_columns();

// Writes the series as CSV, NaN as an empty field, into a temporary file
// renamed to `path` when complete; throws std::runtime_error at the first
// write that fails, naming the path and the reason.
void write_csv(const std::string& path, const Series& series);

// Draws the run from a CSV written by write_csv, as PNG or SVG after the
// extension of `image_path`: setpoint with its +-1 deg band, telemetry angle
// (both unwrapped) and shaft angle on top; below, the PID's Uq beside the
// voltage the bridge applies, with the times the drive is held off; at the
// bottom the phase currents. Runs gnuplot without a shell; throws
// std::runtime_error with gnuplot's complaint when it fails. The image is
// drawn into a temporary file renamed into place when gnuplot succeeded.
void write_plot(const std::string& image_path, const std::string& csv_path, const std::string& title);
// The same from the series itself, through a private temporary CSV; errors
// name the image only.
void write_plot_of(const std::string& image_path, const Series& series, const std::string& title);

// Runs gnuplot (without a shell) on the script that `script_for` gives for
// the file it is to draw into: a temporary one beside `image_path`, renamed
// into place when gnuplot succeeded. Throws std::runtime_error with
// gnuplot's complaint when it fails.
void draw_with_gnuplot(const std::string& image_path, const std::function<std::string(const std::string&)>& script_for);

// The gnuplot script write_plot runs (for the tests); it draws into
// `output_path` when given, else into `image_path`.
std::string plot_script(const std::string& image_path, const std::string& csv_path, const std::string& title,
                        const std::vector<std::string>& columns, const std::string& output_path = "");

// ---- For other pictures of runs ----
// A string literal for gnuplot: single quotes, which take everything but a
// quote literally; a quote is doubled.
std::string gnuplot_string(const std::string& s);
// The terminal (PNG or SVG after the extension of `image_path`, 1100 wide),
// the output (`output_path` when given) and the CSV's separator; throws
// std::runtime_error for another extension.
std::string plot_preamble(const std::string& image_path, const std::string& output_path, int height);
// draw_with_gnuplot (above) runs the script.

}  // namespace run
