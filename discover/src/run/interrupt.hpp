#pragma once
// Ctrl-C (SIGINT) and SIGTERM during a run.
//
// The first signal asks the run to stop, and is honoured from then until the process exits:
//  - no further request is sent (the run's transport refuses it), a wait before a retry or a
//    paced read ends at once, and an answer still under way is abandoned (at most 100 ms
//    later);
//  - the run then writes what it has: the Terraform files of the VNets completed, its report
//    and page marked "interrupted", its summary, and ends with 128 + the signal's number (130
//    for Ctrl-C, 143 for SIGTERM).
// A signal counts whenever it comes before the process exits, also after the last request:
// the report and page say "interrupted" when it came before they were made (after the
// cassette, just before the first of them is written); one that comes while they are being
// written lets them finish as they began, and only the summary and the exit status tell.
//
// A second signal ends the process at once, by that signal: the handler first removes the
// temporary file of an output being written (temporary_files.hpp), so no output is left
// half-written and no temporary file is left behind.
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
/// terminal already sent to the whole process group does not end the worker at once.  The
/// worker ends at once on `kEndWorkerSignal`, which the parent sends on its second signal and
/// ties to its own death: the worker's temporary files are removed first.
void installWorkerStopHandlers() noexcept;

/// Ends a worker at once, its temporary files removed (see above).
inline constexpr int kEndWorkerSignal = SIGUSR1;

/// True once SIGINT or SIGTERM arrived while a guard was installed.
bool stopRequested() noexcept;
/// The number of the signal that asked to stop, 0 when none did.
int stopSignal() noexcept;

}  // namespace kxdiscover
