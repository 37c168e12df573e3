#pragma once
// A clock that only moves when told to and a sleeper that records its waits instead of
// sleeping, so retry and token-expiry tests run instantly.
#include <chrono>
#include <memory>
#include <vector>

#include "collab/azure/retry_policy.hpp"

namespace kx::test {

class FakeTime {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  /// Starts at 2023-11-14T22:13:20Z (epoch second 1700000000).
  FakeTime() : state_(std::make_shared<State>()) {}

  TimePoint now() const { return state_->now; }
  void advance(std::chrono::milliseconds by) { state_->now += by; }
  const std::vector<std::chrono::milliseconds>& sleeps() const { return state_->sleeps; }

  /// Retry options wired to this clock; sleeping advances the clock; jitter is fixed at the
  /// middle of its range.
  collab::azure::RetryOptions retryOptions(collab::azure::RetryPolicy policy = {}) const {
    auto state = state_;
    collab::azure::RetryOptions options;
    options.policy = policy;
    options.clock = [state] { return state->now; };
    options.sleeper = [state](std::chrono::milliseconds wait) {
      state->sleeps.push_back(wait);
      state->now += wait;
    };
    options.random = [] { return 0.5; };
    return options;
  }

 private:
  struct State {
    TimePoint now{std::chrono::seconds(1700000000)};
    std::vector<std::chrono::milliseconds> sleeps;
  };
  std::shared_ptr<State> state_;
};

}  // namespace kx::test
