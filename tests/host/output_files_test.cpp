// Outputs checked before a run and put in place only when complete.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "output_files.h"

namespace {

namespace fs = std::filesystem;

class OutputFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("output-files-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string at(const std::string& name) const { return (dir_ / name).string(); }
  static void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {})); }

  fs::path dir_;
};

TEST_F(OutputFiles, RefusesAnOutputThatNamesAnInputOrAnotherOutputHoweverSpelt) {
  write(at("scenario.toml"), "x");
  const std::string spelt_otherwise = (dir_ / "sub" / ".." / "scenario.toml").string();
  fs::create_directories(dir_ / "sub");
  fs::create_symlink(at("scenario.toml"), at("link.toml"));

  const auto in = std::vector<files::Named>{{"--scenario", at("scenario.toml")}};
  EXPECT_NE(files::check_outputs(in, {{"--csv", spelt_otherwise}}).find("is the file that --scenario reads"), std::string::npos);
  EXPECT_NE(files::check_outputs(in, {{"--csv", at("link.toml")}}), "");
  // Two outputs that do not exist yet, one spelt with "./".
  const std::string same = files::check_outputs(in, {{"--csv", at("same.png")}, {"--plot", (dir_ / "." / "same.png").string()}});
  EXPECT_NE(same.find("is also the output of --csv"), std::string::npos) << same;
  EXPECT_EQ(files::check_outputs(in, {{"--csv", at("run.csv")}, {"--plot", at("run.png")}}), "");
}

TEST_F(OutputFiles, RefusesFoldersThatAreMissingOrNotFoldersBeforeAnythingIsWritten) {
  EXPECT_NE(files::check_outputs({}, {{"--csv", at("missing/x.csv")}}).find("does not exist"), std::string::npos);
  EXPECT_NE(files::check_outputs({}, {{"--csv", dir_.string()}}).find("is a folder"), std::string::npos);
  EXPECT_NE(files::check_outputs({}, {{"--csv", ""}}).find("no file named"), std::string::npos);
  // A device is written as it stands.
  EXPECT_EQ(files::check_outputs({}, {{"--csv", "/dev/null"}}), "");
  EXPECT_EQ(entries(), 0u);
}

TEST_F(OutputFiles, AFileTakesItsNameOnlyWhenCommitted) {
  write(at("run.csv"), "old");
  {
    files::AtomicFile f(at("run.csv"));
    std::fputs("new", f.stream());
    EXPECT_EQ(read(at("run.csv")), "old");  // the old file stands while the new one is written
  }
  EXPECT_EQ(read(at("run.csv")), "old");  // abandoned: nothing replaced, nothing left behind
  EXPECT_EQ(entries(), 1u);

  files::AtomicFile f(at("run.csv"));
  std::fputs("new", f.stream());
  f.commit();
  EXPECT_EQ(read(at("run.csv")), "new");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(OutputFiles, AWriteErrorIsSeenAtOnceAndReportedAtCommit) {
  files::AtomicFile f("/dev/full");
  const std::string block(1 << 16, 'x');
  std::fwrite(block.data(), 1, block.size(), f.stream());
  EXPECT_TRUE(f.failed());
  EXPECT_THROW(f.commit(), std::runtime_error);
}

}  // namespace
