#include "run/interrupt.hpp"

#include "common/temporary_files.hpp"

namespace kxdiscover {

namespace {

// Written by the signal handler only; a plain flag is all a handler may safely touch.
volatile std::sig_atomic_t receivedSignal = 0;

// Ends the process by `signal`, without leaving a temporary file.
void endAtOnce(int signal) {
  removeTemporaryFiles();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  // Delivered as soon as the handler returns (the signal is blocked while it runs).
  raise(signal);
}

extern "C" void onStopSignal(int signal) {
  if (receivedSignal == 0) {
    receivedSignal = signal;
    return;
  }
  endAtOnce(signal);
}

extern "C" void onEndWorker(int signal) { endAtOnce(signal); }

extern "C" void onWorkerStopSignal(int signal) {
  if (receivedSignal == 0) receivedSignal = signal;
}

}  // namespace

InterruptGuard::InterruptGuard() {
  receivedSignal = 0;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // The other stop signal waits while the handler runs, so the two never interleave.
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  // Blocking calls resume after the handler: the run checks the flag between requests, in
  // its waits and while an answer is under way.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previousInt_);
  sigaction(SIGTERM, &action, &previousTerm_);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &previousInt_, nullptr);
  sigaction(SIGTERM, &previousTerm_, nullptr);
}

void installWorkerStopHandlers() noexcept {
  struct sigaction action {};
  action.sa_handler = onWorkerStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = onEndWorker;
  sigaction(kEndWorkerSignal, &action, nullptr);
}

bool stopRequested() noexcept { return receivedSignal != 0; }

int stopSignal() noexcept { return receivedSignal; }

}  // namespace kxdiscover
