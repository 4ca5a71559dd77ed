#include "stop_signal.h"

#include <csignal>

namespace run {

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

}  // namespace

void install_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  (void)signal(SIGPIPE, SIG_IGN);  // cannot fail
}

bool stop_requested() { return g_stop != 0; }

}  // namespace run
