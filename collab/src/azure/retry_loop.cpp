#include "retry_loop.hpp"

#include <thread>

#include "collab/log.hpp"

namespace collab::azure::detail {

void pause(const RetryOptions& options, std::chrono::milliseconds delay) {
  if (options.sleeper) {
    options.sleeper(delay);
  } else {
    std::this_thread::sleep_for(delay);
  }
}

RetryLoop::RetryLoop(const RetryOptions& options, std::mt19937_64& random)
    : options_(options), random_(random) {}

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
  pause(options_, delay);
  waited_ += delay;
  return true;
}

}  // namespace collab::azure::detail
