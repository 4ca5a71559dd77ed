// SIGINT and SIGTERM ask a long-running program to stop: it then ends as at
// the end of its work, with its summary and its files, within a second.
#pragma once

namespace run {

// Installs the handlers (without restart: a wait returns at once) and
// ignores SIGPIPE, so that a reader that went away is an error code.
void install_stop_signals();
bool stop_requested();

}  // namespace run
