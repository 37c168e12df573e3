#pragma once
// Azure Resource Manager's throttling: a token bucket per subscription, principal and kind of
// request, refilled continuously; and Resource Graph's quota of queries per time window.
#include <chrono>

namespace fakearm::detail {

using Clock = std::chrono::steady_clock;

class TokenBucket {
 public:
  TokenBucket(int capacity, double refillPerSecond, Clock::time_point now)
      : capacity_(capacity), refill_(refillPerSecond), tokens_(capacity), last_(now) {}

  /// Takes one token; false when the bucket is empty.
  bool take(Clock::time_point now);
  /// Whole tokens left.
  int remaining() const { return static_cast<int>(tokens_); }
  /// Seconds until a token is back (at least 1).
  int secondsUntilToken() const;

 private:
  double capacity_;
  double refill_;
  double tokens_;
  Clock::time_point last_;
};

class QuotaWindow {
 public:
  QuotaWindow(int queries, std::chrono::seconds window, Clock::time_point now)
      : queries_(queries), window_(window), left_(queries), start_(now) {}

  /// Counts one query; false when the window's quota is spent.
  bool take(Clock::time_point now);
  int remaining() const { return left_; }
  /// Seconds until the window resets (at least 1 when the quota is spent).
  int secondsUntilReset(Clock::time_point now) const;

 private:
  int queries_;
  std::chrono::seconds window_;
  int left_;
  Clock::time_point start_;
};

}  // namespace fakearm::detail
