// Gateways around a VNet: the VNet-to-gateway map, the gateway-type test, the learned-routes
// request and the search for spoke gateways of an earlier migration.
#include <initializer_list>
#include <string_view>

#include "collab/azure/arm_requests.hpp"
#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "collab/text_form.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {

namespace az = collab::azure;

namespace {

static_assert(std::string_view(NetScout::API_VERSION) == az::kLearnedRoutesApiVersion,
              "the learned-routes request speaks NetScout's api-version");

// Each %s below takes one KQL string literal (kqlText): names and ids come from Azure or the
// configuration and are data, never query text.

// The gateways whose ip configuration sits in the subnet %s, with their type.
constexpr std::string_view kGatewayInSubnetQuery =
    "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
    "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
    "ipconfig.properties.subnet.id =~ %s | project properties.gatewayType";

// Network interfaces the system created in the subnet whose id holds %s.
constexpr std::string_view kSpokeInterfaceQuery =
    "Resources | where type =~ 'Microsoft.Network/networkInterfaces' and tags contains "
    "'Corvanta-Created-Resource' | mvexpand ipconfig=properties.ipConfigurations | where "
    "ipconfig.properties.subnet.id has %s";

// Machines the system created behind the network interface %s.
constexpr std::string_view kSpokeMachineQuery =
    "Resources | where type =~ 'microsoft.compute/virtualMachines' and tags contains "
    "'Corvanta-Created-Resource' | mvexpand nics=properties.networkProfile | mvexpand "
    "nic=nics.networkInterfaces | where nic.id =~ %s";

// `text` as a KQL string literal: in single quotes, with "\" and "'" (and the line breaks and
// tab a literal may not hold raw) escaped by a backslash.  A name such as "it's" would
// otherwise end the literal and turn the rest of it into query text.
std::string kqlText(std::string_view text) {
  std::string literal = "'";
  for (char c : text) {
    switch (c) {
      case '\\':
        literal += "\\\\";
        break;
      case '\'':
        literal += "\\'";
        break;
      case '\n':
        literal += "\\n";
        break;
      case '\r':
        literal += "\\r";
        break;
      case '\t':
        literal += "\\t";
        break;
      default:
        literal += c;
    }
  }
  return literal += '\'';
}

// `text` with each "%s" replaced, in order, by the next of `values` as a KQL string literal.
std::string fillQuery(std::string_view text, std::initializer_list<std::string_view> values) {
  std::string query;
  auto value = values.begin();
  std::size_t pos = 0;
  for (auto hole = text.find("%s"); hole != std::string_view::npos; hole = text.find("%s", pos)) {
    if (value == values.end()) throw std::logic_error("query has more holes than values");
    query.append(text.substr(pos, hole - pos)).append(kqlText(*value++));
    pos = hole + 2;
  }
  if (value != values.end()) throw std::logic_error("query has fewer holes than values");
  return query.append(text.substr(pos));
}

// The first row of a Resource Graph answer that counted some.
// @throws collab::IndexRangeError naming the query when the answer holds no row after all.
const collab::Json& firstRow(const az::QueryResponse& answer, const std::string& query) {
  if (!answer.data.is_array() || answer.data.empty())
    throw collab::IndexRangeError("Resource Graph counted " + std::to_string(answer.total_records) +
                                  " records but returned no row for: " + query);
  return answer.data.front();
}

// row[key] in its text form.  @throws collab::MissingKeyError naming the key and the query.
std::string rowText(const collab::Json& row, const char* key, const std::string& query) {
  auto it = row.is_object() ? row.find(key) : row.end();
  if (it == row.end()) throw collab::MissingKeyError(key, "Resource Graph row of: " + query);
  return collab::textForm(*it);
}

}  // namespace

std::map<std::string, az::VirtualNetworkGateway> NetScout::deduceVnet2VngMap(
    const az::AzureCredential& cred, const std::vector<std::string>& rgList) {
  std::map<std::string, az::VirtualNetworkGateway> vnetToGateway;
  az::NetworkManagementClient client(cred.getCSC(), cred.getSubId());
  for (const auto& group : rgList) {
    const std::vector<az::VirtualNetworkGateway> gateways =
        client.virtual_network_gateways.list(group);
    for (const auto& gateway : gateways) {
      for (const auto& ipConfiguration : gateway.ip_configurations) {
        // A configuration without a subnet (a gateway being provisioned or failed) places the
        // gateway in no VNet.  A later gateway naming the same VNet replaces the earlier one.
        if (!ipConfiguration.subnet) continue;
        vnetToGateway.insert_or_assign(idComponent(ipConfiguration.subnet->id, VNET_I), gateway);
      }
    }
  }
  return vnetToGateway;
}

bool NetScout::isVnetWithVng(const az::AzureCredential& cred, const az::VirtualNetwork& vnet,
                             const std::string& vngType) {
  auto log = collab::getLogger("netscout");
  const std::string query = fillQuery(kGatewayInSubnetQuery, {vnet.id + "/subnets/GatewaySubnet"});
  const az::QueryResponse answer = getResources(query, cred);
  if (answer.total_records == 0) {
    log->info("- vnet {} has no VNG", vnet.name);
    return false;
  }
  if (answer.data.is_array()) {
    for (const auto& row : answer.data) {
      auto type = row.is_object() ? row.find("properties_gatewayType") : row.end();
      if (type != row.end() && type->is_string() &&
          type->get_ref<const std::string&>() == vngType) {
        log->info("- vnet {} has VNG - {}", vnet.name, vngType);
        return true;
      }
    }
  }
  log->info("- vnet {} has VNG but NOT type {}", vnet.name, vngType);
  return false;
}

void NetScout::getVngLearnedRoutes(const collab::Json& cred, const std::string& rgName,
                                   const std::string& vngName) {
  // Azure usually accepts the request (202) and computes the routes later; nothing of the
  // answer is read, so it is not polled.  A refusal (401, 404, ...) is an ArmError.
  az::requestLearnedRoutes(cred, rgName, vngName);
}

bool NetScout::discoverSpokeGw(const az::AzureCredential& cred, const az::VirtualNetwork& vnet) {
  auto log = collab::getLogger("netscout");
  log->info("- check if {} has been migrated", vnet.name);
  for (const std::string_view subnetName : corvantaSpokeSubnetNames) {
    const std::string group = idComponent(vnet.id, RG_I);
    const std::string subnetPath = "/subscriptions/" + cred.getSubId() + "/resourceGroups/" +
                                   group + "/providers/Microsoft.Network/virtualNetworks/" +
                                   vnet.name + "/subnets/" + std::string(subnetName);
    const std::string nicQuery = fillQuery(kSpokeInterfaceQuery, {subnetPath});
    const az::QueryResponse interfaces = getResources(nicQuery, cred);
    if (interfaces.total_records == 0) continue;

    const std::string vmQuery =
        fillQuery(kSpokeMachineQuery, {rowText(firstRow(interfaces, nicQuery), "id", nicQuery)});
    const az::QueryResponse machines = getResources(vmQuery, cred);
    if (machines.total_records > 0) {
      log->error("  **Error** Vnet {} already migrated, found an corvanta gateway {}", vnet.name,
                 rowText(firstRow(machines, vmQuery), "name", vmQuery));
      return true;
    }
  }
  log->info("  no spoke gateway found");
  return false;
}

}  // namespace netscout
