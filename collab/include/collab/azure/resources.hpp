#pragma once
// The smaller Azure objects the discovery reads: gateways, VM sizes, resource groups,
// subscriptions, Resource Graph queries and compute quota.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "collab/azure/route_table.hpp"
#include "collab/json.hpp"

namespace collab::azure {

struct VirtualNetworkGatewayIpConfiguration {
  std::string id;
  std::string name;
  /// The GatewaySubnet the gateway sits in; its id names the gateway's VNet.  Absent while
  /// the gateway is being provisioned or has failed: the gateway then sits in no known VNet.
  std::optional<SubResource> subnet;
  friend bool operator==(const VirtualNetworkGatewayIpConfiguration&,
                         const VirtualNetworkGatewayIpConfiguration&) = default;
};

struct VirtualNetworkGateway {
  std::string name;
  std::string id;
  std::optional<std::string> location;
  /// "Vpn", "ExpressRoute" or "LocalGateway"; absent for a gateway being provisioned or
  /// failed, which is then neither a VPN nor an ExpressRoute gateway.
  std::optional<std::string> gateway_type;
  std::vector<VirtualNetworkGatewayIpConfiguration> ip_configurations;
  friend bool operator==(const VirtualNetworkGateway&, const VirtualNetworkGateway&) = default;
};

/// Azure's API reference makes every member optional; a size without a name matches no size
/// asked for, one without `number_of_cores` cannot be counted.
struct VirtualMachineSize {
  std::optional<std::string> name;
  std::optional<std::int64_t> number_of_cores;
  friend bool operator==(const VirtualMachineSize&, const VirtualMachineSize&) = default;
};

struct ResourceGroup {
  std::string name;
  std::optional<std::string> id;
  std::string location;
  friend bool operator==(const ResourceGroup&, const ResourceGroup&) = default;
};

struct Subscription {
  std::string subscriptionId;
  std::string displayName;
  std::string state;
  friend bool operator==(const Subscription&, const Subscription&) = default;
};

struct QueryRequestOptions {
  std::string result_format = "objectArray";
  std::optional<std::string> skip_token;
  std::optional<int> top;
};

struct QueryRequest {
  std::vector<std::string> subscriptions;
  std::string query;
  QueryRequestOptions options;
};

/// One page of a Resource Graph answer.  With result format "objectArray", `data` is a JSON
/// array of rows, each a map from projected column name to value.
struct QueryResponse {
  std::int64_t total_records = 0;
  std::int64_t count = 0;
  Json data = Json::array();
  std::optional<std::string> skip_token;
  bool result_truncated = false;
};

/// Compute quota of one region.  `additional_properties["value"]` is the list of limits, each a
/// map with "name" and "properties" holding "limit" and "currentValue" (either may be missing:
/// Azure's API reference makes both optional); "cores" is the regional total.
struct QuotaResult {
  Json additional_properties = Json::object();
};

}  // namespace collab::azure
