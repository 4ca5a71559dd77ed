#include "workers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "stop_signal.h"

namespace tune {

namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
void on_stop(int sig) { g_stop_signal = sig; }

// Replies are "L<text>" lines and, after a task, "E".
constexpr char kLine = 'L';
constexpr char kEnd = 'E';
constexpr int kPollMs = 100;

bool send_all(int fd, const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const ssize_t n = ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

// Splits off the complete lines of `buffer`.
template <typename Each>
void take_lines(std::string& buffer, Each each) {
  std::size_t from = 0;
  for (auto nl = buffer.find('\n'); nl != std::string::npos; nl = buffer.find('\n', from)) {
    each(buffer.substr(from, nl - from));
    from = nl + 1;
  }
  buffer.erase(0, from);
}

[[noreturn]] void worker_main(int fd, pid_t parent, const WorkerTasks& tasks) {
  // A worker never outlives the run: it dies with the caller, and leaves
  // Ctrl-C (sent to the whole foreground group) to the caller, who kills it.
  (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  (void)std::signal(SIGINT, SIG_IGN);
  (void)std::signal(SIGTERM, SIG_IGN);
  const Send send = [fd](const std::string& line) {
    if (!send_all(fd, kLine + line + "\n")) _exit(0);  // the caller has gone
  };
  std::string buffer;
  char chunk[256];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(0);
    buffer.append(chunk, static_cast<std::size_t>(n));
    take_lines(buffer, [&](const std::string& line) {
      try {
        tasks.work(std::stoul(line), send);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "worker %d: task %s: %s\n", static_cast<int>(getpid()), line.c_str(), e.what());
        _exit(70);
      }
      if (!send_all(fd, std::string(1, kEnd) + "\n")) _exit(0);
    });
  }
}

struct Worker {
  pid_t pid = -1;
  int fd = -1;
  std::optional<std::size_t> task;
  std::string buffer;
};

// The workers of one run; whatever is still running when it goes is killed
// and reaped, so no exit path leaves a process behind.
class Crew {
 public:
  explicit Crew(const WorkerTasks& tasks) : tasks_(tasks) {}
  ~Crew() { kill_all(); }
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  std::vector<Worker> workers;

  void spawn(Worker& w) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
      throw std::runtime_error(std::string("cannot make a worker's socket pair: ") + std::strerror(errno));
    }
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
      ::close(pair[0]);
      ::close(pair[1]);
      throw std::runtime_error(std::string("cannot start a worker: ") + std::strerror(errno));
    }
    if (pid == 0) {
      ::close(pair[0]);
      for (const auto& other : workers) {
        if (other.fd >= 0) ::close(other.fd);
      }
      worker_main(pair[1], parent, tasks_);
    }
    ::close(pair[1]);
    w = Worker{pid, pair[0], std::nullopt, {}};
  }

  // Ends a worker's connection and waits for it; returns how it ended.
  static std::string reap(Worker& w, bool kill_it) {
    if (w.fd >= 0) ::close(w.fd);
    w.fd = -1;
    std::string how = "ended";
    if (w.pid > 0) {
      if (kill_it) (void)::kill(w.pid, SIGKILL);
      int status = 0;
      pid_t r = 0;
      do {
        r = ::waitpid(w.pid, &status, 0);
      } while (r < 0 && errno == EINTR);
      if (r == w.pid && WIFSIGNALED(status)) how = std::string("killed by signal ") + std::to_string(WTERMSIG(status));
      if (r == w.pid && WIFEXITED(status)) how = "exited with " + std::to_string(WEXITSTATUS(status));
    }
    w.pid = -1;
    return how;
  }

  void kill_all() {
    for (auto& w : workers) {
      if (w.pid > 0 || w.fd >= 0) (void)reap(w, true);
    }
  }

 private:
  const WorkerTasks& tasks_;
};

}  // namespace

StopOnSignals::StopOnSignals() {
  g_stop_signal = 0;
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a wait returns at once
  sigaction(SIGINT, &sa, &int_);
  sigaction(SIGTERM, &sa, &term_);
}

StopOnSignals::~StopOnSignals() {
  sigaction(SIGINT, &int_, nullptr);
  sigaction(SIGTERM, &term_, nullptr);
}

// A program that installed the run programs' stop handlers instead stops
// the workers too; those do not keep the signal, so it is told as SIGINT.
bool stop_requested() { return g_stop_signal != 0 || run::stop_requested(); }
int stop_signal() { return g_stop_signal != 0 ? static_cast<int>(g_stop_signal) : run::stop_requested() ? SIGINT : 0; }

bool run_in_workers(const WorkerTasks& tasks) {
  Crew crew(tasks);
  std::size_t next = 0, finished = 0;
  auto hand_out = [&](Worker& w) {
    if (next >= tasks.count) return;
    w.task = next++;
    // A worker that died meanwhile shows as the end of its connection.
    (void)send_all(w.fd, std::to_string(*w.task) + "\n");
  };
  crew.workers.resize(std::min(std::max<std::size_t>(tasks.jobs, 1), tasks.count));
  for (auto& w : crew.workers) {
    crew.spawn(w);
    hand_out(w);
  }
  std::vector<pollfd> fds;
  while (finished < tasks.count) {
    if (stop_requested()) return false;  // the crew kills and reaps the workers
    fds.clear();
    for (const auto& w : crew.workers) fds.push_back({w.fd, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), kPollMs);
    if (ready < 0 && errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Worker& w = crew.workers[i];
      char chunk[4096];
      const ssize_t n = ::read(w.fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        w.buffer.append(chunk, static_cast<std::size_t>(n));
        take_lines(w.buffer, [&](const std::string& line) {
          if (!w.task) throw std::runtime_error("a worker answered without a task");
          if (line.size() == 1 && line[0] == kEnd) {
            const std::size_t t = *w.task;
            w.task.reset();
            ++finished;
            if (tasks.on_done) tasks.on_done(t);
            hand_out(w);
          } else if (!line.empty() && line[0] == kLine) {
            tasks.on_line(*w.task, line.substr(1));
          } else {
            throw std::runtime_error("a worker sent '" + line + "'");
          }
        });
        continue;
      }
      // The worker has gone: its task is lost, a fresh one takes over.
      const auto task = w.task;
      const std::string how = Crew::reap(w, true);
      if (task) {
        ++finished;
        if (tasks.on_lost) tasks.on_lost(*task, "its worker " + how);
      }
      if (next < tasks.count) {
        crew.spawn(w);
        hand_out(w);
      }
    }
    if (tasks.on_wait) tasks.on_wait();
  }
  for (auto& w : crew.workers) (void)Crew::reap(w, false);
  return true;
}

}  // namespace tune
