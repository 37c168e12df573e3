#pragma once
// A loopback Azure for the discovery tests: one subscription's route tables (in pages),
// virtual network gateways, VNets, resource groups, VM sizes and compute quota as Resource
// Manager lists them, and Resource Graph answering the discovery's queries from a small
// inventory of gateways, network interfaces and machines.
//
// The real clients talk to it over HTTP on 127.0.0.1.  Handlers read the inventory when a
// request arrives, so a test may change it between two operations (never during one).
#include <httplib.h>

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/virtual_network.hpp"
#include "collab/json.hpp"
#include "collab/text_compare.hpp"
#include "support/captured_log.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"

namespace netscout::testing {

using collab::Json;
namespace az = collab::azure;
using Level = spdlog::level::level_enum;

/// What `log` captured, as (level, text) pairs.
inline std::vector<std::pair<Level, std::string>> linesOf(const kx::test::CapturedLog& log) {
  std::vector<std::pair<Level, std::string>> lines;
  for (const auto& line : log.lines()) lines.emplace_back(line.level, line.text);
  return lines;
}

inline const std::string kSub = "5e4d3c2b-1a09-4f8e-9d7c-6b5a4f3e2d1c";

inline std::string groupId(const std::string& group) {
  return "/subscriptions/" + kSub + "/resourceGroups/" + group;
}
inline std::string subnetId(const std::string& vnet, const std::string& subnet) {
  return groupId("rg-net") + "/providers/Microsoft.Network/virtualNetworks/" + vnet + "/subnets/" +
         subnet;
}

/// The VNet object discovery is handed (only its name and id are read).
inline az::VirtualNetwork vnetObject(const std::string& name) {
  az::VirtualNetwork vnet;
  vnet.name = name;
  vnet.id = groupId("rg-net") + "/providers/Microsoft.Network/virtualNetworks/" + name;
  vnet.location = "westus";
  return vnet;
}

/// A virtual network gateway as VirtualNetworkGateways_List returns it, with one ip
/// configuration per GatewaySubnet id of `subnetIds`.
inline Json gatewayJson(const std::string& name, const std::string& group, const std::string& type,
                        const std::vector<std::string>& subnetIds) {
  const std::string id =
      groupId(group) + "/providers/Microsoft.Network/virtualNetworkGateways/" + name;
  Json configurations = Json::array();
  for (std::size_t i = 0; i < subnetIds.size(); ++i) {
    const std::string config = "ipconfig" + std::to_string(i);
    configurations.push_back({{"name", config},
                              {"id", id + "/ipConfigurations/" + config},
                              {"properties", {{"subnet", {{"id", subnetIds[i]}}}}}});
  }
  return {
      {"name", name},
      {"id", id},
      {"location", "westus"},
      {"properties",
       {{"gatewayType", type}, {"vpnType", "RouteBased"}, {"ipConfigurations", configurations}}}};
}

/// A VNet as VirtualNetworks_ListAll returns it, without subnets or peerings.
inline Json vnetJson(const std::string& group, const std::string& name, const std::string& location,
                     const std::string& prefix) {
  return {{"name", name},
          {"id", groupId(group) + "/providers/Microsoft.Network/virtualNetworks/" + name},
          {"location", location},
          {"properties",
           {{"addressSpace", {{"addressPrefixes", {prefix}}}}, {"subnets", Json::array()}}}};
}

/// An entry of the Microsoft.Capacity service-limit list.
inline Json serviceLimitJson(const std::string& name, Json limit, Json currentValue) {
  return {{"name", name},
          {"properties",
           {{"limit", std::move(limit)},
            {"unit", "Count"},
            {"currentValue", std::move(currentValue)},
            {"name", {{"value", name}, {"localizedValue", name}}}}}};
}

/// A file of collab's real-shaped ARM fixtures, parsed, its subscription made kSub.
inline Json armFixture(const std::string& file) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/collab/tests/data/arm/" + file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string fixtureSub = "3f2b8c1e-6a4d-4f0e-9b7a-2c5d8e1f0a93";
  for (auto at = text.find(fixtureSub); at != std::string::npos; at = text.find(fixtureSub, at))
    text.replace(at, fixtureSub.size(), kSub);
  return Json::parse(text);
}

/// A network interface; `tagged` stands for the tag Corvanta-Created-Resource.
struct NicSpec {
  std::string name;
  std::string subnetId;
  bool tagged = true;
  std::string id() const {
    return groupId("rg-net") + "/providers/Microsoft.Network/networkInterfaces/" + name;
  }
};

struct VmSpec {
  std::string name;
  std::string nicId;
  bool tagged = true;
};

class FakeAzure {
 public:
  /// Route tables as RouteTables_ListAll returns them.
  Json tables = Json::array();
  /// Tables per list page; 0 puts them all on one page.
  std::size_t pageSize = 0;
  /// The list page (1 for the first) answered with 403 AuthorizationFailed.
  std::optional<std::size_t> refusedPage;
  /// Gateways as gatewayJson builds them, listed by the resource group of their id.
  Json gateways = Json::array();
  std::vector<NicSpec> nics;
  std::vector<VmSpec> vms;
  /// Resource Graph counts the matching records but sends no row.
  bool rowlessAnswers = false;
  /// VNets as VirtualNetworks_ListAll returns them (one page).
  Json vnets = Json::array();
  /// Resource group names; absent: listing them is refused (403).
  std::optional<std::vector<std::string>> groups;
  /// Location to the VM sizes (vmSizes) and service limits (Microsoft.Capacity) offered
  /// there; another location answers 404.
  std::map<std::string, Json> vmSizes, quotas;

  FakeAzure() {
    auto& s = server_.server();
    s.Get("/subscriptions/" + kSub + "/providers/Microsoft.Network/routeTables",
          [this](const httplib::Request&, httplib::Response& res) { routeTablePage(1, res); });
    s.Get("/rt-page", [this](const httplib::Request& req, httplib::Response& res) {
      routeTablePage(std::stoul(req.get_param_value("p")), res);
    });
    s.Get(
        R"(/subscriptions/[^/]+/resourceGroups/([^/]+)/providers/Microsoft\.Network/virtualNetworkGateways)",
        [this](const httplib::Request& req, httplib::Response& res) {
          Json values = Json::array();
          for (const auto& g : gateways) {
            if (g["id"].get<std::string>().starts_with(groupId(req.matches[1]) + "/"))
              values.push_back(g);
          }
          answer(res, {{"value", values}});
        });
    s.Get("/subscriptions/" + kSub + "/providers/Microsoft.Network/virtualNetworks",
          [this](const httplib::Request&, httplib::Response& res) {
            answer(res, {{"value", vnets}});
          });
    s.Get("/subscriptions/" + kSub + "/resourcegroups",
          [this](const httplib::Request&, httplib::Response& res) {
            if (!groups)
              return refuse(res, "Microsoft.Resources/subscriptions/resourceGroups/read");
            Json values = Json::array();
            for (const auto& g : *groups)
              values.push_back({{"id", groupId(g)}, {"name", g}, {"location", "westus"}});
            answer(res, {{"value", values}});
          });
    s.Get(R"(/subscriptions/[^/]+/providers/Microsoft\.Compute/locations/([^/]+)/vmSizes)",
          [this](const httplib::Request& req, httplib::Response& res) {
            listByLocation(vmSizes, req.matches[1], res);
          });
    s.Get(
        R"(/subscriptions/[^/]+/providers/Microsoft\.Capacity/resourceProviders/Microsoft\.Compute/locations/([^/]+)/serviceLimits)",
        [this](const httplib::Request& req, httplib::Response& res) {
          listByLocation(quotas, req.matches[1], res);
        });
    s.Post("/providers/Microsoft.ResourceGraph/resources",
           [this](const httplib::Request& req, httplib::Response& res) { graph(req, res); });
  }

  void start() {
    server_.start();
    endpoints_.emplace(kx::test::loopbackEndpoints(server_.baseUrl()));
    transport_.emplace(std::make_shared<az::CurlTransport>());
  }

  az::AzureCredential credential() const {
    auto token = std::make_shared<az::StaticTokenCredential>("discovery-token");
    return az::AzureCredential(kSub, token, token);
  }

  /// The Resource Graph query texts received, in order.
  std::vector<std::string> graphQueries() const {
    std::vector<std::string> queries;
    for (const auto& r : server_.requests()) {
      if (r.target.starts_with("/providers/Microsoft.ResourceGraph/resources"))
        queries.push_back(Json::parse(r.body).at("query").get<std::string>());
    }
    return queries;
  }

  /// The paths of the requests whose path contains `pathPart`, in order.
  std::vector<std::string> pathsTo(std::string_view pathPart) const {
    std::vector<std::string> paths;
    for (const auto& r : server_.requests()) {
      std::string path = r.target.substr(0, r.target.find('?'));
      if (path.find(pathPart) != std::string::npos) paths.push_back(std::move(path));
    }
    return paths;
  }
  /// Requests whose method is `method` and whose path contains `pathPart`.
  std::size_t requestsTo(std::string_view method, std::string_view pathPart) const {
    std::size_t n = 0;
    for (const auto& r : server_.requests()) {
      const std::string path = r.target.substr(0, r.target.find('?'));
      if (r.method == method && path.find(pathPart) != std::string::npos) ++n;
    }
    return n;
  }
  std::size_t requestCount() const { return server_.requestCount(); }
  void clearRequests() { server_.clearRequests(); }
  kx::test::LoopbackServer& server() { return server_; }

 private:
  static void answer(httplib::Response& res, const Json& body, int status = 200) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
  }

  static void refuse(httplib::Response& res, const std::string& action) {
    answer(res,
           {{"error",
             {{"code", "AuthorizationFailed"},
              {"message",
               "The client does not have authorization to perform action '" + action + "'."}}}},
           403);
  }
  static void listByLocation(const std::map<std::string, Json>& lists, const std::string& location,
                             httplib::Response& res) {
    auto it = lists.find(location);
    if (it == lists.end())
      return answer(
          res, {{"error", {{"code", "NoRegisteredProviderFound"}, {"message", location}}}}, 404);
    answer(res, {{"value", it->second}});
  }

  void routeTablePage(std::size_t page, httplib::Response& res) const {
    if (refusedPage == page) return refuse(res, "Microsoft.Network/routeTables/read");
    const std::size_t size = pageSize ? pageSize : tables.size();
    Json values = Json::array();
    for (std::size_t i = (page - 1) * size; i < std::min(page * size, tables.size()); ++i)
      values.push_back(tables[i]);
    Json body = {{"value", values}};
    if (page * size < tables.size())
      body["nextLink"] =
          server_.baseUrl() + "/rt-page?p=" + std::to_string(page + 1) + "&api-version=2024-05-01";
    answer(res, body);
  }

  // Answers the three kinds of query discovery sends, by the literal each one filters on;
  // anything else is a bad request.
  void graph(const httplib::Request& req, httplib::Response& res) const {
    const std::string query = Json::parse(req.body).at("query").get<std::string>();
    // A literal is quoted with ' and may hold KQL's backslash escapes.
    static const std::regex gatewayQuery(
        R"(subnet\.id =~ '((?:[^'\\]|\\.)*)' \| project properties\.gatewayType$)");
    static const std::regex nicQuery(
        R"(^Resources \| where type =~ 'Microsoft\.Network/networkInterfaces' and tags contains 'Corvanta-Created-Resource' .* ipconfig\.properties\.subnet\.id has '((?:[^'\\]|\\.)*)'$)");
    static const std::regex vmQuery(
        R"(^Resources \| where type =~ 'microsoft\.compute/virtualMachines' and tags contains 'Corvanta-Created-Resource' .* nic\.id =~ '((?:[^'\\]|\\.)*)'$)");
    std::smatch m;
    const auto literal = [&] {
      std::string text;
      const std::string quoted = m[1].str();
      for (std::size_t i = 0; i < quoted.size(); ++i)
        text += quoted[i] == '\\' ? quoted[++i] : quoted[i];
      return text;
    };
    Json rows = Json::array();
    if (std::regex_search(query, m, gatewayQuery)) {
      for (const auto& g : gateways) {
        for (const auto& config : g["properties"]["ipConfigurations"]) {
          if (collab::ci_equal(config["properties"]["subnet"]["id"].get<std::string>(), literal()))
            rows.push_back({{"properties_gatewayType", g["properties"]["gatewayType"]}});
        }
      }
    } else if (std::regex_search(query, m, nicQuery)) {
      for (const auto& nic : nics) {
        if (nic.tagged && nic.subnetId.find(literal()) != std::string::npos)
          rows.push_back({{"id", nic.id()}, {"name", nic.name}});
      }
    } else if (std::regex_search(query, m, vmQuery)) {
      for (const auto& vm : vms) {
        if (vm.tagged && collab::ci_equal(vm.nicId, literal()))
          rows.push_back({{"id", groupId("rg-net") +
                                     "/providers/Microsoft.Compute/virtualMachines/" + vm.name},
                          {"name", vm.name}});
      }
    } else {
      answer(res, {{"error", {{"code", "BadRequest"}, {"message", "unexpected query"}}}}, 400);
      return;
    }
    answer(res, {{"totalRecords", rows.size()},
                 {"count", rowlessAnswers ? 0 : rows.size()},
                 {"resultTruncated", "false"},
                 {"facets", Json::array()},
                 {"data", rowlessAnswers ? Json::array() : rows}});
  }

  kx::test::LoopbackServer server_;
  std::optional<kx::test::ScopedEndpoints> endpoints_;
  std::optional<kx::test::ScopedDefaultTransport> transport_;
};

}  // namespace netscout::testing
