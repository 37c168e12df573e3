// Gateways around a VNet: the VNet-to-gateway map, the gateway-type test, the learned-routes
// request and the search for spoke gateways of an earlier migration.
#include "netscout/net_scout.hpp"

namespace netscout {

namespace az = collab::azure;

std::map<std::string, az::VirtualNetworkGateway> NetScout::deduceVnet2VngMap(
    const az::AzureCredential& cred, const std::vector<std::string>& rgList) {
  std::map<std::string, az::VirtualNetworkGateway> vnetToGateway;
  az::NetworkManagementClient client(cred.getCSC(), cred.getSubId());
  for (const auto& group : rgList) {
    const std::vector<az::VirtualNetworkGateway> gateways =
        client.virtual_network_gateways.list(group);
    for (const auto& gateway : gateways) {
      for (const auto& ipConfiguration : gateway.ip_configurations) {
        // A later gateway naming the same VNet replaces the earlier one.
        vnetToGateway.insert_or_assign(idComponent(ipConfiguration.subnet.id, VNET_I), gateway);
      }
    }
  }
  return vnetToGateway;
}

}  // namespace netscout
