#include "token_request.hpp"

#include <charconv>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/client_secret_credential.hpp"
#include "collab/secret_registry.hpp"
#include "retry_loop.hpp"
#include "text_util.hpp"
#include "url_text.hpp"

namespace collab::azure::detail {

namespace {

// `text` without the request's secret or assertion, should the server echo either.
std::string scrub(std::string text, const TokenRequest& request) {
  for (const std::string* secret : {&request.clientSecret, &request.clientAssertion}) {
    if (secret->empty()) continue;
    for (std::size_t at = text.find(*secret); at != std::string::npos;
         at = text.find(*secret, at)) {
      text.replace(at, secret->size(), "REDACTED");
    }
  }
  return text;
}

constexpr const char* kJwtBearer = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";

}  // namespace

Json requestToken(Transport& transport, const TokenRequest& request, const RetryOptions& retry,
                  std::mt19937_64& random) {
  // Registered before anything is sent: an answer may quote the request.
  SecretRegistry& secrets = SecretRegistry::instance();
  secrets.add(request.clientSecret);
  secrets.add(percentEncode(request.clientSecret));
  secrets.add(request.clientAssertion);
  secrets.add(percentEncode(request.clientAssertion));

  HttpRequest http;
  http.method = "POST";
  http.url = request.tokenUrl;
  http.headers.set("Content-Type", "application/x-www-form-urlencoded");
  http.headers.set("Accept", "application/json");
  http.body = "grant_type=client_credentials&client_id=" + percentEncode(request.clientId);
  if (request.clientAssertion.empty()) {
    http.body += "&client_secret=" + percentEncode(request.clientSecret);
  } else {
    http.body += std::string("&client_assertion_type=") + percentEncode(kJwtBearer) +
                 "&client_assertion=" + percentEncode(request.clientAssertion);
  }
  http.body += "&resource=" + percentEncode(request.resource);

  std::string what = "Azure AD token request for " + request.who;
  RetryLoop loop(retry, random, transport);
  for (;;) {
    HttpResponse response;
    try {
      response = transport.send(http);
    } catch (const TransportError& error) {
      if (error.retryable() &&
          loop.waitBeforeRetry(nullptr, what, "failed (" + error.detail() + ")")) {
        continue;
      }
      throw;
    }
    if (response.ok()) {
      Json answer = Json::parse(response.body, nullptr, /*allow_exceptions=*/false);
      if (answer.is_discarded() || !answer.is_object()) {
        throw AuthenticationError(
            what + " failed: HTTP " + std::to_string(response.status) +
                " answer is not a JSON object: " + oneLine(scrub(response.body, request), 200),
            response.status, "");
      }
      if (auto token = answer.find("access_token"); token != answer.end() && token->is_string())
        secrets.add(token->get_ref<const std::string&>());
      return answer;
    }
    if (isRetryableStatus(response.status) &&
        loop.waitBeforeRetry(&response.headers, what,
                             "answered HTTP " + std::to_string(response.status))) {
      continue;
    }
    throw refusalOf(what, response, loop.attempt(), &request);
  }
}

AuthenticationError refusalOf(const std::string& what, const HttpResponse& response, int attempts,
                              const TokenRequest* request) {
  ErrorDetails details = parseErrorBody(response.body);
  std::string message = what + " failed: HTTP " + std::to_string(response.status);
  if (!details.code.empty()) message += " " + details.code;
  message += ": " + details.message;
  if (attempts > 1) message += " (after " + std::to_string(attempts) + " attempts)";
  return AuthenticationError(request ? scrub(message, *request) : message, response.status,
                             details.code);
}

std::string tokenUrl(const AzureEndpoints& endpoints, const std::string& tenant) {
  std::string login = endpoints.login;
  if (login.empty() || login.back() != '/') login += '/';
  return login + percentEncode(tenant) + "/oauth2/token";
}

AccessToken fetchAccessToken(const CredentialOptions& options, const TokenRequest& request,
                             std::chrono::system_clock::time_point now) {
  std::shared_ptr<Transport> transport = options.transport ? options.transport : defaultTransport();
  std::mt19937_64 random{std::random_device{}()};
  Json answer = requestToken(*transport, request, options.retry, random);
  auto token = answer.find("access_token");
  if (token == answer.end() || !token->is_string() || token->get<std::string>().empty()) {
    throw AuthenticationError(
        "Azure AD token request for " + request.who + " failed: the answer holds no access_token",
        200, "");
  }
  return AccessToken{token->get<std::string>(), expiryOf(answer, now)};
}

std::optional<std::int64_t> integerMember(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_integer()) return it->get<std::int64_t>();
  if (it->is_number_float()) return static_cast<std::int64_t>(it->get<double>());
  if (it->is_string()) {
    std::string_view text = trimBlank(it->get_ref<const std::string&>());
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && end == text.data() + text.size() && !text.empty()) return value;
  }
  return std::nullopt;
}

std::chrono::system_clock::time_point expiryOf(const Json& answer,
                                               std::chrono::system_clock::time_point now) {
  if (auto on = integerMember(answer, "expires_on")) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(*on));
  }
  if (auto in = integerMember(answer, "expires_in")) return now + std::chrono::seconds(*in);
  return now;
}

}  // namespace collab::azure::detail
