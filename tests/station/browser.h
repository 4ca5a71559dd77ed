// Headless Chromium on a live page, for the tests that look at the page as
// a user's browser shows it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace test_browser {

// --virtual-time-budget waits for the page to go idle, which a live page's
// event stream never does: the pages are opened with "?seconds=N", after
// which the server ends the stream. Without
// --run-all-compositor-stages-before-draw, about every other screenshot under
// a virtual-time budget never came (Chromium 156, headless).
inline std::vector<std::string> chromium(const std::filesystem::path& dir, const std::string& what,
                                         const std::string& url) {
  return {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync", "--hide-scrollbars",
          "--user-data-dir=" + (dir / ("profile-" + what.substr(2, 6))).string(), "--window-size=1200,900",
          "--virtual-time-budget=2000", "--run-all-compositor-stages-before-draw", what, url};
}

// The page's address as a program prints it.
inline std::string url_in(const std::string& output) {
  const auto from = output.find("http://127.0.0.1:");
  return from == std::string::npos ? std::string() : output.substr(from, output.find('/', from + 7) + 1 - from);
}

}  // namespace test_browser
