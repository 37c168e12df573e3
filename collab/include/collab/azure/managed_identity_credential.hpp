#pragma once
// Resource Manager tokens of the managed identity of the machine or service the process runs
// on: an Azure VM or AKS node (the instance metadata service), or App Service, Functions and
// Container Apps (the identity endpoint the platform names in IDENTITY_ENDPOINT and guards
// with IDENTITY_HEADER).  No secret is involved.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/refreshing_credential.hpp"
#include "collab/azure/retry_policy.hpp"
#include "collab/azure/transport.hpp"
#include "collab/export.hpp"

namespace collab::azure {

struct ManagedIdentityOptions {
  /// The client id of a user-assigned identity; absent: the system-assigned identity.
  std::optional<std::string> clientId;
  /// The platform's identity endpoint (IDENTITY_ENDPOINT), asked with `X-IDENTITY-HEADER` =
  /// `identityHeader` and api-version 2019-08-01; when absent, the instance metadata service.
  std::optional<std::string> identityEndpoint;
  std::string identityHeader;
  /// The instance metadata service, asked with `Metadata: true` and api-version 2018-02-01.
  /// Tests point it at a loopback server.
  std::string metadataEndpoint = "http://169.254.169.254";
  /// Null: a transport of the credential's own that may reach the metadata service over plain
  /// http (and nothing else without TLS but loopback), connects within `connectTimeout` and
  /// is never recorded.
  std::shared_ptr<Transport> transport;
  std::chrono::milliseconds connectTimeout{std::chrono::seconds(3)};
  /// Absent: the endpoints in force when the credential is built (the token's resource is
  /// their `managementResource`).
  std::optional<AzureEndpoints> endpoints;
  /// Retries of answers 404, 410 (the metadata service starting or updating), 429 and 5xx.
  RetryOptions retry;
  std::chrono::seconds refreshMargin{std::chrono::minutes(5)};
};

class COLLAB_EXPORT ManagedIdentityCredential final : public RefreshingCredential {
 public:
  explicit ManagedIdentityCredential(ManagedIdentityOptions options = {});

  /// "system-assigned identity" or "user-assigned identity <client id>", and where it is
  /// asked: for messages.
  std::string description() const;

 private:
  /// @throws CredentialUnavailableError when no identity endpoint answers;
  ///         AuthenticationError when it refuses (400 "Identity not found" where the machine
  ///         has no such identity) or answers without a token.
  AccessToken fetchToken(std::chrono::system_clock::time_point now) override;

  ManagedIdentityOptions options_;
  AzureEndpoints endpoints_;
  std::shared_ptr<Transport> transport_;
};

}  // namespace collab::azure
