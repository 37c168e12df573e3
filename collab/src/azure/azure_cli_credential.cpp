#include "collab/azure/azure_cli_credential.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "child_process.hpp"
#include "collab/azure/http_message.hpp"
#include "collab/json.hpp"
#include "text_util.hpp"
#include "token_request.hpp"

namespace collab::azure {

namespace {

// What the CLI said on its error output, in a line: its "ERROR:" lines when it has any (the
// rest is mostly warnings about its own version), else its first line.
std::string summary(const std::string& err) {
  std::string errors;
  std::size_t start = 0;
  while (start < err.size()) {
    std::size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    std::string_view line = detail::trimBlank(std::string_view(err).substr(start, end - start));
    if (line.starts_with("ERROR")) errors += (errors.empty() ? "" : " ") + std::string(line);
    start = end + 1;
  }
  const std::string text = errors.empty() ? detail::firstLine(err) : errors;
  return text.empty() ? "(no error output)" : detail::oneLine(text, 300);
}

// "2024-01-01 12:34:56.789012", the local time older CLIs give the expiry in.
std::optional<std::chrono::system_clock::time_point> localTime(const std::string& text) {
  std::tm parts{};
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6)
    return std::nullopt;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  parts.tm_isdst = -1;
  const std::time_t t = std::mktime(&parts);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(t);
}

}  // namespace

AzureCliCredential::AzureCliCredential(AzureCliOptions options)
    : RefreshingCredential(options.clock, options.refreshMargin),
      options_(std::move(options)),
      endpoints_(options_.endpoints ? *options_.endpoints : currentEndpoints()) {}

AccessToken AzureCliCredential::fetchToken(std::chrono::system_clock::time_point now) {
  std::vector<std::string> argv{
      options_.program, "account",    "get-access-token",           "--output",
      "json",           "--resource", endpoints_.managementResource};
  if (options_.tenantId) {
    argv.push_back("--tenant");
    argv.push_back(*options_.tenantId);
  }
  const std::string what = "Azure CLI sign-in ('" + options_.program +
                           " account get-access-token'" +
                           (options_.tenantId ? " for tenant " + *options_.tenantId : "") + ")";
  const detail::ChildResult run = detail::runChild(argv, options_.timeout);
  if (!run.started) {
    if (run.startError == ENOENT)
      throw CredentialUnavailableError(what + " failed: '" + options_.program +
                                       "' was not found on PATH; install the Azure CLI or choose "
                                       "another sign-in method");
    throw CredentialUnavailableError(what + " failed: '" + options_.program +
                                     "' cannot be started: " + std::strerror(run.startError));
  }
  if (run.timedOut)
    throw CredentialUnavailableError(what + " failed: no answer within " +
                                     std::to_string(options_.timeout.count()) + " s; it was ended");
  if (run.status != 0) {
    const std::string said = summary(run.err);
    if (said.find("az login") != std::string::npos)
      throw CredentialUnavailableError(
          what + " failed: nobody is logged in: " + said + " (run 'az login" +
          (options_.tenantId ? " --tenant " + *options_.tenantId : "") + "' first)");
    throw AuthenticationError(
        what + " failed with exit status " + std::to_string(run.status) + ": " + said, 0, "");
  }

  const Json answer = Json::parse(run.out, nullptr, /*allow_exceptions=*/false);
  auto token = answer.is_object() ? answer.find("accessToken") : answer.end();
  if (!answer.is_object() || token == answer.end() || !token->is_string() ||
      token->get<std::string>().empty())
    throw AuthenticationError(what +
                                  " answered no token: its output is not a JSON object with "
                                  "an accessToken",
                              0, "");
  if (options_.tenantId) {
    auto tenant = answer.find("tenant");
    if (tenant != answer.end() && tenant->is_string() &&
        !equalsIgnoreCase(tenant->get_ref<const std::string&>(), *options_.tenantId))
      throw AuthenticationError(
          what + " answered a token of tenant " + tenant->get<std::string>() + " instead", 0, "");
  }
  std::chrono::system_clock::time_point expires = now;
  if (auto on = detail::integerMember(answer, "expires_on")) {
    expires = std::chrono::system_clock::time_point(std::chrono::seconds(*on));
  } else if (auto local = answer.find("expiresOn"); local != answer.end() && local->is_string()) {
    expires = localTime(local->get<std::string>()).value_or(now);
  }
  return AccessToken{token->get<std::string>(), expires};
}

}  // namespace collab::azure
