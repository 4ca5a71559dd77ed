// The scenario that carries the tuned gains: the rest of the scenario, and
// its comments, stay as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "scenario.h"
#include "scenario_out.h"

namespace {

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ScenarioOut, GainsReplacedOrAddedAndTheRestKept) {
  const tune::Gains g{0.31622776601683794, 0.0, 1.0 / 3.0};
  const std::string base = file_text(SCENARIO_DIR "/default.toml");
  const std::string added = tune::with_gains(base, g, "tuned: cost 22.7", "tuned.toml");
  EXPECT_EQ(added.substr(0, base.size()), base);
  EXPECT_NE(added.find("# tuned: cost 22.7\n[gains]\nkp = 0.31622776601683794\nki = 0\nkd = 0.3333333333333333\n"),
            std::string::npos);
  const auto a = run::parse_scenario(added, "tuned.toml");
  const auto b = run::parse_scenario(base, "default.toml");
  EXPECT_EQ(a.presses.size(), b.presses.size());
  EXPECT_EQ(a.duration_s, b.duration_s);

  // A [gains] table in the middle, and gains as root keys, are replaced.
  const std::string middle =
      "duration = \"2s\"\n[gains] # old\nkp = 0.5\n# keep me\nkd = 0.01\n[[press]]\nkey = \"up\"\nat = \"1s\"\n";
  const std::string replaced = tune::with_gains(middle, g, "", "m.toml");
  EXPECT_EQ(count(replaced, "[gains]"), 1u);
  EXPECT_NE(replaced.find("# keep me\n[[press]]"), std::string::npos);
  EXPECT_EQ(run::parse_scenario(replaced, "m.toml").presses.size(), 1u);
  EXPECT_EQ(count(tune::with_gains("gains.kp = 1\nduration = \"1s\"\n", g, "", "r.toml"), "kp ="), 1u);
  EXPECT_THROW(tune::with_gains("duration = \"4s\n", g, "", "bad.toml"), std::runtime_error);

  const auto dir = std::filesystem::temp_directory_path() / ("tune-out-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "tuned.toml").string();
  tune::write_scenario(path, added);
  EXPECT_EQ(file_text(path), added);
  std::filesystem::remove_all(dir);
  EXPECT_NE(tune::how_to_use(g, path).find("--gains 0.31622776601683794,0,0.3333333333333333"), std::string::npos);
}

}  // namespace
