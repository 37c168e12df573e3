#pragma once
// Reports of a known layout for the HTML report's tests, in the shape a run writes
// (docs/report.schema.json): hubs with many spokes, the commonest Azure layout.
#include <algorithm>
#include <string>
#include <vector>

#include "collab/json.hpp"

namespace kxdiscover::test {

/// A report of the shape a run writes, of a run of `configuration` that found `subscriptions`.
inline collab::Json reportAround(collab::Json subscriptions, collab::Json summary,
                                 const std::string& configuration) {
  using collab::Json;
  return Json{{"schema", "kx-discover-report/1"},
              {"tool", {{"name", "kx-discover"}, {"version", "0.1.0"}}},
              {"started", "2024-05-01T14:03:27Z"},
              {"finished", "2024-05-01T14:03:29Z"},
              {"command_line", {"kx-discover", configuration}},
              {"configuration", configuration},
              {"status", "completed"},
              {"interrupted", false},
              {"summary", std::move(summary)},
              {"outputs",
               {{"log", "kx.log"},
                {"alert_log", "kx.alert.log"},
                {"terraform", Json::array()},
                {"report", nullptr},
                {"cassette", nullptr}}},
              {"subscriptions", std::move(subscriptions)},
              {"failures", Json::array()}};
}

/// A report of one subscription holding `hubs` hub VNets, peered with each other, each with
/// `spokes` spoke VNets peered with it alone (every peering Connected, both sides reported).
/// Hub h is `vnet-hub-h`, its spoke i `vnet-spoke-h-iii`; the hubs come first, then each hub's
/// spokes in order.
inline collab::Json hubReport(std::size_t hubs, std::size_t spokes) {
  using collab::Json;
  const std::string sub = "aaaaaaaa-0000-0000-0000-000000000001";
  auto id = [&](const std::string& name) {
    return "/subscriptions/" + sub + "/resourceGroups/rg-net/providers/Microsoft.Network/" +
           "virtualNetworks/" + name;
  };
  std::size_t made = 0;
  auto vnet = [&](const std::string& name, const std::vector<std::string>& peers) {
    Json peerings = Json::array();
    for (const std::string& peer : peers)
      peerings.push_back(Json{{"name", "to-" + peer},
                              {"id", id(name) + "/virtualNetworkPeerings/to-" + peer},
                              {"remote_vnet_id", id(peer)},
                              {"remote_vnet", peer},
                              {"remote_subscription", sub},
                              {"state", "Connected"}});
    ++made;
    return Json{
        {"name", name},
        {"id", id(name)},
        {"resource_group", "rg-net"},
        {"region", "eastus"},
        {"address_space",
         {"10." + std::to_string(made / 256) + "." + std::to_string(made % 256) + ".0/24"}},
        {"status", "completed"},
        {"failed_step", nullptr},
        {"failure", nullptr},
        {"subnets", Json::array()},
        {"peerings", std::move(peerings)},
        {"gateways", {{"vng_reported", true}, {"vng", nullptr}, {"spoke_gateway_found", false}}},
        {"route_tables", Json::array()},
        {"refused_routes", Json::array()},
        {"terraform_file", "./terraform/hub-estate/" + name + ".tfvars"},
        {"alerts", Json::array()},
        {"errors", Json::array()}};
  };
  auto hubName = [](std::size_t h) { return "vnet-hub-" + std::to_string(h); };
  auto spokeName = [](std::size_t h, std::size_t i) {
    std::string number = std::to_string(i);
    return "vnet-spoke-" + std::to_string(h) + "-" +
           std::string(3 - std::min<std::size_t>(3, number.size()), '0') + number;
  };
  Json vnets = Json::array();
  for (std::size_t h = 0; h < hubs; ++h) {
    std::vector<std::string> peers;
    for (std::size_t i = 0; i < spokes; ++i) peers.push_back(spokeName(h, i));
    for (std::size_t k = 0; k < hubs; ++k)
      if (k != h) peers.push_back(hubName(k));
    vnets.push_back(vnet(hubName(h), peers));
  }
  for (std::size_t h = 0; h < hubs; ++h)
    for (std::size_t i = 0; i < spokes; ++i) vnets.push_back(vnet(spokeName(h, i), {hubName(h)}));
  Json summary = Json::object();
  for (const char* key :
       {"subscriptions", "subscriptions_failed", "vnets", "vnets_discovered", "vnets_not_found",
        "vnets_failed", "vnets_skipped", "route_tables", "routes_kept", "routes_refused", "alerts",
        "errors", "azure_requests", "azure_retries"})
    summary[key] = 0;
  summary["subscriptions"] = 1;
  summary["vnets"] = summary["vnets_discovered"] = vnets.size();
  summary["seconds"] = 1.5;
  return reportAround(Json::array({Json{{"id", sub},
                                        {"account_name", "hub-estate"},
                                        {"status", "completed"},
                                        {"failures", Json::array()},
                                        {"regions", {"eastus"}},
                                        {"vnets", std::move(vnets)},
                                        {"alerts", Json::array()},
                                        {"errors", Json::array()}}}),
                      std::move(summary), "discovery.yaml");
}

}  // namespace kxdiscover::test
