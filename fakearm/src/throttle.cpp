#include "throttle.hpp"

#include <algorithm>
#include <cmath>

namespace fakearm::detail {

bool TokenBucket::take(Clock::time_point now) {
  const double elapsed = std::chrono::duration<double>(now - last_).count();
  if (elapsed > 0) {
    tokens_ = std::min(capacity_, tokens_ + elapsed * refill_);
    last_ = now;
  }
  if (tokens_ < 1) return false;
  tokens_ -= 1;
  return true;
}

int TokenBucket::secondsUntilToken() const {
  // A bucket that never refills still names a wait rather than none at all.
  if (refill_ <= 0) return 60;
  return std::max(1, static_cast<int>(std::ceil((1 - tokens_) / refill_)));
}

bool QuotaWindow::take(Clock::time_point now) {
  if (now - start_ >= window_) {
    start_ = now;
    left_ = queries_;
  }
  if (left_ <= 0) return false;
  --left_;
  return true;
}

int QuotaWindow::secondsUntilReset(Clock::time_point now) const {
  auto left = std::chrono::ceil<std::chrono::seconds>(window_ - (now - start_)).count();
  return static_cast<int>(std::max<long long>(left_ > 0 ? 0 : 1, left));
}

}  // namespace fakearm::detail
