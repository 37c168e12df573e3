#include "report/report.hpp"

#include <ctime>
#include <string_view>

#include "collab/secret_registry.hpp"
#include "collab/text_compare.hpp"

namespace kxdiscover {

namespace az = collab::azure;

namespace {

constexpr int kSubscriptionIndex = 2;
constexpr int kGroupIndex = 4;
constexpr int kNameIndex = 8;

// Component `index` of a resource id split at "/", or null when the id is too short: a report
// describes what it got and never fails on an odd id.
Json idComponent(const std::string& id, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = id.find('/', start);
    if (start == std::string::npos) return nullptr;
    ++start;
  }
  const std::string part = id.substr(start, id.find('/', start) - start);
  return part.empty() ? Json() : Json(part);
}

template <class T>
Json orNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json();
}

}  // namespace

std::string isoTime(std::chrono::system_clock::time_point time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

Json vnetIdentity(const az::VirtualNetwork& vnet) {
  return Json{
      {"name", vnet.name},
      {"id", vnet.id},
      {"resource_group", idComponent(vnet.id, kGroupIndex)},
      {"region", vnet.location},
      // A VNet drawing its space from an IP address pool lists none.
      {"address_space", vnet.address_space.address_prefixes.value_or(std::vector<std::string>{})}};
}

Json subnetsOf(const az::VirtualNetwork& vnet,
               const std::map<std::string, std::string>& gatewayGroups) {
  Json subnets = Json::array();
  for (const auto& sn : vnet.subnets) {
    Json prefixes = Json::array();
    if (sn.address_prefix) prefixes.push_back(*sn.address_prefix);
    if (sn.address_prefixes)
      for (const auto& prefix : *sn.address_prefixes) prefixes.push_back(prefix);
    Json delegations = Json::array();
    for (const auto& d : sn.delegations)
      delegations.push_back(Json{{"name", d.name}, {"service", orNull(d.service_name)}});
    const auto group = gatewayGroups.find(sn.name);
    subnets.push_back(Json{
        {"name", sn.name},
        {"id", sn.id},
        {"address_prefixes", std::move(prefixes)},
        {"route_table_id", sn.route_table ? Json(sn.route_table->id) : Json()},
        {"network_security_group_id",
         sn.network_security_group ? Json(sn.network_security_group->id) : Json()},
        {"delegations", std::move(delegations)},
        {"gateway_group", group == gatewayGroups.end() ? Json() : Json(group->second)},
    });
  }
  return subnets;
}

Json peeringsOf(const az::VirtualNetwork& vnet) {
  Json peerings = Json::array();
  for (const auto& p : vnet.virtual_network_peerings) {
    // A peering whose remote network Azure did not name has none of the remote's members.
    const std::string remote = p.remote_virtual_network ? p.remote_virtual_network->id : "";
    const auto part = [&](int index) {
      return remote.empty() ? Json() : idComponent(remote, index);
    };
    peerings.push_back(Json{{"name", p.name},
                            {"id", p.id},
                            {"remote_vnet_id", remote.empty() ? Json() : Json(remote)},
                            {"remote_vnet", part(kNameIndex)},
                            {"remote_subscription", part(kSubscriptionIndex)},
                            {"state", orNull(p.peering_state)}});
  }
  return peerings;
}

Json gatewaysOf(const GatewayReport& gateway, const std::string& subscriptionId,
                std::optional<bool> spokeGatewayFound) {
  Json vng;
  if (gateway.gateway) {
    const GatewayLine& g = *gateway.gateway;
    vng = Json{{"name", g.name},
               {"type", orNull(g.type)},
               {"resource_group", g.resourceGroup},
               {"id", "/subscriptions/" + subscriptionId + "/resourceGroups/" + g.resourceGroup +
                          "/providers/Microsoft.Network/virtualNetworkGateways/" + g.name}};
  }
  return Json{{"vng_reported", gateway.reported},
              {"vng", std::move(vng)},
              {"spoke_gateway_found", orNull(spokeGatewayFound)}};
}

Json routeTableOf(const pathbook::Pathbook& table, const az::VirtualNetwork& vnet) {
  // Pathbook keeps the Azure table's name; its id is the one the VNet's subnets refer to,
  // where Azure may spell the name in another letter case.
  Json azureId;
  for (const auto& sn : vnet.subnets) {
    if (!sn.route_table) continue;
    const Json name = idComponent(sn.route_table->id, kNameIndex);
    if (name.is_string() && collab::ci_equal(name.get_ref<const std::string&>(), table.getId())) {
      azureId = sn.route_table->id;
      break;
    }
  }
  Json subnets = Json::array();
  for (const auto& info : table.getSubnetGwGroupInfos())
    subnets.push_back(Json{{"name", info.subnetName}, {"gateway_group", info.group}});
  return Json{{"azure_id", std::move(azureId)},
              {"azure_name", table.getId()},
              {"copy_name", orNull(table.getName())},
              {"subnets", std::move(subnets)},
              {"definition", table.toDict()}};
}

Json refusedRoutesOf(const std::vector<RefusedRoute>& refused) {
  Json out = Json::array();
  for (const auto& r : refused) {
    out.push_back(Json{{"route_table", r.routeTable},
                       {"prefix", r.route.prefix},
                       {"next_hop_type", r.route.nextHopType},
                       {"next_hop_ip", orNull(r.route.nextHopIp)},
                       {"reason", r.reason}});
  }
  return out;
}

Json findingsOf(const CapturedLines& lines, Finding which) {
  Json out = Json::array();
  for (const auto& line : lines) {
    if (findingOf(line) != which) continue;
    const std::size_t start = line.text.find_first_not_of(' ');
    const auto level = spdlog::level::to_string_view(line.level);
    out.push_back(Json{{"logger", line.logger},
                       {"level", std::string(level.data(), level.size())},
                       {"text", start == std::string::npos ? "" : line.text.substr(start)}});
  }
  return out;
}

Json figuresOf(const RunFigures& f) {
  return Json{{"subscriptions", f.subscriptions},
              {"subscriptions_failed", f.subscriptionsFailed},
              {"vnets", f.vnets},
              {"vnets_discovered", f.vnetsDiscovered},
              {"vnets_not_found", f.vnetsNotFound},
              {"vnets_failed", f.vnetsFailed},
              {"vnets_skipped", f.vnetsSkipped},
              {"route_tables", f.routeTables},
              {"routes_kept", f.routesKept},
              {"routes_refused", f.routesRefused},
              {"alerts", f.alerts},
              {"errors", f.errors},
              {"azure_requests", f.requests},
              {"azure_retries", f.retries},
              {"seconds", f.seconds}};
}

Json outputsOf(const RunOutputs& o) {
  return Json{{"log", o.mainLog},
              {"alert_log", o.alertLog},
              {"terraform", o.terraformFiles},
              {"report", orNull(o.report)},
              {"cassette", orNull(o.cassette)}};
}

void redactSecrets(Json& report) {
  const collab::SecretRegistry& secrets = collab::SecretRegistry::instance();
  if (report.is_string()) {
    secrets.redactInPlace(report.get_ref<std::string&>());
  } else if (report.is_array()) {
    for (Json& item : report) redactSecrets(item);
  } else if (report.is_object()) {
    bool renamed = false;
    for (auto& [key, value] : report.items()) {
      std::string name = key;
      renamed |= secrets.redactInPlace(name);
      redactSecrets(value);
    }
    if (!renamed) return;
    // Member names are keys: the object is rebuilt, in the same order, under the new names.
    Json redacted = Json::object();
    for (auto& [key, value] : report.items()) redacted[secrets.redact(key)] = std::move(value);
    report = std::move(redacted);
  }
}

}  // namespace kxdiscover
