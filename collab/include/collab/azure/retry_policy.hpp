#pragma once
// When and how long to wait before repeating a request that Azure throttled or failed to
// serve.  The delay rule is a pure function of the policy, the attempt number, the answer's
// headers, the current time and one random number, so it can be tested without waiting.
//
// Retried: HTTP 429, 500, 502, 503, 504 and transport failures that a new attempt may cure.
// The server's own hint wins: `retry-after-ms` or `x-ms-retry-after-ms` (milliseconds), then
// `Retry-After` as delta-seconds or as an HTTP date.  Without a hint the wait grows
// exponentially from `baseDelay`, with jitter, up to `maxDelay`.  The number of attempts and
// the sum of all waits are bounded; a server hint longer than what is left of the wait budget
// ends the retries instead of being shortened.
#include <chrono>
#include <functional>
#include <optional>

#include "collab/azure/http_message.hpp"
#include "collab/export.hpp"

namespace collab::azure {

using Clock = std::function<std::chrono::system_clock::time_point()>;
using Sleeper = std::function<void(std::chrono::milliseconds)>;
/// Returns a number in [0, 1).
using RandomSource = std::function<double()>;

struct RetryPolicy {
  /// Total number of tries, the first included.
  int maxAttempts = 5;
  std::chrono::milliseconds baseDelay{std::chrono::milliseconds(800)};
  std::chrono::milliseconds maxDelay{std::chrono::seconds(30)};
  /// Bound on the sum of the waits of one logical call.
  std::chrono::milliseconds maxTotalWait{std::chrono::minutes(2)};
};

/// The collaborators a retry loop needs; empty members get real defaults (sleeping the
/// thread, the system clock, a generator seeded from the system's random device).
struct RetryOptions {
  RetryPolicy policy;
  Sleeper sleeper;
  Clock clock;
  RandomSource random;
};

/// True for the statuses worth repeating a request for: 429, 500, 502, 503, 504.
COLLAB_EXPORT bool isRetryableStatus(int status) noexcept;

/// The wait the server asked for, if its headers hold a valid one.  Negative or unparsable
/// values are ignored; an HTTP date in the past means no wait.
COLLAB_EXPORT std::optional<std::chrono::milliseconds> serverRetryDelay(
    const HttpHeaders& headers, std::chrono::system_clock::time_point now);

/// Exponential backoff for retry number `retry` (1 for the first retry):
/// baseDelay * 2^(retry-1), capped at maxDelay, then scaled by a jitter factor in [0.8, 1.2)
/// drawn from `unitRandom` in [0, 1), and capped at maxDelay again.
COLLAB_EXPORT std::chrono::milliseconds backoffDelay(const RetryPolicy& policy, int retry,
                                                     double unitRandom) noexcept;

/// The wait before retry number `retry`: the server's hint when `headers` hold one,
/// `backoffDelay` otherwise (also when `headers` is null, as after a transport failure).
COLLAB_EXPORT std::chrono::milliseconds retryDelay(const RetryPolicy& policy, int retry,
                                                   const HttpHeaders* headers,
                                                   std::chrono::system_clock::time_point now,
                                                   double unitRandom);

}  // namespace collab::azure
