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
#include <fstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "browser.h"
#include "http_client.h"
#include "live_server.h"
#include "process.h"
#include "recording.h"
#include "sensor_frame.h"
#include "serve_address.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_process::Child;
using test_process::read_file;
using test_process::work_dir;
using test_http::connect_local;
using test_http::http;
using test_http::post;
using test_browser::chromium;
using test_browser::url_in;

TEST(LiveServer, ServesThePageItsScriptAndActionsAndNothingElse) {
  station::LiveServer::Options options;
  options.title = R"(<img src=x onerror=alert(1)>")";
  station::LiveServer server(options);
  int pressed = 0;
  server.add_action("up", "Up", [&] { return station::ActionReply{"pressed " + std::to_string(++pressed)}; });
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  const int port = server.port();
  const std::string& token = server.token();
  server.publish_status(R"({"frames":3})");
  const std::string page = http(port, "GET /");
  EXPECT_NE(page.find("200 OK"), std::string::npos);
  EXPECT_NE(page.find("new EventSource("), std::string::npos);
  EXPECT_NE(page.find("<title>&lt;img src=x onerror=alert(1)&gt;&quot;</title>"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_NE(page.find("content=\"" + token + "\""), std::string::npos);
  const std::string chart = http(port, "GET /chart.js");
  EXPECT_NE(chart.find("200 OK"), std::string::npos);
  EXPECT_NE(chart.find("Chart.js v"), std::string::npos);
  EXPECT_NE(http(port, "GET /api/status").find(R"({"frames":3})"), std::string::npos);
  EXPECT_NE(http(port, "GET /api/actions").find(R"([{"name":"up","label":"Up"}])"), std::string::npos);
  EXPECT_NE(post(port, "/api/action/up", token).find("pressed 1"), std::string::npos);
  for (const char* path : {"GET /favicon.ico", "GET /index.html", "GET /../etc/passwd", "GET /api/action/up", "GET /events/x"}) {
    EXPECT_NE(http(port, path).find("404 Not Found"), std::string::npos) << path;
  }
  EXPECT_NE(post(port, "/api/action/down", token).find("404 Not Found"), std::string::npos);

  // Refused, each with its reason: another name for this machine (DNS
  // rebinding), no token, a wrong one, another site's page, a body too
  // large, a POST with no length.
  const std::string own = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  auto raw = [&](const std::string& head) {
    const int s = connect_local(port);
    const std::string text = head + "Connection: close\r\n\r\n";
    EXPECT_EQ(write(s, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    timeval tv{3, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = read(s, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    close(s);
    return answer;
  };
  const std::string with_token = "X-Live-Token: " + token + "\r\nContent-Length: 0\r\n";
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"GET / HTTP/1.1\r\nHost: attacker.example:" + std::to_string(port) + "\r\n", "403 Forbidden"},
      {"POST /api/action/up HTTP/1.1\r\nHost: attacker.example:" + std::to_string(port) + "\r\n" + with_token, "answers only requests for 127.0.0.1:"},
      {"POST /api/action/up HTTP/1.1\r\n" + own + "Content-Length: 0\r\n", "needs this run's token in the X-Live-Token header"},
      {"POST /api/action/up HTTP/1.1\r\n" + own + "X-Live-Token: 0123\r\nContent-Length: 0\r\n", "403 Forbidden"},
      {"POST /api/action/up HTTP/1.1\r\n" + own + "Origin: http://attacker.example\r\n" + with_token, "only from this server's own page"},
      {"POST /api/action/up HTTP/1.1\r\n" + own + "Origin: null\r\n" + with_token, "only from this server's own page"},
      {"POST /api/action/up HTTP/1.1\r\n" + own + "X-Live-Token: " + token + "\r\nContent-Length: 400000000\r\n", "413"},
      {"POST /api/action/up HTTP/1.1\r\n" + own + "X-Live-Token: " + token + "\r\n", "a POST needs a Content-Length header"},
  };
  for (const auto& [request, says] : refused) EXPECT_NE(raw(request).find(says), std::string::npos) << request;
  EXPECT_NE(raw("POST /api/action/up HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\nOrigin: http://localhost:" +
                std::to_string(port) + "\r\n" + with_token)
                .find("pressed 2"),
            std::string::npos);
  EXPECT_EQ(pressed, 2);
  server.stop();
}

TEST(LiveServer, EightStreamsOrStalledConnectionsLeaveThePageAndActionsAnswered) {
  station::LiveServer server({});
  int pressed = 0;
  server.add_action("up", "Up", [&] { return station::ActionReply{"pressed " + std::to_string(++pressed)}; });
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  const int port = server.port();
  std::vector<int> held;
  // Eight event streams that never read, and eight connections that send a
  // request a byte at a time.
  const std::string stream = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  int busy = 0;
  for (int i = 0; i < 8; ++i) {
    const int s = connect_local(port, 4096);
    ASSERT_EQ(write(s, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    held.push_back(s);
    std::this_thread::sleep_for(50ms);
  }
  for (int i = 0; i < 8; ++i) {
    held.push_back(connect_local(port));
    ASSERT_EQ(write(held.back(), "G", 1), 1);
  }
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(300ms);
    for (std::size_t c = 8; c < held.size(); ++c) (void)!write(held[c], "E", 1);
  }
  EXPECT_EQ(server.clients(), 4u);
  for (int i = 0; i < 8; ++i) {
    char answer[64] = {};
    timeval tv{0, 200'000};
    setsockopt(held[static_cast<std::size_t>(i)], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    (void)!read(held[static_cast<std::size_t>(i)], answer, sizeof answer - 1);
    if (std::string(answer).find("503") != std::string::npos) ++busy;
  }
  EXPECT_EQ(busy, 4) << "streams past the fourth are refused";
  const auto before = std::chrono::steady_clock::now();
  EXPECT_NE(http(port, "GET /").find("200 OK"), std::string::npos);
  EXPECT_NE(http(port, "GET /api/status").find("200 OK"), std::string::npos);
  EXPECT_NE(post(port, "/api/action/up", server.token()).find("pressed 1"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  for (const int s : held) close(s);
  server.stop();
}

TEST(LiveServer, APortInUseIsRefusedAndIPv6IsServedInBrackets) {
  station::LiveServer first({});
  std::string error;
  ASSERT_TRUE(first.start(error)) << error;
  station::LiveServer::Options same;
  same.port = first.port();
  station::LiveServer second(same);
  EXPECT_FALSE(second.start(error));
  EXPECT_NE(error.find("in use by another program"), std::string::npos) << error;

  station::ServeAddress where;
  EXPECT_EQ(station::parse_serve("[::1]:8080", where), "");
  EXPECT_EQ(where.address, "::1");
  EXPECT_EQ(where.port, 8080);
  EXPECT_NE(station::parse_serve("::1:8080", where).find("goes in brackets, as in [::1]:8080"), std::string::npos);
  station::LiveServer::Options v6;
  v6.address = "::1";
  station::LiveServer six(v6);
  if (!six.start(error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
  EXPECT_EQ(six.url(), "http://[::1]:" + std::to_string(six.port()) + "/");
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
  const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n\r\n";
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
  w.write(1800'000'000'000, std::vector<std::uint8_t>{0});  // half an hour later: the source goes on
  return {reference.good_frames(), reference.bad_frames(), reference.garbage_bytes() + reference.pending()};
}

TEST(LivePage, ShowsAReplayInAHeadlessBrowser) {
  if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
  const fs::path dir = work_dir();
  // A hostile name: it must reach the page and the status as text.
  const std::string name = R"(<img src=x onerror=alert(1)>".gsrec)";
  const Replay expected = write_recording(dir / name);
  Child gs({GROUNDSTATION, "--replay", (dir / name).string(), "--speed", "20", "--serve", "127.0.0.1:0"},
           dir / "gs.out", dir / "gs.err");
  ASSERT_TRUE(gs.wait_for_output("reading", 20s)) << gs.stderr_text();
  std::this_thread::sleep_for(500ms);  // the frames are in; the last record is half an hour away
  const std::string url = url_in(gs.stderr_text());
  ASSERT_FALSE(url.empty()) << gs.stderr_text();
  const std::string status = http(std::stoi(url.substr(17)), "GET /api/status");
  const auto json = nlohmann::json::parse(status.substr(status.find("\r\n\r\n") + 4), nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << status;
  EXPECT_EQ(json["source"], (dir / name).string());

  Child dom(chromium(dir, "--dump-dom", url + "?seconds=1"), dir / "dom.html", dir / "dom.err");
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
  EXPECT_EQ(cell("c-state"), "running");
  EXPECT_EQ(cell("state"), "stopped following after 1 s");
  EXPECT_NE(page.find("id=\"action-record-start\""), std::string::npos);
  EXPECT_NE(page.find("<title>Ground station: replay of &lt;img src=x onerror=alert(1)&gt;\".gsrec</title>"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos) << "the name became markup";

  gs.signal(SIGTERM);
  EXPECT_EQ(gs.wait(10s), 0);
}

TEST(LivePage, APageFromAnotherSiteCannotPressAButton) {
  if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
  const fs::path dir = work_dir();
  station::LiveServer server({});
  int pressed = 0;
  server.add_action("up", "Up", [&] { return station::ActionReply{"pressed " + std::to_string(++pressed)}; });
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  // The other site, on another port of this machine: a script's requests
  // (no-cors, with and without a body) and a form that submits itself.
  const std::string target = "http://127.0.0.1:" + std::to_string(server.port()) + "/api/action/up";
  std::ofstream(dir / "attack.html") << "<!DOCTYPE html><iframe name=sink></iframe>"
                                     << "<form id=f method=POST target=sink action='" << target << "'></form><script>"
                                     << "fetch('" << target << "', {method: 'POST', mode: 'no-cors'});"
                                     << "fetch('" << target << "', {method: 'POST', mode: 'no-cors', body: 'x'});"
                                     << "document.getElementById('f').submit();</script>";
  Child site({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory", dir.string(), "0"},
             dir / "site.out", dir / "site.err");
  std::string port;
  for (int i = 0; i < 200 && port.empty(); ++i) {
    std::this_thread::sleep_for(25ms);
    const std::string out = read_file(dir / "site.out");
    const auto at = out.find(" port ");
    if (at != std::string::npos) port = out.substr(at + 6, out.find(' ', at + 6) - at - 6);
  }
  ASSERT_FALSE(port.empty()) << read_file(dir / "site.err");
  Child browser(chromium(dir, "--dump-dom", "http://127.0.0.1:" + port + "/attack.html"), dir / "dom.html",
                dir / "dom.err");
  ASSERT_EQ(browser.wait(60s), 0) << read_file(dir / "dom.err");
  EXPECT_EQ(pressed, 0);
  EXPECT_GE(server.refused(), 3u) << "the other site's requests reached the server and were refused";
  site.signal(SIGTERM);
  site.wait(5s);
}

}  // namespace
