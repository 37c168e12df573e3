#pragma once
// Azure AD tokens for a service principal that authenticates with an application secret.
#include <chrono>
#include <string>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/refreshing_credential.hpp"
#include "collab/export.hpp"

namespace collab::azure {

using ClientSecretCredentialOptions = CredentialOptions;

/// Fetches ARM tokens with the client-credentials grant of the v1 token endpoint
/// (`{login}{tenant}/oauth2/token`, `resource` = the management resource id) and reuses one
/// until the later of `refreshMargin` before its expiry and half-way through its lifetime.
class COLLAB_EXPORT ClientSecretCredential final : public RefreshingCredential {
 public:
  ClientSecretCredential(std::string tenantId, std::string clientId, std::string clientSecret,
                         ClientSecretCredentialOptions options = {});

  const std::string& tenantId() const noexcept { return tenantId_; }
  const std::string& clientId() const noexcept { return clientId_; }

 private:
  /// @throws AuthenticationError when Azure AD refuses, TransportError when it cannot be
  ///         reached.
  AccessToken fetchToken(std::chrono::system_clock::time_point now) override;

  std::string tenantId_;
  std::string clientId_;
  std::string clientSecret_;
  ClientSecretCredentialOptions options_;
  AzureEndpoints endpoints_;
};

}  // namespace collab::azure
