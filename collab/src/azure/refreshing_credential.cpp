#include "collab/azure/refreshing_credential.hpp"

#include <algorithm>

#include "collab/secret_registry.hpp"

namespace collab::azure {

RefreshingCredential::RefreshingCredential(Clock clock, std::chrono::seconds refreshMargin)
    : clock_(std::move(clock)), refreshMargin_(refreshMargin) {}

AccessToken RefreshingCredential::getToken(bool forceRefresh) {
  std::lock_guard lock(mutex_);
  const auto now = clock_ ? clock_() : std::chrono::system_clock::now();
  if (!forceRefresh && cached_ && now < refreshAt_) return *cached_;
  cached_ = fetchToken(now);
  // Whichever way it was obtained, the token never shows in an output of ours.
  SecretRegistry::instance().add(cached_->token);
  // Replaced `refreshMargin` before expiry, but never before half its lifetime has passed: a
  // token issued for less than the margin is still reused for a while.
  refreshAt_ = std::max(cached_->expiresOn - refreshMargin_, now + (cached_->expiresOn - now) / 2);
  return *cached_;
}

}  // namespace collab::azure
