#include "retry_loop.hpp"

#include "collab/log.hpp"

namespace collab::azure::detail {

void pause(const RetryOptions& options, Transport& transport, std::chrono::milliseconds delay) {
  if (options.sleeper) {
    options.sleeper(delay);
  } else {
    transport.wait(delay);
  }
}

RetryLoop::RetryLoop(const RetryOptions& options, std::mt19937_64& random, Transport& transport)
    : options_(options), random_(random), transport_(transport) {}

std::chrono::system_clock::time_point RetryLoop::now() const {
  return options_.clock ? options_.clock() : std::chrono::system_clock::now();
}

bool RetryLoop::waitBeforeRetry(const HttpHeaders* headers, std::string_view what,
                                std::string_view cause) {
  const RetryPolicy& policy = options_.policy;
  if (attempt_ >= policy.maxAttempts) return false;
  double unit = options_.random ? options_.random()
                                : std::uniform_real_distribution<double>(0.0, 1.0)(random_);
  std::chrono::milliseconds delay = retryDelay(policy, attempt_, headers, now(), unit);
  if (waited_ + delay > policy.maxTotalWait) return false;
  ++attempt_;
  getLogger("netscout")
      ->warn("{} {}; retrying in {:.1f} s (attempt {} of {})", what, cause,
             static_cast<double>(delay.count()) / 1000.0, attempt_, policy.maxAttempts);
  waited_ += delay;
  pause(options_, transport_, delay);
  return true;
}

}  // namespace collab::azure::detail
