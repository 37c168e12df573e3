#include "run/options.hpp"

#include <string_view>

#include "collab/azure/http_message.hpp"
#include "run/learned_routes.hpp"

namespace kxdiscover {

namespace {

// The host of an absolute http(s) URL, brackets of an IPv6 literal kept.
std::string_view hostOf(std::string_view url) {
  std::string_view rest = url.substr(url.find("://") + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  if (!rest.empty() && rest.front() == '[') return rest.substr(0, rest.find(']') + 1);
  return rest.substr(0, rest.find(':'));
}

void checkEndpoint(const std::string& option, const std::optional<std::string>& url) {
  if (!url) return;
  const std::string_view text = *url;
  const bool https = text.starts_with("https://");
  const bool http = text.starts_with("http://");
  if ((!https && !http) || hostOf(text).empty())
    throw UsageError(option + " " + *url + ": expected an absolute https:// URL");
  if (http && !collab::azure::isLoopbackHost(hostOf(text)))
    throw UsageError(option + " " + *url +
                     ": plain http is refused except to a loopback host (localhost, "
                     "127.0.0.0/8, ::1), so that no token travels in clear text; use https://");
}

}  // namespace

void checkRunOptions(const RunOptions& options) {
  if (options.record && options.replay)
    throw UsageError(
        "--record and --replay exclude each other: a run either talks to Azure "
        "(and may record it) or replays a recording");
  checkEndpoint("--arm-endpoint", options.armEndpoint);
  checkEndpoint("--login-endpoint", options.loginEndpoint);
  if (options.previous && !options.html)
    throw UsageError("--previous names the earlier report the HTML report (--html) compares with");
  if (options.learnedRoutesTimeout && !options.learnedRoutes)
    throw UsageError(
        "--learned-routes-timeout limits the wait for the gateways' learned routes, which only "
        "--learned-routes asks for");
}

collab::azure::OperationPolling learnedRoutesPolling(const RunOptions& options) {
  collab::azure::OperationPolling polling;
  polling.timeLimit = options.learnedRoutesTimeout
                          ? std::chrono::seconds(*options.learnedRoutesTimeout)
                          : kDefaultLearnedRoutesTimeout;
  return polling;
}

}  // namespace kxdiscover
