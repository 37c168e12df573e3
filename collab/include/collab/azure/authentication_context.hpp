#pragma once
// The token request of the client-credentials grant, answered as a token map.
#include <memory>
#include <string>

#include "collab/azure/retry_policy.hpp"
#include "collab/azure/transport.hpp"
#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab::azure {

/// An Azure AD authority (login endpoint + tenant id, e.g.
/// "https://login.microsoftonline.com/contoso.onmicrosoft.com") to request tokens from.
class COLLAB_EXPORT AuthenticationContext {
 public:
  /// A null `transport` means the default transport.
  explicit AuthenticationContext(std::string authority,
                                 std::shared_ptr<Transport> transport = nullptr,
                                 RetryOptions retry = {});

  /// Requests a token for `resource` with the application's id and secret from
  /// `{authority}/oauth2/token`.  The map holds "accessToken", "tokenType", "expiresIn"
  /// (seconds), "expiresOn" (UTC, "YYYY-MM-DD HH:MM:SS"), "resource", "_clientId" and
  /// "_authority"; members missing from Azure's answer are missing from the map (a 2xx answer
  /// without a token gives a map without "accessToken").
  /// @throws AuthenticationError when Azure AD refuses, TransportError when it cannot be
  ///         reached.
  Json acquire_token_with_client_credentials(const std::string& resource,
                                             const std::string& application_id,
                                             const std::string& application_secret);

  const std::string& authority() const noexcept { return authority_; }

 private:
  std::string authority_;
  std::shared_ptr<Transport> transport_;
  RetryOptions retry_;
};

}  // namespace collab::azure
