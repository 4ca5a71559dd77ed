// vboard-run's live page in a real (headless) browser, for the whole default run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "browser.h"
#include "http_client.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_browser::chromium;
using test_browser::url_in;
using test_http::http;
using test_process::Child;
using test_process::read_file;
using test_process::work_dir;

TEST(LivePage, TheVirtualBoardsDefaultRunInAScreenshot) {
  if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
  const fs::path dir = work_dir();
  Child run({VBOARD_RUN, "--scenario", SCENARIO_DIR "/default.toml", "--serve", "127.0.0.1:0", "-q"}, dir / "run.out",
            dir / "run.err");
  ASSERT_TRUE(run.wait_for_output("X-Live-Token", 20s)) << run.stderr_text();
  const std::string url = url_in(run.stderr_text());
  // The whole 4 s run: the page stops following when the run ends.
  const fs::path shot = dir / "live-page.png";
  Child browser(chromium(dir, "--screenshot=" + shot.string(), url + "?seconds=10"), dir / "shot.out", dir / "shot.err");
  std::this_thread::sleep_for(1s);
  const std::string page = http(std::stoi(url.substr(17)), "GET /") + http(std::stoi(url.substr(17)), "GET /api/status");
  EXPECT_EQ(page.find(fs::current_path().string()), std::string::npos) << "a machine path on the page";
  EXPECT_NE(page.find("virtual board, USART3"), std::string::npos) << page;
  EXPECT_EQ(browser.wait(60s), 0) << read_file(dir / "shot.err");
  EXPECT_EQ(run.wait(20s), 0) << run.stderr_text();
  EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0u, 10'000u);
  std::printf("screenshot: %s\n", shot.c_str());
}

}  // namespace
