#include "collab/azure/managed_identity_credential.hpp"

#include <random>

#include "collab/azure/curl_transport.hpp"
#include "collab/secret_registry.hpp"
#include "retry_loop.hpp"
#include "text_util.hpp"
#include "token_request.hpp"
#include "url_text.hpp"

namespace collab::azure {

namespace {

constexpr const char* kMetadataApiVersion = "2018-02-01";
constexpr const char* kIdentityEndpointApiVersion = "2019-08-01";

// 404 and 410: the metadata service is starting or being updated, and asks to be asked again.
bool retryable(int status) { return isRetryableStatus(status) || status == 404 || status == 410; }

}  // namespace

ManagedIdentityCredential::ManagedIdentityCredential(ManagedIdentityOptions options)
    : RefreshingCredential(options.retry.clock, options.refreshMargin),
      options_(std::move(options)),
      endpoints_(options_.endpoints ? *options_.endpoints : currentEndpoints()) {
  if (options_.transport) {
    transport_ = options_.transport;
  } else {
    CurlTransportOptions curl;
    curl.instanceMetadata = true;
    curl.connectTimeout = options_.connectTimeout;
    // The endpoint answers at once or not at all; a stalled transfer is not worth a minute.
    curl.lowSpeedTime = std::chrono::seconds(20);
    transport_ = std::make_shared<CurlTransport>(curl);
  }
}

std::string ManagedIdentityCredential::description() const {
  std::string who = options_.clientId ? "user-assigned identity " + *options_.clientId
                                      : std::string("system-assigned identity");
  return who + (options_.identityEndpoint
                    ? " at the identity endpoint " + redactUrl(*options_.identityEndpoint)
                    : " at the instance metadata service " + redactUrl(options_.metadataEndpoint));
}

AccessToken ManagedIdentityCredential::fetchToken(std::chrono::system_clock::time_point now) {
  HttpRequest http;
  http.method = "GET";
  std::string query;
  if (options_.identityEndpoint) {
    http.url = *options_.identityEndpoint;
    query = std::string("api-version=") + kIdentityEndpointApiVersion;
    collab::SecretRegistry::instance().add(options_.identityHeader);
    http.headers.set("X-IDENTITY-HEADER", options_.identityHeader);
  } else {
    http.url = options_.metadataEndpoint;
    while (!http.url.empty() && http.url.back() == '/') http.url.pop_back();
    http.url += "/metadata/identity/oauth2/token";
    query = std::string("api-version=") + kMetadataApiVersion;
    http.headers.set("Metadata", "true");
  }
  query += "&resource=" + detail::percentEncode(endpoints_.managementResource);
  if (options_.clientId) query += "&client_id=" + detail::percentEncode(*options_.clientId);
  http.url += (http.url.find('?') == std::string::npos ? "?" : "&") + query;
  http.headers.set("Accept", "application/json");

  const std::string what = "managed identity token request for the " + description();
  std::mt19937_64 random{std::random_device{}()};
  detail::RetryLoop loop(options_.retry, random, *transport_);
  for (;;) {
    HttpResponse response;
    try {
      response = transport_->send(http);
    } catch (const TransportError& error) {
      // Off Azure nothing listens there; waiting and asking again would not change that.
      throw CredentialUnavailableError(what + " failed: no answer (" + error.detail() +
                                       "); is this an Azure VM, AKS node or App Service "
                                       "with a managed identity?");
    }
    if (response.ok()) {
      Json answer = Json::parse(response.body, nullptr, /*allow_exceptions=*/false);
      auto token = answer.is_object() ? answer.find("access_token") : answer.end();
      if (!answer.is_object() || token == answer.end() || !token->is_string() ||
          token->get<std::string>().empty()) {
        throw AuthenticationError(what + " failed: HTTP " + std::to_string(response.status) +
                                      " answer holds no access_token",
                                  response.status, "");
      }
      return AccessToken{token->get<std::string>(), detail::expiryOf(answer, now)};
    }
    if (retryable(response.status) &&
        loop.waitBeforeRetry(&response.headers, what,
                             "answered HTTP " + std::to_string(response.status))) {
      continue;
    }
    throw detail::refusalOf(what, response, loop.attempt());
  }
}

}  // namespace collab::azure
