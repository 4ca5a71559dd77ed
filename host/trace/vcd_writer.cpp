#include "vcd_writer.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "output_files.h"

namespace trace {

namespace {

constexpr std::uint64_t kNsPerSecond = 1'000'000'000u;

// Short identifiers in the characters '!' to '~', as the format allows.
std::string code_of(std::size_t index) {
  constexpr std::size_t kFirst = 33;
  constexpr std::size_t kBase = 94;
  std::string code;
  do {
    code.push_back(static_cast<char>(kFirst + index % kBase));
    index /= kBase;
  } while (index != 0);
  return code;
}

void check_name(std::string_view what, std::string_view name) {
  bool ok = !name.empty() && name.front() != '$';
  for (const char c : name) ok = ok && c > ' ' && c <= '~';
  if (!ok) throw std::invalid_argument("trace: bad " + std::string(what) + " name '" + std::string(name) + "'");
}

bool before(const auto& a, const auto& b) { return a.time != b.time ? a.time < b.time : a.order < b.order; }

}  // namespace

Ns to_ns(std::uint64_t count, std::uint64_t per_second) {
  if (per_second == 0) throw std::invalid_argument("trace: a clock of 0 Hz");
  using Wide = unsigned __int128;
  const Wide ns = (static_cast<Wide>(count) * kNsPerSecond + per_second / 2) / per_second;
  if (ns > std::numeric_limits<Ns>::max()) throw std::out_of_range("trace: time beyond 2^64 ns");
  return static_cast<Ns>(ns);
}

VcdWriter::VcdWriter(Window window, std::size_t max_changes) : window_(window), max_changes_(max_changes) {
  if (window.to <= window.from) throw std::invalid_argument("trace: the window ends before it starts");
  if (max_changes == 0) throw std::invalid_argument("trace: a bound of 0 changes");
}

VcdWriter::Signal VcdWriter::wire(std::string_view scope, std::string_view name, bool initial) {
  check_name("scope", scope);
  check_name("signal", name);
  for (const Wire& w : wires_) {
    if (w.scope == scope && w.name == name) {
      throw std::invalid_argument("trace: signal " + std::string(scope) + "." + std::string(name) + " declared twice");
    }
  }
  wires_.push_back({std::string(scope), std::string(name), code_of(wires_.size()), initial, initial, 0});
  return static_cast<Signal>(wires_.size() - 1);
}

VcdWriter::Wire& VcdWriter::at(Signal signal) {
  if (signal >= wires_.size()) throw std::invalid_argument("trace: unknown signal");
  return wires_[signal];
}

bool VcdWriter::level(Signal signal) const {
  if (signal >= wires_.size()) throw std::invalid_argument("trace: unknown signal");
  return wires_[signal].last;
}

void VcdWriter::change(Signal signal, Ns t, bool level) {
  Wire& w = at(signal);
  if (t < w.last_time) {
    throw std::invalid_argument("trace: " + w.scope + "." + w.name + " changes at " + std::to_string(t) +
                                " ns, before its change at " + std::to_string(w.last_time) + " ns");
  }
  w.last_time = t;
  if (level == w.last) return;
  w.last = level;
  if (t <= window_.from) {
    w.at_from = level;
    return;
  }
  if (t >= end()) return;
  changes_.push_back({t, recorded_++, signal, level});
  std::push_heap(changes_.begin(), changes_.end(), [](const Change& a, const Change& b) { return before(a, b); });
  if (changes_.size() > max_changes_) drop_latest();
}

// Past the bound the window ends at the latest time held: every change at
// that time goes, so what stays is the whole dump up to it.
void VcdWriter::drop_latest() {
  const auto order = [](const Change& a, const Change& b) { return before(a, b); };
  const Ns end = changes_.front().time;
  while (!changes_.empty() && changes_.front().time == end) {
    std::pop_heap(changes_.begin(), changes_.end(), order);
    changes_.pop_back();
  }
  cut_ = end;
}

bool VcdWriter::write(std::FILE* out) const {
  std::string text;
  bool ok = true;
  const auto flush = [&](bool last) {
    if (!last && text.size() < 65536) return;
    ok = ok && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    text.clear();
  };

  text += "$comment window " + std::to_string(window_.from) + " ns to " + std::to_string(window_.to) +
          " ns of virtual time";
  if (cut_) {
    text += ", cut at " + std::to_string(*cut_) + " ns: the bound of " + std::to_string(max_changes_) +
            " changes was reached";
  }
  text += " $end\n$timescale 1ns $end\n";

  // One module per scope, in the order the scopes were first declared.
  std::vector<std::string> scopes;
  for (const Wire& w : wires_) {
    if (std::find(scopes.begin(), scopes.end(), w.scope) == scopes.end()) scopes.push_back(w.scope);
  }
  for (const std::string& scope : scopes) {
    text += "$scope module " + scope + " $end\n";
    for (const Wire& w : wires_) {
      if (w.scope == scope) text += "$var wire 1 " + w.code + " " + w.name + " $end\n";
    }
    text += "$upscope $end\n";
  }
  text += "$enddefinitions $end\n#" + std::to_string(window_.from) + "\n$dumpvars\n";
  std::vector<bool> now(wires_.size());
  for (std::size_t i = 0; i < wires_.size(); ++i) {
    now[i] = wires_[i].at_from;
    text += (now[i] ? '1' : '0') + wires_[i].code + "\n";
  }
  text += "$end\n";

  std::vector<Change> sorted = changes_;
  std::sort(sorted.begin(), sorted.end(), [](const Change& a, const Change& b) { return before(a, b); });
  // Several changes of one signal at one time leave only the last; a signal
  // back at its level by then shows nothing.
  std::vector<bool> pending(wires_.size());
  std::vector<Signal> touched;
  for (std::size_t i = 0; i < sorted.size();) {
    const Ns t = sorted[i].time;
    touched.clear();
    for (; i < sorted.size() && sorted[i].time == t; ++i) {
      const Signal s = sorted[i].signal;
      if (std::find(touched.begin(), touched.end(), s) == touched.end()) touched.push_back(s);
      pending[s] = sorted[i].level;
    }
    bool stamped = false;
    for (const Signal s : touched) {
      if (pending[s] == now[s]) continue;
      if (!stamped) {
        text += '#';
        text += std::to_string(t);
        text += '\n';
      }
      stamped = true;
      now[s] = pending[s];
      text += (now[s] ? '1' : '0') + wires_[s].code + "\n";
    }
    flush(false);
  }
  // The end of the window, so that viewers show all of it.
  text += '#';
  text += std::to_string(end());
  text += '\n';
  flush(true);
  return ok;
}

void VcdWriter::write(const std::string& path) const {
  files::AtomicFile file(path);
  if (!write(file.stream())) throw std::runtime_error("trace: cannot write " + path);
  file.commit();
}

}  // namespace trace
