#include "collab/azure/client_secret_credential.hpp"

namespace collab::azure {

AuthenticationError::AuthenticationError(const std::string& message, int status, std::string error)
    : std::runtime_error(message), status_(status), error_(std::move(error)) {}

ClientSecretCredential::ClientSecretCredential(std::string tenantId, std::string clientId,
                                               std::string clientSecret,
                                               ClientSecretCredentialOptions options)
    : ClientCredentialsGrant(std::move(tenantId), std::move(clientId), std::move(options)),
      clientSecret_(std::move(clientSecret)) {}

ClientCredentialsGrant::Proof ClientSecretCredential::proof(const std::string&,
                                                            std::chrono::system_clock::time_point) {
  return Proof{clientSecret_, {}};
}

}  // namespace collab::azure
