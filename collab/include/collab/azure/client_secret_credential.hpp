#pragma once
// Azure AD tokens for a service principal that authenticates with an application secret.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/retry_policy.hpp"
#include "collab/azure/token_credential.hpp"
#include "collab/azure/transport.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// Azure AD refused to issue a token, or answered something that holds none.  The message
/// names the tenant and application, the HTTP status, the OAuth `error` and the first line of
/// its `error_description`; never the secret.
class COLLAB_EXPORT AuthenticationError : public std::runtime_error {
 public:
  AuthenticationError(const std::string& message, int status, std::string error);
  int status() const noexcept { return status_; }
  /// The OAuth error code ("invalid_client", ...), empty when the answer had none.
  const std::string& error() const noexcept { return error_; }

 private:
  int status_;
  std::string error_;
};

struct ClientSecretCredentialOptions {
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

/// Fetches ARM tokens with the client-credentials grant of the v1 token endpoint
/// (`{login}{tenant}/oauth2/token`, `resource` = the management resource id) and reuses one
/// until the later of `refreshMargin` before its expiry and half-way through its lifetime.
class COLLAB_EXPORT ClientSecretCredential final : public TokenCredential {
 public:
  ClientSecretCredential(std::string tenantId, std::string clientId, std::string clientSecret,
                         ClientSecretCredentialOptions options = {});

  /// @throws AuthenticationError when Azure AD refuses, TransportError when it cannot be
  ///         reached.
  AccessToken getToken(bool forceRefresh = false) override;

  const std::string& tenantId() const noexcept { return tenantId_; }
  const std::string& clientId() const noexcept { return clientId_; }

 private:
  std::string tenantId_;
  std::string clientId_;
  std::string clientSecret_;
  ClientSecretCredentialOptions options_;
  AzureEndpoints endpoints_;
  std::mutex mutex_;
  std::optional<AccessToken> cached_;
  std::chrono::system_clock::time_point refreshAt_;
};

}  // namespace collab::azure
