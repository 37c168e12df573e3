#pragma once
// One Azure subscription served by a real HTTP server on 127.0.0.1: each GET path set here
// answers a one-page ARM list of the given values, any other path 404 with an ARM error body.
// The process-wide endpoints point at the server while the object lives.
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
  SubscriptionServer() {
    server_.server().Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      auto it = lists_.find(req.path);
      if (it == lists_.end()) res.status = 404;
      const collab::Json body =
          it == lists_.end()
              ? collab::Json{{"error", {{"code", "NotFound"}, {"message", req.path}}}}
              : collab::Json{{"value", it->second}};
      res.set_content(body.dump(), "application/json");
    });
    server_.start();
    endpoints_.emplace(loopbackEndpoints(server_.baseUrl()));
    transport_.emplace(std::make_shared<collab::azure::CurlTransport>());
  }

  // What the subscription lists; change only between calls.
  void vnets(collab::Json values) { serve("/providers/Microsoft.Network/virtualNetworks", values); }
  void groups(const std::vector<std::string>& names) {
    collab::Json values = collab::Json::array();
    for (const auto& name : names)
      values.push_back({{"id", "/subscriptions/" + kSub + "/resourceGroups/" + name},
                        {"name", name},
                        {"location", "westus"}});
    serve("/resourcegroups", values);
  }
  void gateways(const std::string& group, collab::Json values) {
    serve("/resourceGroups/" + group + "/providers/Microsoft.Network/virtualNetworkGateways",
          values);
  }
  void vmSizes(const std::string& location, collab::Json values) {
    serve("/providers/Microsoft.Compute/locations/" + location + "/vmSizes", values);
  }
  void quota(const std::string& location, collab::Json values) {
    serve("/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/locations/" +
              location + "/serviceLimits",
          values);
  }

  collab::azure::AzureCredential credential() const {
    auto token = std::make_shared<collab::azure::StaticTokenCredential>("token");
    return collab::azure::AzureCredential(kSub, token, token);
  }
  collab::azure::NetworkManagementClient networkClient() const {
    return collab::azure::NetworkManagementClient(credential().getCSC(), kSub);
  }

  /// The paths of the requests so far that contain `part`, in order.
  std::vector<std::string> paths(const std::string& part) const {
    std::vector<std::string> out;
    for (const auto& request : server_.requests()) {
      const std::string path = request.target.substr(0, request.target.find('?'));
      if (path.find(part) != std::string::npos) out.push_back(path);
    }
    return out;
  }
  void clearRequests() { server_.clearRequests(); }

  inline static const std::string kSub = "5e4d3c2b-1a09-4f8e-9d7c-6b5a4f3e2d1c";

 private:
  void serve(const std::string& path, collab::Json values) {
    lists_["/subscriptions/" + kSub + path] = std::move(values);
  }

  std::map<std::string, collab::Json> lists_;
  LoopbackServer server_;
  std::optional<ScopedEndpoints> endpoints_;
  std::optional<ScopedDefaultTransport> transport_;
};

/// A VNet as virtualNetworks/list_all gives it, without subnets or peerings.
inline collab::Json vnetJson(const std::string& group, const std::string& name,
                             const std::string& location, const std::string& prefix) {
  return {
      {"name", name},
      {"id", "/subscriptions/" + SubscriptionServer::kSub + "/resourceGroups/" + group +
                 "/providers/Microsoft.Network/virtualNetworks/" + name},
      {"location", location},
      {"properties",
       {{"addressSpace", {{"addressPrefixes", {prefix}}}}, {"subnets", collab::Json::array()}}}};
}

/// An entry of the Microsoft.Capacity service-limit list.
inline collab::Json serviceLimitJson(const std::string& name, collab::Json limit,
                                     collab::Json currentValue) {
  return {{"name", name},
          {"properties",
           {{"limit", std::move(limit)},
            {"unit", "Count"},
            {"currentValue", std::move(currentValue)},
            {"name", {{"value", name}, {"localizedValue", name}}}}}};
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
