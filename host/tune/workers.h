// Tasks done in worker processes. The virtual board is one per process, so
// parallel trials need processes, not threads: each worker is forked with
// the caller's state, takes task numbers over a socket pair and answers with
// lines of text, one task at a time. The caller hears every line with the
// task it belongs to; whatever order the workers finish in, the caller can
// keep the results in task order.
//
// A worker that dies during a task (a crash in a trial) costs that task
// only: the caller is told, and a fresh worker takes the remaining tasks.
// SIGINT or SIGTERM (with StopOnSignals in place) stops the run within a
// tenth of a second: the workers are killed and reaped.
#pragma once

#include <csignal>
#include <cstddef>
#include <functional>
#include <string>

namespace tune {

// SIGINT and SIGTERM set the stop request while this lives (the previous
// handlers come back after it). Creating one clears an earlier request.
class StopOnSignals {
 public:
  StopOnSignals();
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  struct sigaction int_ {}, term_ {};
};

// Also true after run::install_stop_signals()'s handlers saw a signal.
bool stop_requested();
int stop_signal();  // the signal that asked to stop, 0 if none

using Send = std::function<void(const std::string& line)>;

struct WorkerTasks {
  std::size_t count = 0;  // tasks 0 .. count - 1, handed out in order
  std::size_t jobs = 1;   // workers (no more than there are tasks)
  // In the worker: does the task, sending any number of lines (without a
  // newline). An exception ends the worker, which counts as lost.
  std::function<void(std::size_t task, const Send& send)> work;
  // In the caller:
  std::function<void(std::size_t task, const std::string& line)> on_line;
  std::function<void(std::size_t task)> on_done;
  std::function<void(std::size_t task, const std::string& why)> on_lost;  // the worker died during it
  std::function<void()> on_wait;  // at least ten times a second
};

// Runs every task; returns false when a stop was requested (the tasks not
// done are neither done nor lost). An exception from a callback kills the
// workers and is passed on.
bool run_in_workers(const WorkerTasks& tasks);

}  // namespace tune
