#pragma once
// The bookkeeping of one logical call's retries, shared by the ARM pipeline and the token
// requests: attempt count, wait budget, the warning line and the (injected) sleep.
#include <random>
#include <string_view>

#include "collab/azure/retry_policy.hpp"
#include "collab/azure/transport.hpp"

namespace collab::azure::detail {

/// Every wait of the client layer (before a retry, before a paced read, between the polls of a
/// long-running operation) goes through here: the options' sleeper when they bring one, so a
/// sleeper the caller installs governs them all, otherwise the transport's `wait`, which the
/// run's transport cuts short when the operator asks the run to stop.
void pause(const RetryOptions& options, Transport& transport, std::chrono::milliseconds delay);

class RetryLoop {
 public:
  /// `random` is used when the options bring no random source of their own; the waits go
  /// through `pause` with `transport`.
  RetryLoop(const RetryOptions& options, std::mt19937_64& random, Transport& transport);

  /// The attempt under way, 1 for the first.
  int attempt() const noexcept { return attempt_; }

  /// After a failed attempt: when another attempt is allowed and its wait fits the budget,
  /// logs "<what> <cause>; retrying in <s> s (attempt <n> of <max>)" at warning, sleeps and
  /// returns true.  `headers` are the failed answer's (null after a transport failure).
  bool waitBeforeRetry(const HttpHeaders* headers, std::string_view what, std::string_view cause);

  std::chrono::system_clock::time_point now() const;

 private:
  const RetryOptions& options_;
  std::mt19937_64& random_;
  Transport& transport_;
  int attempt_ = 1;
  std::chrono::milliseconds waited_{0};
};

}  // namespace collab::azure::detail
