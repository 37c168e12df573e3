#pragma once
// Resource Manager tokens of the operator's own Azure CLI login (`az login`), for a run from a
// laptop or a shell where the operator is signed in already: no application, no secret.
#include <chrono>
#include <optional>
#include <string>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/refreshing_credential.hpp"
#include "collab/azure/retry_policy.hpp"
#include "collab/export.hpp"

namespace collab::azure {

struct AzureCliOptions {
  /// Asks for a token of this tenant (`--tenant`); absent: the CLI's current one.
  std::optional<std::string> tenantId;
  /// The program, looked up on PATH.
  std::string program = "az";
  /// The CLI can take seconds to answer; past this it is ended and the sign-in fails.
  std::chrono::seconds timeout{30};
  /// Absent: the endpoints in force when the credential is built (the token's resource is
  /// their `managementResource`).
  std::optional<AzureEndpoints> endpoints;
  /// Decides expiry; the system clock when empty.
  Clock clock;
  std::chrono::seconds refreshMargin{std::chrono::minutes(5)};
};

/// Runs `az account get-access-token --output json --resource <management resource>
/// [--tenant <tenant>]` (no shell; an argument vector) once per token and reuses the token as
/// `RefreshingCredential` does.  Only `accessToken` and the expiry (`expires_on`, or the local
/// time `expiresOn` of older CLIs) are read from its output, which never appears in a message.
class COLLAB_EXPORT AzureCliCredential final : public RefreshingCredential {
 public:
  explicit AzureCliCredential(AzureCliOptions options = {});

 private:
  /// @throws CredentialUnavailableError when the CLI is missing, nobody is logged in, or it
  ///         does not answer in time; AuthenticationError when it fails otherwise (its error
  ///         output summarised) or answers something that holds no token.
  AccessToken fetchToken(std::chrono::system_clock::time_point now) override;

  AzureCliOptions options_;
  AzureEndpoints endpoints_;
};

}  // namespace collab::azure
