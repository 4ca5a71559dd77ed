// The live page: its routes, a browser that stops reading, and the page in
// a real (headless) browser fed from a replay.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "http_client.h"
#include "live_server.h"
#include "process.h"
#include "recording.h"
#include "sensor_frame.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_process::Child;
using test_process::read_file;
using test_process::work_dir;
using test_http::connect_local;
using test_http::http;

TEST(LiveServer, ServesThePageItsScriptAndActionsAndNothingElse) {
  station::LiveServer server({});
  int pressed = 0;
  server.add_action("up", "Up", [&] { return "pressed " + std::to_string(++pressed); });
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  server.publish_status(R"({"frames":3})");
  EXPECT_NE(http(server.port(), "GET /").find("200 OK"), std::string::npos);
  EXPECT_NE(http(server.port(), "GET /").find("new EventSource(\"/events\")"), std::string::npos);
  const std::string chart = http(server.port(), "GET /chart.js");
  EXPECT_NE(chart.find("200 OK"), std::string::npos);
  EXPECT_NE(chart.find("Chart.js v"), std::string::npos);
  EXPECT_NE(http(server.port(), "GET /api/status").find(R"({"frames":3})"), std::string::npos);
  EXPECT_NE(http(server.port(), "GET /api/actions").find(R"([{"name":"up","label":"Up"}])"), std::string::npos);
  EXPECT_NE(http(server.port(), "POST /api/action/up").find("pressed 1"), std::string::npos);
  for (const char* path : {"GET /favicon.ico", "GET /index.html", "GET /../etc/passwd", "POST /api/action/down",
                           "GET /api/action/up", "GET /events/x"}) {
    EXPECT_NE(http(server.port(), path).find("404 Not Found"), std::string::npos) << path;
  }
  EXPECT_EQ(pressed, 1);
  server.stop();
}

TEST(LiveServer, AStalledBrowserNeverHoldsThePublisherBack) {
  station::LiveServer::Options options;
  options.client_queue = 1000;
  station::LiveServer server(options);
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  // A browser that asks for the stream and then never reads.
  const int stalled = connect_local(server.port(), 4096);
  ASSERT_GE(stalled, 0);
  const std::string request = "GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ASSERT_EQ(write(stalled, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  for (int i = 0; i < 200 && server.clients() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server.clients(), 1u);
  // Far more than the socket buffers and the client's queue hold. If
  // publishing waited for the browser this would never finish.
  constexpr int kSamples = 300'000;
  for (int i = 0; i < kSamples; ++i) server.publish({i * 0.005, i * 0.01, 1.0});
  EXPECT_GT(server.dropped(), 0u);
  // A browser that does read still gets the latest samples.
  const std::string live = http(server.port(), "GET /events", 600ms);
  EXPECT_NE(live.find("event: samples"), std::string::npos);
  EXPECT_NE(live.find("[1499.995000,2999.99,1.00]"), std::string::npos);
  // And a new browser starts from the last 10 s only.
  EXPECT_EQ(live.find("[1489.990000,"), std::string::npos);
  close(stalled);
  server.stop();
}

// A recording of 2 s of frames with some noise, for the browser to look at.
struct Replay {
  std::uint64_t frames = 0, bad = 0, garbage = 0;
};
Replay write_recording(const fs::path& path) {
  station::RecordingWriter w;
  std::string error;
  EXPECT_TRUE(w.open(path.string(), 500000, error)) << error;
  telemetry::SensorFrameDecoder reference;
  for (int i = 0; i < 400; ++i) {
    telemetry::SensorValues v{};
    const double setpoint = i < 100 ? 0.0 : (i < 250 ? 100.0 : 200.0);
    const double angle = setpoint - (i < 100 ? 0.0 : 100.0 * std::exp(-((i < 250 ? i - 100 : i - 250) * 0.005) / 0.08));
    v[telemetry::kAx] = static_cast<std::int16_t>(angle * 100.0);
    v[telemetry::kAy] = static_cast<std::int16_t>(setpoint * 100.0);
    auto f = telemetry::build_sensor_frame(v);
    if (i % 50 == 7) f[10] ^= 1;  // a damaged frame now and then
    std::vector<std::uint8_t> bytes(f.begin(), f.end());
    if (i % 90 == 3) bytes.insert(bytes.begin(), {0x00, 0xAA, 0x13});
    w.write(static_cast<std::uint64_t>(i) * 5'000'000 + 250'000, bytes);
    reference.feed(bytes);
  }
  return {reference.good_frames(), reference.bad_frames(), reference.garbage_bytes() + reference.pending()};
}

std::vector<std::string> chromium(const fs::path& dir, const std::string& what) {
  return {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync", "--hide-scrollbars",
          "--user-data-dir=" + (dir / ("profile-" + what.substr(2, 6))).string(), "--window-size=1200,900",
          "--virtual-time-budget=4000", what};
}

TEST(LivePage, ShowsAReplayInAHeadlessBrowser) {
  if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
  const fs::path dir = work_dir();
  const Replay expected = write_recording(dir / "run.gsrec");
  Child gs({GROUNDSTATION, "--replay", (dir / "run.gsrec").string(), "--speed", "20", "--serve", "127.0.0.1:0", "--stay"},
           dir / "gs.out", dir / "gs.err");
  ASSERT_TRUE(gs.wait_for_output("still serving", 20s)) << gs.stderr_text();
  const std::string err = gs.stderr_text();
  const auto from = err.find("http://127.0.0.1:");
  ASSERT_NE(from, std::string::npos) << err;
  const std::string url = err.substr(from, err.find('/', from + 7) + 1 - from);

  auto dom_args = chromium(dir, "--dump-dom");
  dom_args.push_back(url);
  Child dom(dom_args, dir / "dom.html", dir / "dom.err");
  ASSERT_EQ(dom.wait(60s), 0) << read_file(dir / "dom.err");
  const std::string page = read_file(dir / "dom.html");
  auto cell = [&](const std::string& id) {
    const std::string mark = "id=\"" + id + "\">";
    const auto at = page.find(mark);
    if (at == std::string::npos) return std::string("(none)");
    const auto begin = at + mark.size();
    return page.substr(begin, page.find('<', begin) - begin);
  };
  // All 2 s of the replay lie within the chart's 10 s window.
  EXPECT_EQ(cell("points"), std::to_string(expected.frames));
  EXPECT_EQ(cell("c-frames"), std::to_string(expected.frames));
  EXPECT_EQ(cell("c-bad_frames"), std::to_string(expected.bad));
  EXPECT_EQ(cell("c-garbage_bytes"), std::to_string(expected.garbage));
  EXPECT_EQ(cell("c-setpoint"), "200.00");
  EXPECT_EQ(cell("c-state"), "replay done");
  EXPECT_NE(page.find("id=\"action-record-start\""), std::string::npos);

  auto shot_args = chromium(dir, "--screenshot=" + (dir / "live-page.png").string());
  shot_args.push_back(url);
  Child shot(shot_args, dir / "shot.out", dir / "shot.err");
  EXPECT_EQ(shot.wait(60s), 0) << read_file(dir / "shot.err");
  EXPECT_GT(fs::exists(dir / "live-page.png") ? fs::file_size(dir / "live-page.png") : 0u, 10'000u);
  std::printf("screenshot: %s\n", (dir / "live-page.png").c_str());

  gs.signal(SIGTERM);
  EXPECT_EQ(gs.wait(10s), 0);
}

}  // namespace
