#pragma once
// Azure AD tokens for a service principal that authenticates with an application secret.
#include <chrono>
#include <string>

#include "collab/azure/client_credentials_grant.hpp"
#include "collab/export.hpp"

namespace collab::azure {

using ClientSecretCredentialOptions = CredentialOptions;

/// Fetches ARM tokens with the client-credentials grant of the v1 token endpoint
/// (`{login}{tenant}/oauth2/token`, `resource` = the management resource id) and reuses one
/// until the later of `refreshMargin` before its expiry and half-way through its lifetime.
class COLLAB_EXPORT ClientSecretCredential final : public ClientCredentialsGrant {
 public:
  ClientSecretCredential(std::string tenantId, std::string clientId, std::string clientSecret,
                         ClientSecretCredentialOptions options = {});

 private:
  Proof proof(const std::string& tokenUrl, std::chrono::system_clock::time_point now) override;

  std::string clientSecret_;
};

}  // namespace collab::azure
