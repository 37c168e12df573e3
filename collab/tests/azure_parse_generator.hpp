#pragma once
// Generates route-table list pages shaped like Resource Manager's `routeTables` answers, with
// the variety real subscriptions show: untagged and tagged tables (unicode included), tables
// with and without associated subnets, the BGP flag absent, true or false, service-tag
// destinations, appliance next hops with addresses and other next hops without.  Deterministic
// for a given seed.  Used by the parser tests and the parser benchmark.
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "collab/json.hpp"

namespace collab::azure::testing {

struct RouteTablePageSpec {
  std::size_t tables = 100;
  std::size_t routes_per_table = 25;
  std::uint32_t seed = 1;
  std::size_t first_index = 0;  // numbering continues across pages
  bool with_next_link = true;
};

inline std::string generateRouteTablePage(const RouteTablePageSpec& spec) {
  std::mt19937 rng(spec.seed);
  auto pick = [&rng](std::size_t n) {
    return static_cast<std::size_t>(std::uniform_int_distribution<std::size_t>(0, n - 1)(rng));
  };
  static const char* const kRegions[] = {"westeurope", "northeurope", "eastus2", "southeastasia"};
  static const char* const kServiceTags[] = {"AzureCloud", "Storage.WestEurope", "AzureMonitor",
                                             "Sql"};
  static const char* const kHops[] = {"VirtualNetworkGateway", "VnetLocal", "Internet", "None"};
  const std::string sub = "/subscriptions/3f2b8c1e-6a4d-4f0e-9b7a-2c5d8e1f0a93";

  Json page = Json::object();
  Json& value = page["value"] = Json::array();
  for (std::size_t t = 0; t < spec.tables; ++t) {
    const std::size_t n = spec.first_index + t;
    const std::string rg = "rg-net-" + std::to_string(n % 17);
    const std::string name = "rt-spoke-" + std::to_string(n);
    const std::string id =
        sub + "/resourceGroups/" + rg + "/providers/Microsoft.Network/routeTables/" + name;
    Json table = Json::object();
    table["name"] = name;
    table["id"] = id;
    table["etag"] = "W/\"7f1c4a2e-0b1d-4c55-9e8a-" + std::to_string(100000000000 + n) + "\"";
    table["type"] = "Microsoft.Network/routeTables";
    table["location"] = kRegions[pick(4)];
    switch (pick(4)) {
      case 0:
        break;  // untagged: no member at all
      case 1:
        table["tags"] = Json::object();
        break;
      default:
        table["tags"] = {{"owner", "équipe-réseau"},
                         {"Name", "spoke ↗ " + std::to_string(n)},
                         {"cost-center", "CC-" + std::to_string(1000 + n % 9000)}};
    }
    Json props = Json::object();
    props["provisioningState"] = "Succeeded";
    props["resourceGuid"] = "0c0b7c2a-8f4e-4bb5-a0b1-" + std::to_string(200000000000 + n);
    switch (pick(3)) {
      case 0:
        break;  // omitted, as in list output
      case 1:
        props["disableBgpRoutePropagation"] = true;
        break;
      default:
        props["disableBgpRoutePropagation"] = false;
    }
    Json& routes = props["routes"] = Json::array();
    for (std::size_t r = 0; r < spec.routes_per_table; ++r) {
      const std::string routeName = "route-" + std::to_string(r);
      Json rp = Json::object();
      rp["provisioningState"] = "Succeeded";
      const std::size_t kind = pick(8);
      if (kind == 0) {
        rp["addressPrefix"] = kServiceTags[pick(4)];
        rp["nextHopType"] = "Internet";
      } else if (kind < 5) {
        rp["addressPrefix"] = "10." + std::to_string(pick(256)) + "." + std::to_string(r) + ".0/24";
        rp["nextHopType"] = "VirtualAppliance";
        rp["nextHopIpAddress"] = "10.10.0." + std::to_string(4 + pick(200));
      } else {
        rp["addressPrefix"] = "172." + std::to_string(16 + pick(16)) + ".0.0/16";
        rp["nextHopType"] = kHops[pick(4)];
      }
      rp["hasBgpOverride"] = false;
      routes.push_back({{"name", routeName},
                        {"id", id + "/routes/" + routeName},
                        {"etag", table["etag"]},
                        {"properties", std::move(rp)},
                        {"type", "Microsoft.Network/routeTables/routes"}});
    }
    switch (pick(3)) {
      case 0:
        break;  // not associated: no member at all
      case 1:
        props["subnets"] = Json::array();
        break;
      default: {
        Json& subnets = props["subnets"] = Json::array();
        const std::size_t count = 1 + pick(3);
        for (std::size_t s = 0; s < count; ++s) {
          subnets.push_back({{"id", sub + "/resourceGroups/" + rg +
                                        "/providers/Microsoft.Network/virtualNetworks/vnet-" +
                                        std::to_string(n) + "/subnets/snet-" + std::to_string(s)}});
        }
      }
    }
    table["properties"] = std::move(props);
    value.push_back(std::move(table));
  }
  if (spec.with_next_link) {
    page["nextLink"] =
        "https://management.azure.com" + sub +
        "/providers/Microsoft.Network/routeTables?api-version=2024-05-01&$skiptoken=" +
        std::to_string(spec.first_index + spec.tables);
  }
  return page.dump();
}

}  // namespace collab::azure::testing
