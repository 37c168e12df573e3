#pragma once
// The client-credentials grant of the Azure AD v1 token endpoint, which an application uses to
// sign in as itself, with a secret or a client assertion.
#include <chrono>
#include <string>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/refreshing_credential.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// Requests tokens from `{login}{tenant}/oauth2/token` with `grant_type=client_credentials`,
/// `client_id` and `resource` = the management resource id, proved by what the derived class
/// gives for each request, and reuses them as `RefreshingCredential` does.
class COLLAB_EXPORT ClientCredentialsGrant : public RefreshingCredential {
 public:
  const std::string& tenantId() const noexcept { return tenantId_; }
  const std::string& clientId() const noexcept { return clientId_; }

 protected:
  ClientCredentialsGrant(std::string tenantId, std::string clientId, CredentialOptions options);

  /// What proves the application in one request: a secret (`client_secret`), or else an
  /// assertion (`client_assertion`, JWT-bearer).
  struct Proof {
    std::string secret;
    std::string assertion;
  };
  /// The proof of a request to the token endpoint `tokenUrl` at `now`.
  /// @throws CredentialUnavailableError when none can be had.
  virtual Proof proof(const std::string& tokenUrl, std::chrono::system_clock::time_point now) = 0;

 private:
  /// @throws AuthenticationError when Azure AD refuses, TransportError when it cannot be
  ///         reached, and what `proof` throws.
  AccessToken fetchToken(std::chrono::system_clock::time_point now) final;

  std::string tenantId_;
  std::string clientId_;
  CredentialOptions options_;
  AzureEndpoints endpoints_;
};

}  // namespace collab::azure
