#include "run/options.hpp"

#include <CLI/CLI.hpp>
#include <set>
#include <string_view>

#include "collab/azure/http_message.hpp"
#include "collab/azure/sign_in_method.hpp"
#include "collab/text_form.hpp"
#include "run/learned_routes.hpp"

namespace kxdiscover {

std::string_view urlHost(std::string_view url) {
  const auto scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  if (!rest.empty() && rest.front() == '[') return rest.substr(0, rest.find(']') + 1);
  return rest.substr(0, rest.find(':'));
}

namespace {

void checkEndpoint(const std::string& option, const std::optional<std::string>& url) {
  if (!url) return;
  const std::string_view text = *url;
  const bool https = text.starts_with("https://");
  const bool http = text.starts_with("http://");
  if ((!https && !http) || urlHost(text).empty())
    throw UsageError(option + " " + *url + ": expected an absolute https:// URL");
  if (http && !collab::azure::isLoopbackHost(urlHost(text)))
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

void addAzureOptions(CLI::App& app, RunOptions& options) {
  app.add_option("--subscription", options.subscriptions,
                 "Only this subscription of account_info; repeat for more")
      ->allow_extra_args(false)
      ->type_name("ID");
  std::vector<std::string> methods;
  for (auto name : collab::azure::signInMethodNames()) methods.emplace_back(name);
  app.add_option("--auth", options.auth,
                 "Sign every azure_cred entry in this way instead of its own: client-secret, "
                 "client-certificate, workload-identity, managed-identity or azure-cli")
      ->type_name("METHOD")
      ->check(CLI::IsMember(methods).description(""));
  app.add_option("--arm-endpoint", options.armEndpoint,
                 "Azure Resource Manager endpoint (default https://management.azure.com)")
      ->type_name("URL");
  app.add_option("--login-endpoint", options.loginEndpoint,
                 "Azure AD login endpoint (default https://login.microsoftonline.com/)")
      ->type_name("URL");
  app.add_option("--ca-file", options.caFile,
                 "Trust the certificates of this PEM file besides the system's")
      ->type_name("PEM")
      ->check(CLI::Validator(CLI::ExistingFile).description(""));
}

std::vector<const collab::Json*> selectAccounts(const collab::Json& data,
                                                const RunOptions& options) {
  std::vector<const collab::Json*> accounts;
  const std::set<std::string> wanted(options.subscriptions.begin(), options.subscriptions.end());
  std::set<std::string> found;
  const auto all = data.find("account_info");
  if (all != data.end() && all->is_array()) {
    for (const collab::Json& account : *all) {
      const std::string id = collab::textForm(account.value("subscription_id", collab::Json()));
      if (!wanted.empty() && !wanted.contains(id)) continue;
      accounts.push_back(&account);
      found.insert(id);
    }
  }
  for (const auto& id : wanted) {
    if (!found.contains(id))
      throw UsageError("--subscription " + id + ": " + options.config +
                       " has no account_info entry for that subscription");
  }
  return accounts;
}

}  // namespace kxdiscover
