#include "collab/azure/client_secret_credential.hpp"

#include "token_request.hpp"

namespace collab::azure {

AuthenticationError::AuthenticationError(const std::string& message, int status, std::string error)
    : std::runtime_error(message), status_(status), error_(std::move(error)) {}

ClientSecretCredential::ClientSecretCredential(std::string tenantId, std::string clientId,
                                               std::string clientSecret,
                                               ClientSecretCredentialOptions options)
    : RefreshingCredential(options.retry.clock, options.refreshMargin),
      tenantId_(std::move(tenantId)),
      clientId_(std::move(clientId)),
      clientSecret_(std::move(clientSecret)),
      options_(std::move(options)),
      endpoints_(options_.endpoints ? *options_.endpoints : currentEndpoints()) {}

AccessToken ClientSecretCredential::fetchToken(std::chrono::system_clock::time_point now) {
  detail::TokenRequest request{detail::tokenUrl(endpoints_, tenantId_),
                               endpoints_.managementResource,
                               clientId_,
                               clientSecret_,
                               {},
                               "application " + clientId_ + " in tenant " + tenantId_};
  return detail::fetchAccessToken(options_, request, now);
}

}  // namespace collab::azure
