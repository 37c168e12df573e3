#include "run/worker_pool.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>

#include "run/interrupt.hpp"

namespace kxdiscover {

namespace {

// A worker whose task threw instead of returning its status.
constexpr int kWorkerThrew = 70;

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

std::string makeFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kx-discover-XXXXXX";
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("cannot create the run's shared folder " + pattern + " (" +
                             std::strerror(errno) + ")");
  return pattern;
}

}  // namespace

WorkerPool::WorkerPool(unsigned jobs) : jobs_(std::max(jobs, 1u)), folder_(makeFolder()) {
  const sigset_t stops = stopSignals();
  ::sigprocmask(SIG_BLOCK, &stops, &previousMask_);
  signalFd_ = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ < 0) {
    const int error = errno;
    ::sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    throw std::runtime_error(std::string("cannot watch for signals (") + std::strerror(error) +
                             ")");
  }
}

WorkerPool::~WorkerPool() {
  for (const Worker& worker : workers_) {
    ::kill(worker.pid, kEndWorkerSignal);
    ::waitpid(worker.pid, nullptr, 0);
    ::close(worker.exitPipe);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
  ::close(signalFd_);
  // A stop signal that arrived since the last wait is delivered now, to the run's handler.
  ::sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}

pid_t WorkerPool::start(std::size_t task, const std::function<int()>& body) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("cannot start a worker: ") + std::strerror(errno));
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(ends[0]);
    ::close(ends[1]);
    throw std::runtime_error(std::string("cannot start a worker: ") + std::strerror(error));
  }
  if (pid == 0) {
    // The worker: never returns.  Its write end of the pipe stays open until it ends.
    ::close(ends[0]);
    ::close(signalFd_);
    for (const Worker& other : workers_) ::close(other.exitPipe);
    ::prctl(PR_SET_PDEATHSIG, kEndWorkerSignal);
    if (::getppid() != parent) ::_exit(kWorkerThrew);  // the parent died before the tie held
    installWorkerStopHandlers();
    const sigset_t stops = stopSignals();
    ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    int status = kWorkerThrew;
    try {
      status = body();
    } catch (...) {
    }
    // No destructor of what the parent built runs here, and nothing it buffered is flushed
    // twice: the worker's own outputs are written through before it returns.
    ::_exit(status);
  }
  ::close(ends[1]);
  workers_.push_back(Worker{pid, ends[0], task});
  return pid;
}

WorkerPool::Ended WorkerPool::reap(const Worker& worker) {
  int raw = 0;
  while (::waitpid(worker.pid, &raw, 0) < 0 && errno == EINTR) {
  }
  ::close(worker.exitPipe);
  Ended ended;
  ended.task = worker.task;
  if (WIFEXITED(raw)) ended.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) ended.signal = WTERMSIG(raw);
  return ended;
}

void WorkerPool::dieOf(int signal) {
  // Each worker removes its temporary file (a Terraform file under way) before it dies.
  for (const Worker& worker : workers_) ::kill(worker.pid, kEndWorkerSignal);
  for (const Worker& worker : workers_) reap(worker);
  workers_.clear();
  if (beforeDying_) beforeDying_();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
  std::signal(signal, SIG_DFL);
  const sigset_t stops = stopSignals();
  ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

void WorkerPool::onSignal() {
  signalfd_siginfo info{};
  if (stopRequested()) {
    // The second: the operator wants out now.
    if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      dieOf(static_cast<int>(info.ssi_signo));
    return;
  }
  // The first goes to the run's own handler, which records it.
  const sigset_t stops = stopSignals();
  ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  ::sigprocmask(SIG_BLOCK, &stops, nullptr);
  if (!stopRequested() &&
      ::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    dieOf(static_cast<int>(info.ssi_signo));  // no handler took it: its default action
}

void WorkerPool::passOnStop() {
  if (!stopRequested() || stopping_) return;
  stopping_ = true;
  for (const Worker& worker : workers_) ::kill(worker.pid, stopSignal());
}

std::vector<WorkerPool::Ended> WorkerPool::wait() {
  std::vector<Ended> ended;
  while (!workers_.empty()) {
    passOnStop();
    std::vector<pollfd> fds{{signalFd_, POLLIN, 0}};
    for (const Worker& worker : workers_) fds.push_back({worker.exitPipe, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("waiting for the workers failed: ") +
                               std::strerror(errno));
    }
    const bool signalled = fds[0].revents != 0;
    // A worker's pipe has nothing to read: readiness means its end of file, its end.
    std::vector<Worker> still;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
      if (fds[i + 1].revents != 0)
        ended.push_back(reap(workers_[i]));
      else
        still.push_back(workers_[i]);
    }
    workers_ = std::move(still);
    if (signalled) onSignal();
    if (signalled || !ended.empty()) break;
  }
  passOnStop();
  return ended;
}

}  // namespace kxdiscover
