// vboard-soak: the seeded soak of the test suite (host/observe/soak.h) for
// as long as asked, with its figures at the end.
//
//   vboard-soak --hours 24 [--seed N]
//
// Exit code 0 when every assertion of the soak held, 1 when one did not, 2
// for a bad command line.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <exception>

#include "soak.h"

namespace {

int soak_main(int argc, char** argv) {
  CLI::App app{"The seeded soak of the firmware on the virtual board, for hours of virtual time"};
  double hours = 24.0;
  std::uint64_t seed = 1;
  app.add_option("--hours", hours, "virtual time, in hours")->check(CLI::Range(1e-4, 1e4));
  app.add_option("--seed", seed, "the seed of the random plan");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  vboard::SoakOptions options;
  options.seconds = hours * 3600.0;
  options.seed = seed;
  const auto start = std::chrono::steady_clock::now();
  auto wall = [&start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  double next_note = 60.0;
  options.on_second = [&](double done) {
    if (wall() < next_note) return;
    next_note += 60.0;
    std::fprintf(stderr, "%.0f of %.0f virtual seconds\n", done, options.seconds);
  };
  const vboard::SoakReport r = vboard::soak(options);
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
    std::fprintf(stderr, "vboard-soak: %s\n", e.what());
    return 1;
  }
}
