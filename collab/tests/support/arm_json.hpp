#pragma once
// Real-shaped Azure Resource Manager JSON for tests: list pages and route tables as
// Microsoft.Network returns them.
#include <optional>
#include <string>

#include "collab/json.hpp"

namespace kx::test {

/// A route table of `routes` routes, alternating VirtualAppliance (with next-hop address) and
/// Internet next hops, tagged, associated with one subnet.
inline collab::Json routeTableJson(const std::string& subscription, const std::string& group,
                                   const std::string& name, int routes) {
  std::string id = "/subscriptions/" + subscription + "/resourceGroups/" + group +
                   "/providers/Microsoft.Network/routeTables/" + name;
  collab::Json routeList = collab::Json::array();
  for (int r = 0; r < routes; ++r) {
    std::string routeName = "r" + std::to_string(r);
    collab::Json properties = {{"provisioningState", "Succeeded"},
                               {"addressPrefix", "10." + std::to_string(r % 250) + "." +
                                                     std::to_string(r / 250) + ".0/24"},
                               {"nextHopType", r % 2 == 0 ? "VirtualAppliance" : "Internet"},
                               {"hasBgpOverride", false}};
    if (r % 2 == 0) properties["nextHopIpAddress"] = "10.255.0.4";
    routeList.push_back({{"name", routeName},
                         {"id", id + "/routes/" + routeName},
                         {"etag", "W/\"3f0b3c9e-6a3b-4a39-9d7b-0c1f4b8d2e11\""},
                         {"type", "Microsoft.Network/routeTables/routes"},
                         {"properties", properties}});
  }
  return {
      {"name", name},
      {"id", id},
      {"etag", "W/\"9a8b7c6d-5e4f-4a3b-2c1d-0e9f8a7b6c5d\""},
      {"type", "Microsoft.Network/routeTables"},
      {"location", "westus"},
      {"tags", {{"owner", "net"}, {"env", "prod"}}},
      {"properties",
       {{"provisioningState", "Succeeded"},
        {"resourceGuid", "1b2c3d4e-5f60-4718-9a0b-1c2d3e4f5a6b"},
        {"disableBgpRoutePropagation", false},
        {"routes", routeList},
        {"subnets",
         {{{"id", "/subscriptions/" + subscription + "/resourceGroups/" + group +
                      "/providers/Microsoft.Network/virtualNetworks/vnet1/subnets/" + name}}}}}}};
}

/// A list page: `{"value": [...], "nextLink": ...}`; no nextLink member when absent.
inline collab::Json listPage(collab::Json values, std::optional<std::string> nextLink) {
  collab::Json page = {{"value", std::move(values)}};
  if (nextLink) page["nextLink"] = *nextLink;
  return page;
}

}  // namespace kx::test
