#include "collab/azure/client_assertion_credential.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "text_util.hpp"

namespace collab::azure {

ClientAssertionCredential::ClientAssertionCredential(std::string tenantId, std::string clientId,
                                                     AssertionSource assertion,
                                                     CredentialOptions options)
    : ClientCredentialsGrant(std::move(tenantId), std::move(clientId), std::move(options)),
      assertion_(std::move(assertion)) {}

ClientCredentialsGrant::Proof ClientAssertionCredential::proof(
    const std::string& tokenUrl, std::chrono::system_clock::time_point now) {
  std::string assertion = assertion_(tokenUrl, now);
  // An empty assertion would go out as an empty client secret instead.
  if (assertion.empty())
    throw CredentialUnavailableError("no client assertion for application " + clientId() +
                                     " in tenant " + tenantId());
  return Proof{{}, std::move(assertion)};
}

AssertionSource certificateAssertions(std::shared_ptr<const ClientCertificate> certificate,
                                      std::string clientId) {
  return [certificate = std::move(certificate), clientId = std::move(clientId)](
             const std::string& tokenUrl, std::chrono::system_clock::time_point now) {
    return certificate->assertion(clientId, tokenUrl, now);
  };
}

AssertionSource federatedTokenFile(std::string path) {
  return [path = std::move(path)](const std::string&, std::chrono::system_clock::time_point) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
      throw CredentialUnavailableError("federated token file '" + path +
                                       "' cannot be read: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    std::string token(detail::trimBlank(text.str()));
    if (token.empty())
      throw CredentialUnavailableError("federated token file '" + path + "' is empty");
    return token;
  };
}

}  // namespace collab::azure
