#include "result_file.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "output_files.h"

namespace tune {

namespace {

constexpr const char* kMagic = "# vboard-tune results 1";
constexpr const char* kColumns =
    "# index\tkp\tki\tkd\tcost\tiae_deg_s\tovershoot_pct\tring_deg\tsettling_s\tpeak_current_a\tclamp_share\tfailures";
constexpr std::size_t kFields = 12;
constexpr std::size_t kMaxShards = 10000;

bool whole_number(const std::string& text, std::size_t& v) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

std::string shard_text(Shard s) { return std::to_string(s.k) + "/" + std::to_string(s.n); }

// The header's value after "# key: ", or throws.
std::string field(const std::string& line, const std::string& key, const std::string& where) {
  const std::string lead = "# " + key + ": ";
  if (line.compare(0, lead.size(), lead) != 0) throw TuneError(where + ": expected '" + lead + "...'");
  return line.substr(lead.size());
}

}  // namespace

Shard parse_shard(const std::string& text) {
  const auto slash = text.find('/');
  Shard s;
  if (slash == std::string::npos || !whole_number(text.substr(0, slash), s.k) ||
      !whole_number(text.substr(slash + 1), s.n)) {
    throw TuneError("--shard: '" + text + "' is not K/N, e.g. 2/4");
  }
  if (s.n < 1 || s.n > kMaxShards) throw TuneError("--shard: '" + text + "': N must be from 1 to 10000");
  if (s.k < 1 || s.k > s.n) throw TuneError("--shard: '" + text + "': K must be from 1 to N (shards count from 1)");
  return s;
}

std::vector<std::size_t> shard_indices(std::size_t grid_size, Shard shard) {
  std::vector<std::size_t> v;
  for (std::size_t i = shard.k - 1; i < grid_size; i += shard.n) v.push_back(i);
  return v;
}

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

std::string result_line(const Result& r) {
  const auto& e = r.eval;
  const auto& p = e.parts;
  std::string line = std::to_string(r.index);
  for (double v : {r.gains.kp, r.gains.ki, r.gains.kd, e.cost, p.iae_deg_s, p.overshoot_pct, p.ring_deg, p.settling_s,
                   p.peak_current_a, e.clamp_share}) {
    line += '\t';
    line += number_text(v);
  }
  line += '\t';
  line += failure_text(e.failures);
  return line;
}

Result parse_result_line(const std::string& line) {
  std::vector<std::string> f;
  std::istringstream in(line);
  std::string item;
  while (std::getline(in, item, '\t')) f.push_back(item);
  if (f.size() != kFields) {
    throw std::invalid_argument("expected " + std::to_string(kFields) + " tab-separated fields, found " +
                                std::to_string(f.size()));
  }
  Result r;
  if (!whole_number(f[0], r.index)) throw std::invalid_argument("index '" + f[0] + "' is not a whole number");
  double* const numbers[] = {&r.gains.kp,           &r.gains.ki,           &r.gains.kd,           &r.eval.cost,
                             &r.eval.parts.iae_deg_s, &r.eval.parts.overshoot_pct, &r.eval.parts.ring_deg,
                             &r.eval.parts.settling_s, &r.eval.parts.peak_current_a, &r.eval.clamp_share};
  for (std::size_t i = 0; i < 10; ++i) {
    if (!read_number(f[i + 1], *numbers[i])) throw std::invalid_argument("'" + f[i + 1] + "' is not a number");
  }
  if (!parse_failures(f[11], r.eval.failures)) throw std::invalid_argument("unknown failures '" + f[11] + "'");
  return r;
}

std::string results_text(const ResultFile& file) {
  const auto& h = file.header;
  std::string text = std::string(kMagic) + "\n# objective: " + one_line(h.objective) + "\n# grid: " + grid_text(h.grid) +
                     "\n# weights: " + weights_text(h.weights) + "\n# shard: " + shard_text(h.shard) + "\n" +
                     kColumns + "\n";
  for (const auto& r : file.results) text += result_line(r) + "\n";
  return text;
}

void write_results(const std::string& path, const ResultFile& file) {
  files::AtomicFile out(path);
  const std::string text = results_text(file);
  if (std::fwrite(text.data(), 1, text.size(), out.stream()) != text.size()) {
    throw std::runtime_error(path + ": cannot write");
  }
  out.commit();
}

ResultFile parse_results(const std::string& text, const std::string& name) {
  std::istringstream in(text);
  std::string line;
  std::size_t number = 0;
  auto next = [&]() {
    ++number;
    if (!std::getline(in, line)) throw TuneError(name + ": ends after line " + std::to_string(number - 1));
    return name + ":" + std::to_string(number);
  };
  ResultFile file;
  auto& h = file.header;
  auto where = next();
  if (line != kMagic) throw TuneError(where + ": not a results file of the tuner (expected '" + kMagic + "')");
  where = next();
  h.objective = field(line, "objective", where);
  try {
    where = next();
    h.grid = parse_grid_text(field(line, "grid", where));
    where = next();
    parse_weights(field(line, "weights", where), h.weights, "weights");
    where = next();
    h.shard = parse_shard(field(line, "shard", where));
  } catch (const TuneError& e) {
    throw TuneError(where + ": " + e.what());
  }
  where = next();
  if (line != kColumns) throw TuneError(where + ": expected the column heading '" + std::string(kColumns) + "'");

  const auto all = grid(h.grid);
  const auto expected = shard_indices(all.size(), h.shard);
  while (std::getline(in, line)) {
    where = name + ":" + std::to_string(++number);
    Result r;
    try {
      r = parse_result_line(line);
    } catch (const std::invalid_argument& e) {
      throw TuneError(where + ": " + e.what());
    }
    const std::size_t at = file.results.size();
    if (at >= expected.size() || r.index != expected[at]) {
      throw TuneError(where + ": candidate " + std::to_string(r.index) + " where shard " + shard_text(h.shard) +
                      (at < expected.size() ? " has candidate " + std::to_string(expected[at]) : " has no more"));
    }
    if (!(r.gains == all[r.index])) {
      throw TuneError(where + ": the gains of candidate " + std::to_string(r.index) + " are not the grid's");
    }
    file.results.push_back(r);
  }
  if (file.results.size() != expected.size()) {
    throw TuneError(name + ": " + std::to_string(file.results.size()) + " of shard " + shard_text(h.shard) + "'s " +
                    std::to_string(expected.size()) + " candidates (an interrupted or cut file?)");
  }
  return file;
}

ResultFile read_results(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TuneError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return parse_results(text.str(), path);
}

ResultFile merge_results(const std::vector<ResultFile>& shards, const std::vector<std::string>& names) {
  if (shards.empty()) throw TuneError("merge: no results files given");
  const auto& first = shards[0].header;
  std::vector<const ResultFile*> by_k(first.shard.n, nullptr);
  for (std::size_t i = 0; i < shards.size(); ++i) {
    const auto& h = shards[i].header;
    const std::string& name = i < names.size() ? names[i] : "file " + std::to_string(i + 1);
    if (h.objective != first.objective || grid_text(h.grid) != grid_text(first.grid) ||
        weights_text(h.weights) != weights_text(first.weights)) {
      throw TuneError(name + ": another objective, grid or weights than " + (names.empty() ? "the first" : names[0]));
    }
    if (h.shard.n != first.shard.n) {
      throw TuneError(name + ": shard " + shard_text(h.shard) + " does not belong with shard " +
                      shard_text(first.shard));
    }
    if (by_k[h.shard.k - 1] != nullptr) throw TuneError(name + ": shard " + shard_text(h.shard) + " given twice");
    by_k[h.shard.k - 1] = &shards[i];
  }
  for (std::size_t k = 0; k < by_k.size(); ++k) {
    if (by_k[k] == nullptr) throw TuneError("merge: shard " + shard_text({k + 1, first.shard.n}) + " is missing");
  }
  ResultFile whole;
  whole.header = first;
  whole.header.shard = {};
  const std::size_t total = grid_size(first.grid);
  whole.results.reserve(total);
  for (std::size_t i = 0; i < total; ++i) {
    whole.results.push_back(by_k[i % first.shard.n]->results[i / first.shard.n]);
  }
  return whole;
}

}  // namespace tune
