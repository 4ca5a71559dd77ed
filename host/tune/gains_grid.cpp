#include "gains_grid.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace tune {

namespace {

const char* const kOption[3] = {"--kp", "--ki", "--kd"};

[[noreturn]] void fail(const std::string& option, const std::string& why) { throw TuneError(option + ": " + why); }

double bound(const std::string& field, const std::string& text, const std::string& option) {
  double v = 0.0;
  if (!read_number(field, v) || !std::isfinite(v)) fail(option, "'" + text + "': '" + field + "' is not a finite number");
  if (v < 0.0) fail(option, "'" + text + "': a gain must not be negative");
  if (v > kMaxGain) fail(option, "'" + text + "': a gain above " + number_text(kMaxGain) + " is not a gain");
  return v;
}

// Six significant digits: the same grid on every machine whatever its
// exp() and log() round, and gains a user can read.
double rounded(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return std::strtod(text, nullptr);
}

std::vector<double> log_spaced(double lo, double hi, std::size_t n) {
  std::vector<double> v(n);
  const double a = std::log(lo);
  const double step = (std::log(hi) - a) / static_cast<double>(n - 1);
  for (std::size_t i = 0; i < n; ++i) v[i] = rounded(std::exp(a + step * static_cast<double>(i)));
  v.front() = lo;
  v.back() = hi;
  return v;
}

std::size_t count(const std::string& field, const std::string& text) {
  std::size_t n = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), n);
  if (ec != std::errc() || end != field.data() + field.size() || field.empty()) {
    fail("--points", "'" + text + "' is not N or NKP,NKI,NKD (whole numbers)");
  }
  return n;
}

}  // namespace

std::string number_text(double v) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return ec == std::errc() ? std::string(text, end) : std::string("nan");
}

bool read_number(const std::string& text, double& v) {
  if (text.empty()) return false;
  const char* first = text.data();
  if (*first == '+') ++first;  // a sign from_chars does not take
  const auto [end, ec] = std::from_chars(first, text.data() + text.size(), v);
  return ec == std::errc() && end == text.data() + text.size();
}

GainRange parse_range(const std::string& text, const std::string& option) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) {
    const double v = bound(text, text, option);
    return {v, v};
  }
  const GainRange r{bound(text.substr(0, colon), text, option), bound(text.substr(colon + 1), text, option)};
  if (r.lo > r.hi) fail(option, "'" + text + "': the lower bound is above the upper bound (give LO:HI)");
  return r;
}

void parse_points(const std::string& text, GridSpec& spec) {
  std::size_t n[3] = {};
  const auto c1 = text.find(',');
  if (c1 == std::string::npos) {
    n[0] = n[1] = n[2] = count(text, text);
  } else {
    const auto c2 = text.find(',', c1 + 1);
    if (c2 == std::string::npos) fail("--points", "'" + text + "' is not N or NKP,NKI,NKD");
    n[0] = count(text.substr(0, c1), text);
    n[1] = count(text.substr(c1 + 1, c2 - c1 - 1), text);
    n[2] = count(text.substr(c2 + 1), text);
  }
  spec.points_kp = n[0];
  spec.points_ki = n[1];
  spec.points_kd = n[2];
}

const GainRange& range(const GridSpec& spec, int which) {
  return which == 0 ? spec.kp : which == 1 ? spec.ki : spec.kd;
}

std::size_t points(const GridSpec& spec, int which) {
  if (range(spec, which).lo == range(spec, which).hi) return 1;
  return which == 0 ? spec.points_kp : which == 1 ? spec.points_ki : spec.points_kd;
}

double floor_of(const GridSpec& spec, int which) {
  const GainRange& r = range(spec, which);
  return r.lo > 0.0 ? r.lo : rounded(r.hi * std::pow(10.0, -spec.decades));
}

void check_grid(const GridSpec& spec) {
  if (!(spec.decades >= 0.5 && spec.decades <= 12.0)) fail("--decades", "must be from 0.5 to 12");
  if (spec.points_kp == 0 || spec.points_ki == 0 || spec.points_kd == 0) fail("--points", "0 points give an empty grid");
  std::size_t total = 1;
  for (int g = 0; g < 3; ++g) {
    const GainRange& r = range(spec, g);
    if (!(r.lo >= 0.0 && r.lo <= r.hi && r.hi <= kMaxGain)) fail(kOption[g], "bounds out of order or range");
    const std::size_t n = points(spec, g);
    if (n < 2 && r.lo < r.hi) fail("--points", "a gain with a range (" + std::string(kOption[g]) + ") needs at least 2 points");
    if (n > kMaxCandidates / total) {
      fail("--points", "the grid would have more than " + std::to_string(kMaxCandidates) + " candidates");
    }
    total *= n;
    const auto v = axis(spec, g);
    for (std::size_t i = 1; i < v.size(); ++i) {
      if (!(v[i] > v[i - 1])) fail("--points", std::string("too many points for the range of ") + kOption[g]);
    }
  }
}

std::vector<double> axis(const GridSpec& spec, int which) {
  const GainRange& r = range(spec, which);
  const std::size_t n = points(spec, which);
  if (n <= 1 || r.lo == r.hi) return std::vector<double>(n == 0 ? 0 : 1, r.lo);
  if (r.lo > 0.0) return log_spaced(r.lo, r.hi, n);
  std::vector<double> v{0.0};
  if (n == 2) {
    v.push_back(r.hi);
  } else {
    const auto above = log_spaced(std::min(floor_of(spec, which), r.hi), r.hi, n - 1);
    v.insert(v.end(), above.begin(), above.end());
  }
  return v;
}

std::size_t grid_size(const GridSpec& spec) { return points(spec, 0) * points(spec, 1) * points(spec, 2); }

std::vector<Gains> grid(const GridSpec& spec) {
  check_grid(spec);
  const auto p = axis(spec, 0), i = axis(spec, 1), d = axis(spec, 2);
  std::vector<Gains> all;
  all.reserve(p.size() * i.size() * d.size());
  for (double kp : p) {
    for (double ki : i) {
      for (double kd : d) all.push_back({kp, ki, kd});
    }
  }
  return all;
}

std::string grid_text(const GridSpec& s) {
  std::ostringstream o;
  const char* name[3] = {"kp", "ki", "kd"};
  for (int g = 0; g < 3; ++g) {
    o << name[g] << '=' << number_text(range(s, g).lo) << ':' << number_text(range(s, g).hi) << ' ';
  }
  o << "points=" << s.points_kp << ',' << s.points_ki << ',' << s.points_kd << " decades=" << number_text(s.decades);
  return o.str();
}

GridSpec parse_grid_text(const std::string& text) {
  GridSpec s;
  std::istringstream in(text);
  std::string word;
  int seen = 0;
  while (in >> word) {
    const auto eq = word.find('=');
    const std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
    if (key == "kp") {
      s.kp = parse_range(value, "grid kp");
    } else if (key == "ki") {
      s.ki = parse_range(value, "grid ki");
    } else if (key == "kd") {
      s.kd = parse_range(value, "grid kd");
    } else if (key == "points") {
      parse_points(value, s);
    } else if (key == "decades") {
      if (!read_number(value, s.decades)) fail("grid", "'" + word + "' is not a number");
    } else {
      fail("grid", "unknown field '" + word + "'");
    }
    ++seen;
  }
  if (seen != 5) fail("grid", "'" + text + "' does not give kp, ki, kd, points and decades");
  check_grid(s);
  return s;
}

}  // namespace tune
