#include "setpoint_profile.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <stdexcept>

#include "time_text.h"

namespace run {

namespace {

[[noreturn]] void refuse(const std::string& text, const std::string& why) {
  throw std::invalid_argument("'" + text + "': " + why);
}

// A finite number followed by exactly `unit`.
double number_with(const std::string& whole, const std::string& part, const std::string& unit) {
  if (part.size() <= unit.size() || part.compare(part.size() - unit.size(), unit.size(), unit) != 0) {
    refuse(whole, "'" + part + "' needs the unit " + unit);
  }
  const std::string digits = part.substr(0, part.size() - unit.size());
  char* end = nullptr;
  const double v = std::strtod(digits.c_str(), &end);
  if (end == digits.c_str() || *end != '\0' || !std::isfinite(v)) refuse(whole, "'" + digits + "' is not a finite number");
  return v;
}

// "A..B" split at the two dots.
std::pair<std::string, std::string> range_of(const std::string& whole, const std::string& part) {
  const auto dots = part.find("..");
  if (dots == std::string::npos) refuse(whole, "'" + part + "' is not a range FROM..TO");
  return {part.substr(0, dots), part.substr(dots + 2)};
}

std::vector<std::string> split(const std::string& s, char c) {
  std::vector<std::string> out;
  std::size_t at = 0;
  for (auto next = s.find(c); next != std::string::npos; next = s.find(c, at)) {
    out.push_back(s.substr(at, next - at));
    at = next + 1;
  }
  out.push_back(s.substr(at));
  return out;
}

double time_of(const std::string& whole, const std::string& part) {
  try {
    return parse_time(part);
  } catch (const TimeError& e) {
    refuse(whole, e.what());
  }
}

double chirp_phase(const SetpointEntry& e, double tau) {
  const double length = e.until_s - e.from_s;
  if (!e.log_sweep || e.hz == e.to_hz) return 2.0 * std::numbers::pi * (e.hz * tau + (e.to_hz - e.hz) * tau * tau / (2.0 * length));
  const double k = std::log(e.to_hz / e.hz);
  return 2.0 * std::numbers::pi * e.hz * length / k * std::expm1(k * tau / length);
}

}  // namespace

SetpointEntry parse_setpoint(const std::string& text) {
  const auto colon = text.find(':');
  const auto at = text.rfind('@');
  if (colon == std::string::npos || at == std::string::npos || at < colon) {
    refuse(text, "not KIND:VALUES@TIME, e.g. step:40deg@1s, ramp:90dps@1s..3s, sine:10deg,2Hz@1s..4s, "
                 "chirp:5deg,1Hz..20Hz,log@1s..11s");
  }
  const std::string kind = text.substr(0, colon);
  const std::string values = text.substr(colon + 1, at - colon - 1);
  const std::string times = text.substr(at + 1);
  if (kind != "step" && kind != "ramp" && kind != "sine" && kind != "chirp") {
    refuse(text, "unknown kind '" + kind + "' (use step, ramp, sine or chirp)");
  }
  SetpointEntry e;
  e.where = "--setpoint " + text;
  if (kind == "step") {
    e.kind = SetpointKind::kStep;
    e.deg = number_with(text, values, "deg");
    e.from_s = time_of(text, times);
    return e;
  }
  const auto [from, until] = range_of(text, times);
  e.from_s = time_of(text, from);
  e.until_s = time_of(text, until);
  const std::vector<std::string> v = split(values, ',');
  if (kind == "ramp") {
    e.kind = SetpointKind::kRamp;
    if (v.size() != 1) refuse(text, "a ramp takes one value, its rate: ramp:90dps@1s..3s");
    e.rate_dps = number_with(text, v[0], "dps");
  } else if (kind == "sine") {
    e.kind = SetpointKind::kSine;
    if (v.size() != 2) refuse(text, "a sine takes an amplitude and a frequency: sine:10deg,2Hz@1s..4s");
    e.deg = number_with(text, v[0], "deg");
    e.hz = number_with(text, v[1], "Hz");
  } else {
    e.kind = SetpointKind::kChirp;
    if (v.size() != 2 && v.size() != 3) {
      refuse(text, "a chirp takes an amplitude, a frequency range and lin or log: chirp:5deg,1Hz..20Hz,log@1s..11s");
    }
    e.deg = number_with(text, v[0], "deg");
    const auto [f0, f1] = range_of(text, v[1]);
    e.hz = number_with(text, f0, "Hz");
    e.to_hz = number_with(text, f1, "Hz");
    if (v.size() == 3) {
      if (v[2] != "lin" && v[2] != "log") refuse(text, "'" + v[2] + "': the sweep is lin or log");
      e.log_sweep = v[2] == "log";
    }
  }
  if (auto p = setpoint_problem(e)) refuse(text, p->key + " " + p->why);
  return e;
}

std::optional<SetpointProblem> setpoint_problem(const SetpointEntry& e) {
  auto frequency = [](const char* key, double hz) -> std::optional<SetpointProblem> {
    if (hz > 0.0 && hz < kMaxSetpointHz) return std::nullopt;
    return SetpointProblem{key, "must lie above 0 and below 50 Hz (half the 100 Hz control rate)"};
  };
  if (e.kind == SetpointKind::kStep) {
    if (std::abs(e.deg) > kMaxSetpointDeg) return SetpointProblem{"to_deg", "must lie from -327 to 327 degrees (the telemetry's range)"};
    return std::nullopt;
  }
  if (!(e.until_s > e.from_s)) return SetpointProblem{"until", "must be later than from"};
  switch (e.kind) {
    case SetpointKind::kRamp:
      if (e.rate_dps == 0.0 || std::abs(e.rate_dps) > kMaxRampDps) {
        return SetpointProblem{"rate_dps", "must lie from -3600 to 3600 degrees per second, and not be 0"};
      }
      return std::nullopt;
    case SetpointKind::kChirp:
      if (auto p = frequency("to_hz", e.to_hz)) return p;
      if (e.to_hz == e.hz) return SetpointProblem{"to_hz", "must differ from from_hz"};
      [[fallthrough]];
    case SetpointKind::kSine:
      if (auto p = frequency(e.kind == SetpointKind::kSine ? "hz" : "from_hz", e.hz)) return p;
      if (!(e.deg > 0.0 && e.deg <= kMaxSetpointDeg)) {
        return SetpointProblem{"amplitude_deg", "must lie above 0 and at most 327 degrees (the telemetry's range)"};
      }
      return std::nullopt;
    case SetpointKind::kStep:
      break;
  }
  return std::nullopt;
}

double setpoint_profile(std::span<const SetpointEntry> entries, double t_s) {
  // The latest step at or before t (the later entry of two at one time).
  double level = 0.0;
  double since = -1e300;
  for (const SetpointEntry& e : entries) {
    if (e.kind == SetpointKind::kStep && e.from_s <= t_s && e.from_s >= since) {
      level = e.deg;
      since = e.from_s;
    }
  }
  double p = level;
  for (const SetpointEntry& e : entries) {
    if (e.kind == SetpointKind::kStep) continue;
    if (e.kind == SetpointKind::kRamp) {
      const double begin = std::max(e.from_s, since), end = std::min(e.until_s, t_s);
      if (end > begin) p += e.rate_dps * (end - begin);
      continue;
    }
    if (t_s < e.from_s || t_s >= e.until_s) continue;
    const double tau = t_s - e.from_s;
    p += e.deg * std::sin(e.kind == SetpointKind::kSine ? 2.0 * std::numbers::pi * e.hz * tau : chirp_phase(e, tau));
  }
  return p;
}

bool setpoint_moving(std::span<const SetpointEntry> entries, double t_s, double after_s) {
  return std::any_of(entries.begin(), entries.end(), [&](const SetpointEntry& e) {
    return e.kind != SetpointKind::kStep && t_s >= e.from_s && t_s < e.until_s + after_s;
  });
}

const char* setpoint_kind_name(SetpointKind kind) {
  switch (kind) {
    case SetpointKind::kStep:
      return "step";
    case SetpointKind::kRamp:
      return "ramp";
    case SetpointKind::kSine:
      return "sine";
    case SetpointKind::kChirp:
      return "chirp";
  }
  return "?";
}

}  // namespace run
