#include "collab/azure/client_assertion_credential.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "text_util.hpp"
#include "token_request.hpp"

namespace collab::azure {

ClientAssertionCredential::ClientAssertionCredential(std::string tenantId, std::string clientId,
                                                     AssertionSource assertion,
                                                     CredentialOptions options)
    : RefreshingCredential(options.retry.clock, options.refreshMargin),
      tenantId_(std::move(tenantId)),
      clientId_(std::move(clientId)),
      assertion_(std::move(assertion)),
      options_(std::move(options)),
      endpoints_(options_.endpoints ? *options_.endpoints : currentEndpoints()) {}

AccessToken ClientAssertionCredential::fetchToken(std::chrono::system_clock::time_point now) {
  detail::TokenRequest request;
  request.tokenUrl = detail::tokenUrl(endpoints_, tenantId_);
  request.resource = endpoints_.managementResource;
  request.clientId = clientId_;
  request.clientAssertion = assertion_(request.tokenUrl, now);
  request.who = "application " + clientId_ + " in tenant " + tenantId_;
  if (request.clientAssertion.empty())
    throw CredentialUnavailableError("no client assertion for " + request.who);
  return detail::fetchAccessToken(options_, request, now);
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
