#pragma once
// The token reuse every sign-in method shares: one token is kept and handed out until it is
// close to expiry, then replaced.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/retry_policy.hpp"
#include "collab/azure/token_credential.hpp"
#include "collab/azure/transport.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// What a credential that asks Azure AD (or a managed identity endpoint) for tokens needs.
struct CredentialOptions {
  /// Null: the default transport at the time of each token request.
  std::shared_ptr<Transport> transport;
  /// Absent: the endpoints in force when the credential is built.
  std::optional<AzureEndpoints> endpoints;
  /// Retries of throttled or failed token requests; `retry.clock` also decides expiry.
  RetryOptions retry;
  /// A token is replaced once it is this close to expiry, or once half its lifetime has passed
  /// if that is later (so a token issued for less than the margin is still reused).
  std::chrono::seconds refreshMargin{std::chrono::minutes(5)};
};

/// Keeps the last token and hands it out until the later of `refreshMargin` before its expiry
/// and half-way through its lifetime; only then, or when asked to force a refresh (Resource
/// Manager answered 401 to it), is `fetchToken` called again.  Thread-safe: one fetch at a
/// time, and callers that arrive meanwhile get its token.
class COLLAB_EXPORT RefreshingCredential : public TokenCredential {
 public:
  AccessToken getToken(bool forceRefresh = false) final;

 protected:
  /// `clock` empty: the system clock.
  RefreshingCredential(Clock clock, std::chrono::seconds refreshMargin);
  /// A new token, asked for at `now`.  Called under the credential's lock.
  virtual AccessToken fetchToken(std::chrono::system_clock::time_point now) = 0;

 private:
  Clock clock_;
  std::chrono::seconds refreshMargin_;
  std::mutex mutex_;
  std::optional<AccessToken> cached_;
  std::chrono::system_clock::time_point refreshAt_;
};

}  // namespace collab::azure
