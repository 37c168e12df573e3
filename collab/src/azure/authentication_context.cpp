#include "collab/azure/authentication_context.hpp"

#include <ctime>
#include <random>

#include "collab/errors.hpp"
#include "token_request.hpp"

namespace collab::azure {

namespace {

std::string utcText(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

}  // namespace

AuthenticationContext::AuthenticationContext(std::string authority,
                                             std::shared_ptr<Transport> transport,
                                             RetryOptions retry)
    : authority_(std::move(authority)), transport_(std::move(transport)), retry_(std::move(retry)) {
  while (!authority_.empty() && authority_.back() == '/') authority_.pop_back();
}

Json AuthenticationContext::acquire_token_with_client_credentials(
    const std::string& resource, const std::string& application_id,
    const std::string& application_secret) {
  std::size_t slash = authority_.rfind('/');
  std::size_t schemeEnd = authority_.find("://");
  if (slash == std::string::npos || schemeEnd == std::string::npos || slash <= schemeEnd + 2 ||
      authority_.find_first_of("?#", slash) != std::string::npos) {
    throw InvalidValueError("authority '" + authority_ +
                            "' is not a login endpoint followed by a tenant id");
  }
  std::string tenant = authority_.substr(slash + 1);
  detail::TokenRequest request{authority_ + "/oauth2/token",
                               resource,
                               application_id,
                               application_secret,
                               {},
                               "application " + application_id + " in tenant " + tenant};
  std::shared_ptr<Transport> transport = transport_ ? transport_ : defaultTransport();
  std::mt19937_64 random{std::random_device{}()};
  Json answer = detail::requestToken(*transport, request, retry_, random);

  auto now = retry_.clock ? retry_.clock() : std::chrono::system_clock::now();
  Json result = Json::object();
  auto copyText = [&](const char* from, const char* to) {
    auto it = answer.find(from);
    if (it != answer.end() && it->is_string()) result[to] = it->get<std::string>();
  };
  copyText("token_type", "tokenType");
  if (auto expiresIn = detail::integerMember(answer, "expires_in")) {
    result["expiresIn"] = *expiresIn;
  }
  if (answer.contains("expires_on") || answer.contains("expires_in")) {
    result["expiresOn"] = utcText(detail::expiryOf(answer, now));
  }
  copyText("resource", "resource");
  copyText("access_token", "accessToken");
  result["_clientId"] = application_id;
  result["_authority"] = authority_;
  return result;
}

}  // namespace collab::azure
