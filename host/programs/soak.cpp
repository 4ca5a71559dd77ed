// vboard-soak: the seeded soak of the test suite (host/observe/soak.h) for
// as long as asked, with its figures at the end.
//
//   vboard-soak --hours 24 [--seed N]
//
// Exit code 0 when every assertion of the soak held, 1 when one did not, 2
// for a bad command line.
#include <CLI/CLI.hpp>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "soak.h"
#include "stop_signal.h"

namespace {

int soak_main(int argc, char** argv) {
  CLI::App app{"The seeded soak of the firmware on the virtual board, for hours of virtual time"};
  double hours = 24.0;
  std::string seed_text = "1";
  // CLI11's range check lets NaN through (every comparison with it is false).
  app.add_option("--hours", hours, "virtual time, in hours (0.0001 to 10000)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            double h = 0.0;
            if (!CLI::detail::lexical_cast(text, h) || !(h >= 1e-4 && h <= 1e4)) {
              return "'" + text + "' is not a number of hours from 0.0001 to 10000";
            }
            return {};
          },
          "HOURS"));
  // Read whole, so that "-1" or a number past 64 bits is refused, not wrapped.
  app.add_option("--seed", seed_text, "the seed of the random plan, a whole number from 0 to 18446744073709551615");
  app.footer("SIGINT or SIGTERM ends the soak within a second, with the figures of the time run so far.\n"
             "Exit status: 0 every assertion held; 1 one did not; 2 bad command line.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  std::uint64_t seed = 0;
  const auto [end, ec] = std::from_chars(seed_text.data(), seed_text.data() + seed_text.size(), seed);
  if (ec != std::errc{} || end != seed_text.data() + seed_text.size()) {
    std::fprintf(stderr, "error: --seed: '%s' is not a whole number from 0 to 18446744073709551615\n",
                 seed_text.c_str());
    return 2;
  }
  run::install_stop_signals();
  vboard::SoakOptions options;
  options.seconds = hours * 3600.0;
  options.seed = seed;
  options.stop = [] { return run::stop_requested(); };
  const auto start = std::chrono::steady_clock::now();
  auto wall = [&start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  double next_note = 60.0;
  options.on_second = [&](double done) {
    if (wall() < next_note) return;
    next_note += 60.0;
    std::fprintf(stderr, "%.0f of %.0f virtual seconds\n", done, options.seconds);
  };
  const vboard::SoakReport r = vboard::soak(options);
  if (run::stop_requested()) std::printf("interrupted after %.0f of %.0f virtual seconds\n", r.virtual_s, options.seconds);
  std::printf("%s", r.summary().c_str());
  std::printf("wall time            %.1f s (%.0f times real time)\n", wall(), r.virtual_s / wall());
  std::printf("%s\n", r.sound() ? "sound" : "NOT SOUND");
  return r.sound() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return soak_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vboard-soak: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vboard-soak: error: an unknown exception\n");
  }
  return 1;
}
