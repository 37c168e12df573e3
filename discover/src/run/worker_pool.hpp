#pragma once
// The worker processes of a run (--jobs N) and the folder they share with their parent.
//
// A worker is forked (no exec) by the parent for one task and ends with it, so it starts with
// the parent's configuration, reference data and loggers and builds its own transport and
// session: the parent never talks to Azure, so no curl handle or connection exists to be
// inherited.  Each worker is tied to the parent's life (it is killed when the parent dies).
//
// Signals: SIGINT and SIGTERM are held back in the parent while the pool lives and read in
// `wait()`.  The first one asks the run to stop (as the interrupt guard does) and is passed on
// to every running worker, which finishes the request under way and ends its task as
// interrupted; no further worker is started.  A second one ends the workers at once (each
// removes its temporary file first: kEndWorkerSignal, interrupt.hpp), removes the shared
// folder and ends the parent with that signal at once.
//
// The shared folder (mkdtemp under $TMPDIR) holds what the workers leave for the parent and
// the state the processes of the run share; it is removed when the pool ends, however it ends.
#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kxdiscover {

class WorkerPool {
 public:
  /// How a worker ended.
  struct Ended {
    std::size_t task = 0;
    /// The exit status, or -1 when a signal ended it.
    int status = -1;
    /// The signal that ended it, 0 when it exited.
    int signal = 0;
  };

  /// Creates the shared folder.
  /// @throws std::runtime_error when it cannot be made.
  explicit WorkerPool(unsigned jobs);
  /// Kills and reaps the workers still running, removes the folder, lets signals through again.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  const std::string& folder() const noexcept { return folder_; }
  unsigned jobs() const noexcept { return jobs_; }
  std::size_t running() const noexcept { return workers_.size(); }
  /// True once a stop signal was read (and passed on to the workers).
  bool stopping() const noexcept { return stopping_; }

  /// Forks a worker for `task` that runs `body` and exits with what it returns (or 70 when it
  /// throws).  `body` runs with the worker's stop handlers installed and signals let through.
  /// Answers the worker's process id.
  /// @throws std::runtime_error when the process cannot be made.
  pid_t start(std::size_t task, const std::function<int()>& body);

  /// What the parent does on a second signal once its workers are gone, before it dies: remove
  /// what the workers left outside the shared folder (their staged files).  Must not throw.
  void beforeDying(std::function<void()> cleanup) { beforeDying_ = std::move(cleanup); }

  /// Waits until at least one worker ended or a stop signal arrived, and answers the workers
  /// that ended (none after a signal alone).  Answers at once when no worker runs.
  std::vector<Ended> wait();

 private:
  struct Worker {
    pid_t pid;
    int exitPipe;  // read end; end of file when the worker ends
    std::size_t task;
  };
  void onSignal();
  /// Passes a stop the run was asked for on to every worker, once.
  void passOnStop();
  Ended reap(const Worker& worker);
  [[noreturn]] void dieOf(int signal);

  unsigned jobs_;
  std::string folder_;
  std::vector<Worker> workers_;
  sigset_t previousMask_{};
  int signalFd_ = -1;
  bool stopping_ = false;
  std::function<void()> beforeDying_;
};

}  // namespace kxdiscover
