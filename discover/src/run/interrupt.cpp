#include "run/interrupt.hpp"

namespace kxdiscover {

namespace {

// Written by the signal handler only; a plain flag is all a handler may safely touch.
volatile std::sig_atomic_t receivedSignal = 0;

extern "C" void onStopSignal(int signal) {
  if (receivedSignal == 0) receivedSignal = signal;
  // A second signal takes the default action and ends the process at once.
  std::signal(signal, SIG_DFL);
}

extern "C" void onWorkerStopSignal(int signal) {
  if (receivedSignal == 0) receivedSignal = signal;
}

}  // namespace

InterruptGuard::InterruptGuard() {
  receivedSignal = 0;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // Blocking calls resume after the handler: the run checks the flag between requests.
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
}

bool stopRequested() noexcept { return receivedSignal != 0; }

int stopSignal() noexcept { return receivedSignal; }

}  // namespace kxdiscover
