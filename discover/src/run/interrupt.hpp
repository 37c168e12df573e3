#pragma once
// Ctrl-C (SIGINT) and SIGTERM during a run.
//
// The first signal only asks the run to stop: the request that is being sent completes, no
// further request is sent (the run's transport refuses it), the file being written is
// finished, and the run writes its report marked "interrupted" and ends with 128 + the
// signal's number (130 for Ctrl-C).  The first signal also puts the default action back, so a
// second Ctrl-C ends the process at once; as every output file is written to a temporary name
// and renamed into place, even then no output is left half-written.
#include <csignal>

namespace kxdiscover {

/// Installs the handlers for its lifetime and restores the previous ones afterwards.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

/// In a worker process of the run (worker_pool.hpp): SIGINT and SIGTERM ask to stop as under the
/// guard, but a repeated signal is ignored, so that the parent passing on the Ctrl-C the
/// terminal already sent to the whole process group does not end the worker at once.  (The
/// worker still ends at once when the parent does: it is tied to the parent's life.)
void installWorkerStopHandlers() noexcept;

/// True once SIGINT or SIGTERM arrived while a guard was installed.
bool stopRequested() noexcept;
/// The number of the signal that asked to stop, 0 when none did.
int stopSignal() noexcept;

}  // namespace kxdiscover
