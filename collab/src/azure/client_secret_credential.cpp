#include "collab/azure/client_secret_credential.hpp"

#include <algorithm>
#include <random>

#include "token_request.hpp"
#include "url_text.hpp"

namespace collab::azure {

AuthenticationError::AuthenticationError(const std::string& message, int status, std::string error)
    : std::runtime_error(message), status_(status), error_(std::move(error)) {}

ClientSecretCredential::ClientSecretCredential(std::string tenantId, std::string clientId,
                                               std::string clientSecret,
                                               ClientSecretCredentialOptions options)
    : tenantId_(std::move(tenantId)),
      clientId_(std::move(clientId)),
      clientSecret_(std::move(clientSecret)),
      options_(std::move(options)),
      endpoints_(options_.endpoints ? *options_.endpoints : currentEndpoints()) {}

AccessToken ClientSecretCredential::getToken(bool forceRefresh) {
  std::lock_guard lock(mutex_);
  auto now = options_.retry.clock ? options_.retry.clock() : std::chrono::system_clock::now();
  if (!forceRefresh && cached_ && now < refreshAt_) return *cached_;
  std::string login = endpoints_.login;
  if (login.empty() || login.back() != '/') login += '/';
  detail::TokenRequest request{login + detail::percentEncode(tenantId_) + "/oauth2/token",
                               endpoints_.managementResource, clientId_, clientSecret_,
                               "application " + clientId_ + " in tenant " + tenantId_};
  std::shared_ptr<Transport> transport =
      options_.transport ? options_.transport : defaultTransport();
  std::mt19937_64 random{std::random_device{}()};
  Json answer = detail::requestToken(*transport, request, options_.retry, random);
  auto token = answer.find("access_token");
  if (token == answer.end() || !token->is_string() || token->get<std::string>().empty()) {
    throw AuthenticationError(
        "Azure AD token request for " + request.who + " failed: the answer holds no access_token",
        200, "");
  }
  cached_ = AccessToken{token->get<std::string>(), detail::expiryOf(answer, now)};
  // Replaced `refreshMargin` before expiry, but never before half its lifetime has passed: a
  // token issued for less than the margin is still reused for a while.
  refreshAt_ =
      std::max(cached_->expiresOn - options_.refreshMargin, now + (cached_->expiresOn - now) / 2);
  return *cached_;
}

}  // namespace collab::azure
