#include "scenario.h"

#include <cmath>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <toml++/toml.h>

#include "time_text.h"

namespace run {

namespace {

class Reader {
 public:
  explicit Reader(std::string name) : name_(std::move(name)) {}

  Scenario read(std::string_view text) {
    toml::table root;
    try {
      root = toml::parse(text, name_);
    } catch (const toml::parse_error& e) {
      fail(e.source(), "", std::string(e.description()));
    }
    Scenario s;
    only(root, "",
         {"duration", "start_angle_deg", "motor", "gains", "press", "load", "fault", "flood", "crystal_fails",
          "sample_interval", "setpoint", "bode", "variation"});
    if (auto* n = root.get("duration")) {
      s.duration_s = time(*n, "duration");
      if (s.duration_s <= 0.0) fail(n->source(), "duration", "must be longer than 0");
    }
    if (auto* n = root.get("start_angle_deg")) {
      s.start_angle_deg = number(*n, "start_angle_deg");
      if (std::abs(s.start_angle_deg) > kMaxStartAngleDeg) {
        fail(n->source(), "start_angle_deg", "must lie from -360 to 360 degrees (a turn either way of the sensor's zero)");
      }
    }
    if (auto* n = root.get("crystal_fails")) s.crystal_fails = boolean(*n, "crystal_fails");
    if (auto* n = root.get("sample_interval")) {
      s.sample_interval_s = time(*n, "sample_interval");
      s.sample_interval_given = true;
      if (s.sample_interval_s < 1e-6) fail(n->source(), "sample_interval", "must be at least 1us");
      if (s.sample_interval_s > s.duration_s) {
        fail(n->source(), "sample_interval",
             format_time(s.sample_interval_s) + " is longer than the run (duration " + format_time(s.duration_s) +
                 "): no sample would be taken");
      }
    }
    s.motor_where = s.motor_preset_where = name_;
    if (auto* n = root.get("motor")) read_motor(table(*n, "motor"), s);
    if (auto* n = root.get("gains")) {
      read_gains(table(*n, "gains"), s.gains);
      s.gains_where = where(n->source());
    }
    each(root, "press", [&](const toml::table& t, const std::string& at) { s.presses.push_back(read_press(t, at, s)); });
    each(root, "load", [&](const toml::table& t, const std::string& at) {
      only(t, at, {"at", "torque_nm"});
      const auto& torque = need(t, at, "torque_nm");
      s.loads.push_back(
          {time(need(t, at, "at"), at + ".at"), number(torque, at + ".torque_nm"),
           where(torque.source()) + ": " + at + ".torque_nm"});
    });
    each(root, "fault", [&](const toml::table& t, const std::string& at) { s.faults.push_back(read_fault(t, at)); });
    each(root, "flood", [&](const toml::table& t, const std::string& at) {
      only(t, at, {"at", "length"});
      Flood f{time(need(t, at, "at"), at + ".at"), time(need(t, at, "length"), at + ".length")};
      if (f.length_s <= 0.0) fail(t.get("length")->source(), at + ".length", "must be longer than 0");
      s.floods.push_back(f);
    });
    each(root, "setpoint", [&](const toml::table& t, const std::string& at) { s.setpoints.push_back(read_setpoint(t, at)); });
    if (auto* n = root.get("bode")) read_bode(table(*n, "bode"), s.bode);
    each(root, "variation", [&](const toml::table& t, const std::string& at) { s.variations.push_back(read_variation(t, at)); });
    check_times(root, s);
    return s;
  }

 private:
  [[noreturn]] void fail(const toml::source_region& where, const std::string& key, const std::string& what) const {
    std::ostringstream m;
    m << name_ << ':' << where.begin.line << ':' << where.begin.column << ": ";
    if (!key.empty()) m << key << ": ";
    m << what;
    throw ScenarioError(m.str());
  }

  std::string where(const toml::source_region& r) const {
    return name_ + ':' + std::to_string(r.begin.line) + ':' + std::to_string(r.begin.column);
  }

  static std::string join(const std::string& prefix, std::string_view key) {
    return prefix.empty() ? std::string(key) : prefix + "." + std::string(key);
  }

  // Every key of `t` must be one of `keys`.
  void only(const toml::table& t, const std::string& prefix, std::initializer_list<std::string_view> keys) const {
    for (auto&& [k, v] : t) {
      bool known = false;
      for (auto allowed : keys) known = known || k.str() == allowed;
      if (!known) {
        std::string list;
        for (auto allowed : keys) list += (list.empty() ? "" : ", ") + std::string(allowed);
        fail(k.source(), join(prefix, k.str()), "unknown key (expected one of: " + list + ")");
      }
    }
  }

  const toml::node& need(const toml::table& t, const std::string& prefix, std::string_view key) const {
    if (auto* n = t.get(key)) return *n;
    fail(t.source(), join(prefix, key), "missing");
  }

  double number(const toml::node& n, const std::string& key) const {
    const auto v = n.value<double>();
    if (!n.is_number() || !v) fail(n.source(), key, "expected a number");
    if (!std::isfinite(*v)) fail(n.source(), key, "must be a finite number");
    return *v;
  }

  bool boolean(const toml::node& n, const std::string& key) const {
    if (!n.is_boolean()) fail(n.source(), key, "expected true or false");
    return *n.value<bool>();
  }

  std::string text(const toml::node& n, const std::string& key) const {
    if (!n.is_string()) fail(n.source(), key, "expected a string");
    return *n.value<std::string>();
  }

  const toml::table& table(const toml::node& n, const std::string& key) const {
    if (!n.is_table()) fail(n.source(), key, "expected a table [" + key + "]");
    return *n.as_table();
  }

  // A time: a string with a unit or a number of seconds.
  double time(const toml::node& n, const std::string& key) const {
    try {
      if (n.is_string()) return parse_time(*n.value<std::string>());
    } catch (const TimeError& e) {
      fail(n.source(), key, e.what());
    }
    if (n.is_number()) {
      // A bare number could be meant in any unit.
      std::ostringstream v;
      v << *n.value<double>();
      fail(n.source(), key, v.str() + " has no unit: write \"" + v.str() + "s\" (or ms, us)");
    }
    fail(n.source(), key, "expected a time with a unit, such as \"500ms\" or \"1.5s\"");
  }

  // Runs `fn` on each table of the array of tables `key` ([[key]] in the file).
  template <typename Fn>
  void each(const toml::table& root, std::string_view key, Fn fn) const {
    const toml::node* n = root.get(key);
    if (!n) return;
    const auto* array = n->as_array();
    if (!array || !array->is_array_of_tables()) {
      fail(n->source(), std::string(key), "expected one or more [[" + std::string(key) + "]] tables");
    }
    std::size_t i = 0;
    for (const auto& item : *array) {
      fn(*item.as_table(), std::string(key) + "[" + std::to_string(++i) + "]");
    }
  }

  void read_motor(const toml::table& t, Scenario& s) const {
    auto& m = s.motor_overrides;
    only(t, "motor",
         {"preset", "pole_pairs", "phase_resistance_ohm", "phase_inductance_h", "torque_constant_nm_per_a",
          "inertia_kg_m2", "viscous_nm_s_per_rad", "coulomb_friction_nm", "breakaway_torque_nm", "cogging_torque_nm",
          "supply_v"});
    s.motor_where = s.motor_preset_where = where(t.source());
    if (auto* n = t.get("preset")) {
      s.motor = text(*n, "motor.preset");
      s.motor_preset_where = where(n->source());
    }
    if (auto* n = t.get("pole_pairs")) {
      const auto v = n->value<std::int64_t>();
      if (!n->is_integer() || !v || *v < 1 || *v > 100) {
        fail(n->source(), "motor.pole_pairs", "expected a whole number from 1 to 100");
      }
      m.pole_pairs = static_cast<int>(*v);
    }
    auto positive = [&](const char* key, std::optional<double>& field) {
      if (auto* n = t.get(key)) {
        field = number(*n, std::string("motor.") + key);
        if (*field <= 0.0) fail(n->source(), std::string("motor.") + key, "must be greater than 0");
      }
    };
    auto not_negative = [&](const char* key, std::optional<double>& field) {
      if (auto* n = t.get(key)) {
        field = number(*n, std::string("motor.") + key);
        if (*field < 0.0) fail(n->source(), std::string("motor.") + key, "must not be negative");
      }
    };
    positive("phase_resistance_ohm", m.phase_resistance_ohm);
    positive("phase_inductance_h", m.phase_inductance_h);
    positive("torque_constant_nm_per_a", m.torque_constant_nm_per_a);
    positive("inertia_kg_m2", m.inertia_kg_m2);
    not_negative("viscous_nm_s_per_rad", m.viscous_nm_s_per_rad);
    not_negative("coulomb_friction_nm", m.coulomb_friction_nm);
    not_negative("breakaway_torque_nm", m.breakaway_torque_nm);
    not_negative("cogging_torque_nm", m.cogging_torque_nm);
    positive("supply_v", m.supply_v);
  }

  void read_gains(const toml::table& t, Gains& g) const {
    only(t, "gains", {"kp", "ki", "kd"});
    if (auto* n = t.get("kp")) g.kp = number(*n, "gains.kp");
    if (auto* n = t.get("ki")) g.ki = number(*n, "gains.ki");
    if (auto* n = t.get("kd")) g.kd = number(*n, "gains.kd");
  }

  MotorVariation read_variation(const toml::table& t, const std::string& at) const {
    only(t, at, {"name", "inertia_x", "friction_x", "supply_v"});
    MotorVariation v;
    v.where = where(t.source());
    if (auto* n = t.get("name")) v.name = text(*n, at + ".name");
    auto within = [&](const char* key, double lo, double hi, const char* range) -> std::optional<double> {
      const auto* n = t.get(key);
      if (!n) return std::nullopt;
      const double x = number(*n, at + "." + key);
      if (x < lo || x > hi) fail(n->source(), at + "." + key, std::string("must lie from ") + range);
      return x;
    };
    v.inertia_x = within("inertia_x", 0.1, 10.0, "0.1 to 10").value_or(1.0);
    v.friction_x = within("friction_x", 0.0, 10.0, "0 to 10").value_or(1.0);
    v.supply_v = within("supply_v", 1.0, 1000.0, "1 to 1000 V");
    return v;
  }

  Press read_press(const toml::table& t, const std::string& at, Scenario& s) const {
    only(t, at, {"key", "at", "hold"});
    Press p;
    const auto& key = need(t, at, "key");
    const std::string name = text(key, at + ".key");
    if (name == "up") {
      p.key = KeyName::kUp;
    } else if (name == "down") {
      p.key = KeyName::kDown;
    } else {
      fail(key.source(), at + ".key", "unknown key '" + name + "' (use \"up\" or \"down\")");
    }
    p.at_s = time(need(t, at, "at"), at + ".at");
    if (auto* n = t.get("hold")) p.hold_s = time(*n, at + ".hold");
    p.where = where(t.source()) + ": " + at;
    if (p.hold_s < kKeyDebounceS) {
      s.warnings.push_back(name_ + ":" + std::to_string(t.source().begin.line) + ": " + at + ".hold: " +
                           format_time(p.hold_s) + " is shorter than the keys' 10 ms debounce: the press will not register");
    }
    return p;
  }

  Fault read_fault(const toml::table& t, const std::string& at) const {
    only(t, at, {"kind", "from", "until", "percent", "width", "rate_hz", "bounce", "key"});
    Fault f;
    const auto& kind = need(t, at, "kind");
    const std::string name = text(kind, at + ".kind");
    const auto* info = vboard::fault_kind_named(name);
    if (!info) {
      std::string names;
      for (const auto& k : vboard::kFaultKinds) {
        names.append(names.empty() ? "\"" : ", \"").append(k.name).append("\"");
      }
      fail(kind.source(), at + ".kind", "unknown fault '" + name + "' (use " + names + ")");
    }
    f.kind = info->kind;
    if (auto* n = t.get("from")) f.from_s = time(*n, at + ".from");
    if (auto* n = t.get("until")) {
      f.until_s = time(*n, at + ".until");
      if (*f.until_s <= f.from_s) fail(n->source(), at + ".until", "must be later than from");
    }
    using vboard::FaultParameter;
    // A parameter key that the kind does not take is refused, naming the kind.
    auto refuse = [&](std::string_view key, bool allowed) {
      if (auto* n = t.get(key); n && !allowed) {
        fail(n->source(), at + "." + std::string(key), "a " + name + " fault has no " + std::string(key));
      }
    };
    const auto p = info->parameter;
    const bool chatter = f.kind == FaultKind::kKeyChatter;
    refuse("percent", p == FaultParameter::kPercent);
    refuse("width", p == FaultParameter::kWidthRate);
    refuse("rate_hz", p == FaultParameter::kWidthRate || p == FaultParameter::kRate);
    refuse("bounce", p == FaultParameter::kBounce);
    refuse("key", chatter);
    if (p == FaultParameter::kPercent) {
      const auto& pct = need(t, at, "percent");
      f.percent = number(pct, at + ".percent");
      if (f.kind == FaultKind::kPwmFrequency) {
        if (f.percent <= -100.0 || f.percent > 1000.0 || f.percent == 0.0) {
          fail(pct.source(), at + ".percent", "must lie above -100 and at most 1000, and not be 0");
        }
      } else if (f.percent <= 0.0 || f.percent > 100.0) {
        fail(pct.source(), at + ".percent", "must lie above 0 and at most 100");
      }
    }
    if (p == FaultParameter::kWidthRate) {
      const auto& w = need(t, at, "width");
      f.width_s = time(w, at + ".width");
      if (f.width_s <= 0.0 || f.width_s > 1.5e-3) fail(w.source(), at + ".width", "must lie above 0 and at most 1.5ms");
    }
    if (p == FaultParameter::kWidthRate || p == FaultParameter::kRate) {
      const auto& r = need(t, at, "rate_hz");
      f.rate_hz = number(r, at + ".rate_hz");
      if (!(f.rate_hz >= kMinRateHz && f.rate_hz <= kMaxRateHz)) {
        fail(r.source(), at + ".rate_hz", "must lie from 0.000001 (once in the longest run) to 100000");
      }
    }
    if (p == FaultParameter::kBounce) {
      const auto& b = need(t, at, "bounce");
      f.bounce_s = time(b, at + ".bounce");
      if (f.bounce_s <= 0.0 || f.bounce_s > 0.1) fail(b.source(), at + ".bounce", "must lie above 0 and at most 100ms");
    }
    if (chatter) {
      if (auto* n = t.get("key")) {
        const std::string k = text(*n, at + ".key");
        if (k == "up") {
          f.key = KeyName::kUp;
        } else if (k == "down") {
          f.key = KeyName::kDown;
        } else {
          fail(n->source(), at + ".key", "unknown key '" + k + "' (use \"up\" or \"down\")");
        }
      }
    }
    if (f.kind == FaultKind::kCrystalFails) {
      // The crystal is started once, at reset: only a failure from power-on means anything.
      if (f.from_s != 0.0) fail(t.get("from")->source(), at + ".from", "a crystal fails at start-up: from must be 0");
      if (auto* n = t.get("until")) fail(n->source(), at + ".until", "a crystal that failed at start-up stays failed");
    }
    return f;
  }

  // A [[setpoint]]: kind "step" (at, to_deg), "ramp" (from, until,
  // rate_dps), "sine" (from, until, amplitude_deg, hz) or "chirp" (from,
  // until, amplitude_deg, from_hz, to_hz, sweep "lin" or "log").
  SetpointEntry read_setpoint(const toml::table& t, const std::string& at) const {
    SetpointEntry e;
    const auto& kind = need(t, at, "kind");
    const std::string name = text(kind, at + ".kind");
    auto value = [&](const char* key) { return number(need(t, at, key), at + "." + key); };
    auto window = [&] {
      e.from_s = time(need(t, at, "from"), at + ".from");
      e.until_s = time(need(t, at, "until"), at + ".until");
    };
    if (name == "step") {
      only(t, at, {"kind", "at", "to_deg"});
      e.kind = SetpointKind::kStep;
      e.from_s = time(need(t, at, "at"), at + ".at");
      e.deg = value("to_deg");
    } else if (name == "ramp") {
      only(t, at, {"kind", "from", "until", "rate_dps"});
      e.kind = SetpointKind::kRamp;
      window();
      e.rate_dps = value("rate_dps");
    } else if (name == "sine") {
      only(t, at, {"kind", "from", "until", "amplitude_deg", "hz"});
      e.kind = SetpointKind::kSine;
      window();
      e.deg = value("amplitude_deg");
      e.hz = value("hz");
    } else if (name == "chirp") {
      only(t, at, {"kind", "from", "until", "amplitude_deg", "from_hz", "to_hz", "sweep"});
      e.kind = SetpointKind::kChirp;
      window();
      e.deg = value("amplitude_deg");
      e.hz = value("from_hz");
      e.to_hz = value("to_hz");
      if (auto* n = t.get("sweep")) {
        const std::string sweep = text(*n, at + ".sweep");
        if (sweep != "lin" && sweep != "log") fail(n->source(), at + ".sweep", "expected \"lin\" or \"log\"");
        e.log_sweep = sweep == "log";
      }
    } else {
      fail(kind.source(), at + ".kind", "unknown setpoint kind '" + name + "' (use \"step\", \"ramp\", \"sine\" or \"chirp\")");
    }
    if (auto p = setpoint_problem(e)) {
      const toml::node* n = t.get(p->key);
      fail(n ? n->source() : t.source(), at + "." + p->key, p->why);
    }
    e.where = where(t.source()) + ": " + at;
    return e;
  }

  void read_bode(const toml::table& t, BodeSettings& b) const {
    only(t, "bode", {"from_hz", "to_hz", "points", "identify_gains", "amplitude_deg", "describing"});
    b.given = true;
    auto hz = [&](const char* key, double& field) {
      if (auto* n = t.get(key)) {
        field = number(*n, std::string("bode.") + key);
        if (field < kBodeMinHz || field > kBodeMaxHz) fail(n->source(), std::string("bode.") + key, "must lie from 0.05 to 45 Hz");
      }
    };
    hz("from_hz", b.from_hz);
    hz("to_hz", b.to_hz);
    if (b.to_hz <= b.from_hz) fail(t.source(), "bode.to_hz", "must be above from_hz");
    if (auto* n = t.get("points")) {
      const auto v = n->value<std::int64_t>();
      if (!n->is_integer() || !v || *v < 2 || *v > kBodeMaxPoints) fail(n->source(), "bode.points", "expected a whole number from 2 to 200");
      b.points = static_cast<int>(*v);
    }
    if (auto* n = t.get("amplitude_deg")) {
      b.amplitude_deg = number(*n, "bode.amplitude_deg");
      if (*b.amplitude_deg <= 0.0 || *b.amplitude_deg > kBodeMaxAmplitudeDeg) {
        fail(n->source(), "bode.amplitude_deg", "must lie above 0 and at most 300 degrees");
      }
    }
    if (auto* n = t.get("identify_gains")) {
      const auto* a = n->as_array();
      if (!a || a->size() != 3) fail(n->source(), "bode.identify_gains", "expected [kp, ki, kd]");
      Gains g;
      g.kp = number(*a->get(0), "bode.identify_gains");
      g.ki = number(*a->get(1), "bode.identify_gains");
      g.kd = number(*a->get(2), "bode.identify_gains");
      b.identify_gains = g;
    }
    if (auto* n = t.get("describing")) b.describing = boolean(*n, "bode.describing");
  }

  // Nothing may happen at or after the end of the run: it would be dropped.
  void check_times(const toml::table& root, const Scenario& s) const {
    const auto late = first_late_event(s);
    if (!late) return;
    const auto& item = *root.get(late->list)->as_array()->get(late->index)->as_table();
    fail(item.get(late->key)->source(),
         std::string(late->list) + "[" + std::to_string(late->index + 1) + "]." + late->key,
         past_the_end(late->at_s, s.duration_s, "duration"));
  }

  std::string name_;
};

}  // namespace

Scenario parse_scenario(std::string_view text, const std::string& name) { return Reader(name).read(text); }

Scenario read_scenario(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError(path + ": cannot open the scenario file");
  // Read a bounded amount: a device (/dev/zero) or a huge file never ends.
  std::string text(kMaxScenarioBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxScenarioBytes) {
    throw ScenarioError(path + ": larger than " + std::to_string(kMaxScenarioBytes >> 20) +
                        " MiB: not a scenario file");
  }
  return parse_scenario(text, path);
}

std::string past_the_end(double at_s, double duration_s, const std::string& duration_name) {
  if (before_the_end(at_s, duration_s)) return {};
  return format_time(at_s) + " is not before the end of the run (" + duration_name + " " + format_time(duration_s) + ")";
}

std::optional<LateEvent> first_late_event(const Scenario& s) {
  auto first = [&s](const auto& list, auto at, const char* name, const char* key,
                    const char* what) -> std::optional<LateEvent> {
    for (std::size_t i = 0; i < list.size(); ++i) {
      const double t = at(list[i]);
      if (!before_the_end(t, s.duration_s)) return LateEvent{name, key, what, i, t};
    }
    return std::nullopt;
  };
  if (auto late = first(s.presses, [](const Press& p) { return p.at_s; }, "press", "at", "key press")) return late;
  if (auto late = first(s.loads, [](const LoadStep& l) { return l.at_s; }, "load", "at", "load step")) return late;
  // A fault without `from` starts at 0, before any end.
  if (auto late = first(s.faults, [](const Fault& f) { return f.from_s; }, "fault", "from", "fault")) return late;
  if (auto late = first(s.floods, [](const Flood& f) { return f.at_s; }, "flood", "at", "flood")) return late;
  if (auto late = first(s.setpoints, [](const SetpointEntry& e) { return e.from_s; }, "setpoint", "from", "setpoint")) {
    if (s.setpoints[late->index].kind == SetpointKind::kStep) late->key = "at";
    return late;
  }
  return std::nullopt;
}

const char* fault_name(FaultKind kind) { return vboard::fault_kind_name(kind).data(); }

const char* key_name(KeyName key) { return key == KeyName::kUp ? "up" : "down"; }

}  // namespace run
