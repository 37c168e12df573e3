// Which subnets of a VNet use a route table, their gateway groups, and the route tables of a
// region that no subnet uses.  The association is read from the table's own subnet references
// only; a VNet is recognised by its name alone.
#include <functional>

#include "collab/log.hpp"
#include "collab/text_compare.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {

namespace az = collab::azure;

namespace {

// Calls `visit(subnetName)` for each subnet reference of `rt` that lies in a VNet named
// exactly `vnetName`, in the table's order, until `visit` answers false.
void forEachSubnetInVnet(const az::RouteTable& rt, const std::string& vnetName,
                         const std::function<bool(std::string)>& visit) {
  if (!rt.subnets) return;
  for (const auto& ref : *rt.subnets) {
    if (NetScout::idComponent(ref.id, NetScout::VNET_I) != vnetName) continue;
    if (!visit(NetScout::idComponent(ref.id, NetScout::SUBNET_I))) return;
  }
}

}  // namespace

std::optional<std::string> NetScout::getSubnetUsedInVnet(const az::RouteTable& rt,
                                                         const az::VirtualNetwork& vnet) {
  std::optional<std::string> found;
  forEachSubnetInVnet(rt, vnet.name, [&](std::string subnet) {
    found = std::move(subnet);
    return false;
  });
  return found;
}

std::vector<collab::SubnetGwInfo> NetScout::getGwGroup2SubnetInfo(const az::RouteTable& rt,
                                                                  const az::VirtualNetwork& vnet) {
  std::vector<collab::SubnetGwInfo> infos;
  forEachSubnetInVnet(rt, vnet.name, [&](std::string subnet) {
    infos.emplace_back(std::move(subnet), std::to_string(infos.size() % 2 + 1));
    return true;
  });
  return infos;
}

bool NetScout::isPathbookUsedInVnet(const az::RouteTable& rt, const az::VirtualNetwork& vnet) {
  if (!rt.subnets) return false;
  for (const auto& ref : *rt.subnets) {
    if (collab::ci_equal(vnet.name, idComponent(ref.id, VNET_I))) return true;
  }
  return false;
}

void NetScout::discover_route_table_without_subnet_in_region(
    az::NetworkManagementClient& network_client, const std::string& region) {
  auto log = collab::getLogger("netscout");
  log->info("- Discover route table without subnet association in region {}", region);
  const std::vector<az::RouteTable> tables = network_client.route_tables.list_all();
  for (const auto& rt : tables) {
    // A table Azure sent without a location lies in no region asked about.
    if (rt.location != region || (rt.subnets && !rt.subnets->empty())) continue;
    log->warn("  **Alert** {} {} ({}) has no subnet association", *rt.location,
              rt.name.value_or("None"), rt.id ? idComponent(*rt.id, RG_I) : "None");
  }
}

}  // namespace netscout
