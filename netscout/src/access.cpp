// NetScout's direct access to Azure: tokens, subscriptions, resource groups and Resource Graph.
#include <exception>

#include "collab/azure/arm_requests.hpp"
#include "collab/azure/authentication_context.hpp"
#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/management_clients.hpp"
#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "collab/text_form.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {

namespace {

const collab::Json& member(const collab::Json& entry, const char* key) {
  auto it = entry.is_object() ? entry.find(key) : entry.end();
  if (it == entry.end()) throw collab::MissingKeyError(key, "subscription entry");
  return *it;
}

}  // namespace

std::optional<std::string> NetScout::getAccessToken(const std::string& tenant_id,
                                                    const std::string& application_id,
                                                    const std::string& application_secret) {
  auto log = collab::getLogger("netscout");
  try {
    const collab::azure::AzureEndpoints endpoints = collab::azure::currentEndpoints();
    // The login endpoint ends with "/", so the tenant follows it directly.
    collab::azure::AuthenticationContext context(endpoints.login + tenant_id);
    collab::Json token = context.acquire_token_with_client_credentials(
        endpoints.managementResource, application_id, application_secret);
    auto it = token.find("accessToken");
    if (it == token.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  } catch (const std::exception& error) {
    log->error("{}", error.what());
  } catch (...) {
    log->error("unknown failure");
  }
  return std::nullopt;
}

void NetScout::getSubscriptions(const std::string& accessToken) {
  auto log = collab::getLogger("netscout");
  const collab::Json entries = collab::azure::requestSubscriptions(accessToken);
  for (const auto& entry : entries) {
    log->info("{}:{}", collab::textForm(member(entry, "displayName")),
              collab::textForm(member(entry, "subscriptionId")));
  }
}

std::vector<std::string> NetScout::getAllResourceGroup(const collab::azure::AzureCredential& cred) {
  collab::azure::ResourceManagementClient client(cred.getSPC(), cred.getSubId());
  std::vector<std::string> names;
  for (auto& group : client.resource_groups.list()) names.push_back(std::move(group.name));
  return names;
}

collab::azure::QueryResponse NetScout::getResources(const std::string& strQuery,
                                                    const collab::azure::AzureCredential& cred) {
  collab::azure::ResourceGraphClient client(cred.getCSC());
  collab::azure::QueryRequestOptions options;
  options.result_format = "objectArray";
  collab::azure::QueryRequest request;
  request.subscriptions = {cred.getSubId()};
  request.query = strQuery;
  request.options = options;
  return client.resources(request);
}

}  // namespace netscout
