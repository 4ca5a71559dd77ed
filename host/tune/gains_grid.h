// The candidates of a gain search: the position loop's (Kp, Ki, Kd), each
// within bounds, on a coarse grid that is log-spaced per gain.
//
// A gain's axis:
//   lo == hi        one point, the gain is held (and left out of refinement)
//   lo > 0          `points` values log-spaced from lo to hi, both included
//   lo == 0         0, then `points - 1` values log-spaced from the floor to
//                   hi, where the floor is hi x 10^-decades: a log axis cannot
//                   reach 0, and "no integral (or derivative) action" is a
//                   candidate worth its own point
//
// The grid's order is fixed, so that a candidate's index names the same gains
// in every run and on every machine: Kp outermost, then Ki, Kd innermost,
//   index = (i_kp * n_ki + i_ki) * n_kd + i_kd
// with each axis rising.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace tune {

struct Gains {
  double kp = 0.0, ki = 0.0, kd = 0.0;
  bool operator==(const Gains&) const = default;
};

// Bad input; the message starts with the option it concerns ("--kp: ...").
struct TuneError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct GainRange {
  double lo = 0.0, hi = 0.0;
};

struct GridSpec {
  GainRange kp{0.02, 2.0}, ki{0.0, 0.4}, kd{0.0, 0.6};
  std::size_t points_kp = 6, points_ki = 6, points_kd = 6;  // per gain with a range
  double decades = 2.0;  // the floor of an axis from 0, below its upper bound
};

inline constexpr double kMaxGain = 1e6;
inline constexpr std::size_t kMaxCandidates = 1000000;

// "LO:HI", or "V" for a held gain; `option` names the option in the message.
GainRange parse_range(const std::string& text, const std::string& option);
// "N" for every gain, or "NKP,NKI,NKD".
void parse_points(const std::string& text, GridSpec& spec);

// Throws TuneError when the GridSpec gives no grid or one too large to keep.
void check_grid(const GridSpec& spec);

// One gain's values, rising. `which` is 0, 1, 2 for Kp, Ki, Kd.
std::vector<double> axis(const GridSpec& spec, int which);
const GainRange& range(const GridSpec& spec, int which);
std::size_t points(const GridSpec& spec, int which);
double floor_of(const GridSpec& spec, int which);  // the lowest positive point

std::size_t grid_size(const GridSpec& spec);
// Every candidate, in index order; checks the GridSpec first.
std::vector<Gains> grid(const GridSpec& spec);

// "kp=0.02:2 ki=0:0.4 kd=0:0.6 points=6,6,6 decades=2", numbers exact; read
// back by parse_grid_text (results files carry it).
std::string grid_text(const GridSpec& spec);
GridSpec parse_grid_text(const std::string& text);

// The shortest text that reads back as the same double (and a reader for it
// that takes the whole text or nothing).
std::string number_text(double v);
bool read_number(const std::string& text, double& v);

}  // namespace tune
