// The CSV of a run and its gnuplot picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "progress.h"
#include "series.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

run::Series sample_series() {
  run::Series s;
  s.names = run::run_columns();
  for (int i = 0; i < 50; ++i) {
    std::vector<double> row(s.names.size(), std::nan(""));
    row[0] = i * 0.01;
    row[1] = i < 10 ? 0 : 100;
    row[2] = i < 10 ? 0 : 100 - 100 * std::exp(-(i - 10) / 5.0);
    row[3] = row[1];
    row[4] = row[2];
    row[5] = row[2] + 0.123456;
    row[7] = 0.5;
    s.rows.push_back(row);
  }
  return s;
}

TEST(Series, CsvHasUnitsInTheHeaderAndKeepsPrecision) {
  const auto dir = std::filesystem::temp_directory_path() / "run_series_test";
  std::filesystem::create_directories(dir);
  const std::string csv = (dir / "run.csv").string();
  auto s = sample_series();
  s.rows[1][0] = 1234.000001;  // a microsecond late in a long run
  run::write_csv(csv, s);
  const std::string text = slurp(csv);
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "t_s,setpoint_deg,telemetry_deg,setpoint_unwrapped_deg,telemetry_unwrapped_deg,shaft_deg,error_deg,uq_v,duty_a,duty_b,duty_c,ia_a,ib_a,ic_a,torque_nm,"
            "speed_rpm,u_applied_v,drive_on");
  EXPECT_NE(text.find("\n1234.000001,"), std::string::npos);
  EXPECT_NE(text.find(",0.5,,,,,,,,,,\n"), std::string::npos) << "unmeasured columns stay empty";
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 51);
  EXPECT_THROW(run::write_csv((dir / "missing" / "x.csv").string(), s), std::runtime_error);
  s.rows[3].pop_back();
  EXPECT_THROW(run::write_csv(csv, s), std::runtime_error);
}

TEST(Series, PlotMakesPngAndSvgAndQuotesPaths) {
  const auto dir = std::filesystem::temp_directory_path() / "run plot's test";  // a space and a quote
  std::filesystem::create_directories(dir);
  const std::string csv = (dir / "run.csv").string();
  run::write_csv(csv, sample_series());
  for (const char* name : {"run.png", "run.svg"}) {
    const std::string image = (dir / name).string();
    std::filesystem::remove(image);
    ASSERT_NO_THROW(run::write_plot(image, csv, "test"));
    EXPECT_GT(std::filesystem::file_size(image), 1000u) << image;
  }
  EXPECT_NE(slurp((dir / "run.svg").string()).find("<svg"), std::string::npos);
  EXPECT_THROW(run::write_plot((dir / "run.pdf").string(), csv, "t"), std::runtime_error);
  // A series without the angle columns cannot be drawn.
  EXPECT_THROW(run::plot_script("a.png", "a.csv", "t", {"t_s", "uq_v"}), std::runtime_error);
}

// A failed write is reported with its reason; a failed plot leaves the
// image that stood there untouched, and no new one behind.
TEST(Series, FailedOutputsSayWhyAndLeaveNothingHalfWritten) {
  try {
    run::write_csv("/dev/full", sample_series());
    ADD_FAILURE() << "a full device took the CSV";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/dev/full: write failed"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
  }
  const auto dir = std::filesystem::temp_directory_path() / "run_series_failed";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto undrawable = sample_series();
  for (auto& row : undrawable.rows) std::fill(row.begin() + 1, row.end(), std::nan(""));
  const std::string kept = (dir / "kept.png").string();
  std::ofstream(kept) << "before";
  EXPECT_THROW(run::write_plot_of(kept, undrawable, "t"), std::runtime_error);
  EXPECT_THROW(run::write_plot_of((dir / "new.png").string(), undrawable, "t"), std::runtime_error);
  EXPECT_EQ(slurp(kept), "before");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
}

TEST(Progress, TextShowsSpeedAndTimeLeft) {
  EXPECT_EQ(run::progress_text(12.0, 60.0, 2.0), "12.0 s of 60.0 s virtual, 6 x real time, 8 s left");
  EXPECT_EQ(run::progress_text(10.0, 3610.0, 1.0), "10.0 s of 3610.0 s virtual, 10 x real time, 6 min 00 s left");
}

}  // namespace
