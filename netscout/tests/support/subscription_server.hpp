#pragma once
// One Azure subscription served by a real HTTP server on 127.0.0.1, answering the Resource
// Manager list calls of VNet, gateway and quota discovery with real-shaped ARM JSON:
//
//   GET /subscriptions/{sub}/providers/Microsoft.Network/virtualNetworks            vnets
//   GET /subscriptions/{sub}/resourcegroups                                          groups
//   GET /subscriptions/{sub}/resourceGroups/{rg}/providers/Microsoft.Network/
//       virtualNetworkGateways                                                       gateways[rg]
//   GET /subscriptions/{sub}/providers/Microsoft.Compute/locations/{loc}/vmSizes    vmSizes[loc]
//   GET /subscriptions/{sub}/providers/Microsoft.Capacity/resourceProviders/
//       Microsoft.Compute/locations/{loc}/serviceLimits                              quotas[loc]
//
// A group or location without an entry answers 404 with an ARM error body, so a test can make
// any call fail.  The process-wide endpoints point at the server while the object lives.
#include <spdlog/common.h>

#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "collab/json.hpp"
#include "support/captured_log.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"

namespace kx::test {

class SubscriptionServer {
 public:
  explicit SubscriptionServer(std::string subscription = "5e4d3c2b-1a09-4f8e-9d7c-6b5a4f3e2d1c")
      : subscription_(std::move(subscription)) {
    const std::string sub = "/subscriptions/([^/]+)";
    auto& s = server_.server();
    s.Get(sub + "/providers/Microsoft.Network/virtualNetworks",
          [this](const httplib::Request&, httplib::Response& res) { answerList(res, vnets); });
    s.Get(sub + "/resourcegroups", [this](const httplib::Request&, httplib::Response& res) {
      collab::Json page = collab::Json::array();
      for (const auto& group : groups)
        page.push_back({{"id", "/subscriptions/" + subscription_ + "/resourceGroups/" + group},
                        {"name", group},
                        {"type", "Microsoft.Resources/resourceGroups"},
                        {"location", "westus"},
                        {"properties", {{"provisioningState", "Succeeded"}}}});
      answerList(res, page);
    });
    s.Get(sub + "/resourceGroups/([^/]+)/providers/Microsoft.Network/virtualNetworkGateways",
          [this](const httplib::Request& req, httplib::Response& res) {
            answerFrom(res, gateways, req.matches[2], "ResourceGroupNotFound");
          });
    s.Get(sub + "/providers/Microsoft.Compute/locations/([^/]+)/vmSizes",
          [this](const httplib::Request& req, httplib::Response& res) {
            answerFrom(res, vmSizes, req.matches[2], "NoRegisteredProviderFound");
          });
    s.Get(sub +
              "/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/locations/"
              "([^/]+)/serviceLimits",
          [this](const httplib::Request& req, httplib::Response& res) {
            answerFrom(res, quotas, req.matches[2], "LocationNotAvailableForResourceType");
          });
    server_.start();
    endpoints_.emplace(loopbackEndpoints(server_.baseUrl()));
    transport_.emplace(std::make_shared<collab::azure::CurlTransport>());
  }

  const std::string& subscription() const { return subscription_; }

  collab::azure::AzureCredential credential() const {
    auto token = std::make_shared<collab::azure::StaticTokenCredential>("token");
    return collab::azure::AzureCredential(subscription_, token, token);
  }
  collab::azure::NetworkManagementClient networkClient() const {
    return collab::azure::NetworkManagementClient(
        std::make_shared<collab::azure::StaticTokenCredential>("token"), subscription_);
  }
  /// The served VNets as the network client reads them.
  std::vector<collab::azure::VirtualNetwork> listVnets() const {
    return networkClient().virtual_networks.list_all();
  }

  /// The paths (query left off) of the requests so far whose path contains `part`, in order.
  std::vector<std::string> paths(const std::string& part) const {
    std::vector<std::string> out;
    for (const auto& request : server_.requests()) {
      const std::string path = request.target.substr(0, request.target.find('?'));
      if (path.find(part) != std::string::npos) out.push_back(path);
    }
    return out;
  }
  void clearRequests() { server_.clearRequests(); }

  // What the subscription holds; change only between calls.
  collab::Json vnets = collab::Json::array();
  std::vector<std::string> groups;
  std::map<std::string, collab::Json> gateways;  // resource group -> gateway list
  std::map<std::string, collab::Json> vmSizes;   // location -> size list
  std::map<std::string, collab::Json> quotas;    // location -> service limit list

 private:
  static void answerList(httplib::Response& res, const collab::Json& values) {
    res.set_content(collab::Json{{"value", values}}.dump(), "application/json");
  }
  static void answerFrom(httplib::Response& res, const std::map<std::string, collab::Json>& lists,
                         const std::string& key, const std::string& code) {
    if (auto it = lists.find(key); it != lists.end()) return answerList(res, it->second);
    res.status = 404;
    res.set_content(
        collab::Json{{"error", {{"code", code}, {"message", key + " not served"}}}}.dump(),
        "application/json");
  }

  std::string subscription_;
  LoopbackServer server_;
  std::optional<ScopedEndpoints> endpoints_;
  std::optional<ScopedDefaultTransport> transport_;
};

// ---- real-shaped ARM JSON -------------------------------------------------------------------

inline std::string networkId(const std::string& sub, const std::string& group,
                             const std::string& type, const std::string& name) {
  return "/subscriptions/" + sub + "/resourceGroups/" + group + "/providers/Microsoft.Network/" +
         type + "/" + name;
}

/// A VNet as virtualNetworks/list_all gives it, with `subnets` and `peerings` embedded.
inline collab::Json vnetJson(const std::string& sub, const std::string& group,
                             const std::string& name, const std::string& location,
                             std::vector<std::string> prefixes,
                             collab::Json subnets = collab::Json::array(),
                             collab::Json peerings = collab::Json::array()) {
  return {{"name", name},
          {"id", networkId(sub, group, "virtualNetworks", name)},
          {"type", "Microsoft.Network/virtualNetworks"},
          {"location", location},
          {"properties",
           {{"provisioningState", "Succeeded"},
            {"addressSpace", {{"addressPrefixes", prefixes}}},
            {"subnets", std::move(subnets)},
            {"virtualNetworkPeerings", std::move(peerings)}}}};
}

/// A subnet of `vnetId` with the given `properties` (addressPrefix, routeTable, ...).
inline collab::Json subnetJson(const std::string& vnetId, const std::string& name,
                               collab::Json properties) {
  properties["provisioningState"] = "Succeeded";
  if (!properties.contains("delegations")) properties["delegations"] = collab::Json::array();
  return {{"name", name},
          {"id", vnetId + "/subnets/" + name},
          {"type", "Microsoft.Network/virtualNetworks/subnets"},
          {"properties", std::move(properties)}};
}

/// A quota entry of the Microsoft.Capacity service limit list.
inline collab::Json serviceLimitJson(const std::string& name, collab::Json limit,
                                     collab::Json currentValue) {
  return {{"id",
           "/subscriptions/s/providers/Microsoft.Capacity/resourceProviders/"
           "Microsoft.Compute/locations/l/serviceLimits/" +
               name},
          {"name", name},
          {"type", "Microsoft.Capacity/ServiceLimits"},
          {"properties",
           {{"limit", std::move(limit)},
            {"unit", "Count"},
            {"currentValue", std::move(currentValue)},
            {"name", {{"value", name}, {"localizedValue", name + " vCPUs"}}}}}};
}

/// A file of collab's ARM fixtures, parsed.
inline collab::Json armFixture(const std::string& file) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/collab/tests/data/arm/" + file);
  std::stringstream text;
  text << in.rdbuf();
  return collab::Json::parse(text.str());
}

using LevelLine = std::pair<spdlog::level::level_enum, std::string>;
inline constexpr auto kInfo = spdlog::level::info;
inline constexpr auto kWarn = spdlog::level::warn;
inline constexpr auto kError = spdlog::level::err;

/// The captured lines with their levels.
inline std::vector<LevelLine> levelLines(const CapturedLog& log) {
  std::vector<LevelLine> out;
  for (const auto& line : log.lines()) out.emplace_back(line.level, line.text);
  return out;
}

}  // namespace kx::test
