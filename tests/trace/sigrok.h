// sigrok-cli run on a dump with one protocol decoder: its annotations, each
// with its start (microseconds from the dump's first time), row and text.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "process.h"

namespace sigrok {

struct Annotation {
  double at_us;
  std::string row;
  std::string text;
};

inline std::vector<Annotation> decode(const std::filesystem::path& dump, const std::string& decoder,
                                      const std::string& annotations) {
  const std::filesystem::path out = dump.string() + ".json", err = dump.string() + ".err";
  EXPECT_TRUE(std::filesystem::exists(SIGROK_CLI)) << "sigrok-cli is missing: scripts/install-deps.sh installs it";
  test_process::Child child({SIGROK_CLI, "-I", "vcd", "-i", dump.string(), "-P", decoder, "-A", annotations,
                             "--protocol-decoder-jsontrace"},
                            out, err);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << test_process::read_file(err);
  std::vector<Annotation> found;
  const std::string json = test_process::read_file(out);
  const std::regex event(R"re("ph": "B", "ts": ([0-9.]+), [^}]*"tid": "([^"]+)", "name": "([^"]*)")re");
  for (std::sregex_iterator m(json.begin(), json.end(), event), end; m != end; ++m) {
    found.push_back({std::stod((*m)[1]), (*m)[2], (*m)[3]});
  }
  return found;
}

// The annotations of `row` read as hexadecimal numbers (data words).
inline std::vector<unsigned> words(const std::vector<Annotation>& found, const std::string& row) {
  std::vector<unsigned> out;
  for (const Annotation& a : found) {
    if (a.row == row) out.push_back(static_cast<unsigned>(std::stoul(a.text, nullptr, 16)));
  }
  return out;
}

}  // namespace sigrok
