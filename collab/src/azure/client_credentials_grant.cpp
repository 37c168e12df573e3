#include "collab/azure/client_credentials_grant.hpp"

#include "token_request.hpp"

namespace collab::azure {

ClientCredentialsGrant::ClientCredentialsGrant(std::string tenantId, std::string clientId,
                                               CredentialOptions options)
    : RefreshingCredential(options.retry.clock, options.refreshMargin),
      tenantId_(std::move(tenantId)),
      clientId_(std::move(clientId)),
      options_(std::move(options)),
      endpoints_(options_.endpoints ? *options_.endpoints : currentEndpoints()) {}

AccessToken ClientCredentialsGrant::fetchToken(std::chrono::system_clock::time_point now) {
  detail::TokenRequest request;
  request.tokenUrl = detail::tokenUrl(endpoints_, tenantId_);
  request.resource = endpoints_.managementResource;
  request.clientId = clientId_;
  request.who = "application " + clientId_ + " in tenant " + tenantId_;
  Proof given = proof(request.tokenUrl, now);
  request.clientSecret = std::move(given.secret);
  request.clientAssertion = std::move(given.assertion);
  return detail::fetchAccessToken(options_, request, now);
}

}  // namespace collab::azure
