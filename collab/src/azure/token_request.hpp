#pragma once
// The client-credentials token request of the Azure AD v1 endpoint, shared by
// `ClientSecretCredential`, `ClientAssertionCredential` and `AuthenticationContext`.
#include <chrono>
#include <optional>
#include <random>
#include <string>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/refreshing_credential.hpp"
#include "collab/azure/retry_policy.hpp"
#include "collab/azure/transport.hpp"
#include "collab/json.hpp"

namespace collab::azure::detail {

struct TokenRequest {
  std::string tokenUrl;
  std::string resource;
  std::string clientId;
  std::string clientSecret;
  /// Sent as a JWT-bearer client assertion instead of the secret when not empty.
  std::string clientAssertion;
  /// Names the requester in messages ("application X in tenant Y").
  std::string who;
};

/// The v1 token endpoint of `tenant`: `{login}{tenant}/oauth2/token`, the tenant encoded.
std::string tokenUrl(const AzureEndpoints& endpoints, const std::string& tenant);

/// Requests a token through the options' transport (the default one when null) and reads it
/// out of the answer; the expiry is reckoned from `now`.
/// @throws AuthenticationError when Azure AD refuses or its answer holds no access_token.
AccessToken fetchAccessToken(const CredentialOptions& options, const TokenRequest& request,
                             std::chrono::system_clock::time_point now);

/// POSTs the form and returns the parsed 2xx answer, retrying throttled and failed attempts.
/// @throws AuthenticationError for a non-2xx answer or a 2xx answer that is not a JSON object;
///         TransportError when Azure AD cannot be reached.
Json requestToken(Transport& transport, const TokenRequest& request, const RetryOptions& retry,
                  std::mt19937_64& random);

/// The failure for an answer that refuses a token: "<what> failed: HTTP <status> [<code>]:
/// <message> [(after <n> attempts)]", without the request's secret or assertion when a request
/// is given.
AuthenticationError refusalOf(const std::string& what, const HttpResponse& response, int attempts,
                              const TokenRequest* request = nullptr);

/// A member holding a whole number either as a JSON number or as a numeric string.
std::optional<std::int64_t> integerMember(const Json& object, const char* key);

/// When the token of `answer` expires: `expires_on` (epoch seconds) if present, else `now` +
/// `expires_in`, else `now` (a token of unknown lifetime is not reused).
std::chrono::system_clock::time_point expiryOf(const Json& answer,
                                               std::chrono::system_clock::time_point now);

}  // namespace collab::azure::detail
