#pragma once
// Azure route tables and their routes, as the discovery reads them from Resource Manager.
//
// Field names follow Azure's flattened model attributes.  A field Azure may omit is a
// std::optional: an untagged table has no `tags` (not an empty map), a table no subnet uses
// has no `subnets` (not an empty list), and a route to a next hop without an address has no
// `next_hop_ip_address`.
#include <optional>
#include <string>
#include <vector>

#include "collab/ordered_map.hpp"

namespace collab::azure {

/// A reference to another resource by id only, as ARM embeds them.
struct SubResource {
  std::string id;
  friend bool operator==(const SubResource&, const SubResource&) = default;
};

/// Tags keep the order Azure sent them in.
using Tags = OrderedMap<std::string>;

struct Route {
  std::string name;
  std::string id;
  /// A network text, or an Azure service-tag name such as "AzureCloud".
  std::string address_prefix;
  /// "VirtualNetworkGateway", "VnetLocal", "Internet", "VirtualAppliance" or "None".
  std::string next_hop_type;
  /// Present only for next hops that have an address (virtual appliances).
  std::optional<std::string> next_hop_ip_address;
  friend bool operator==(const Route&, const Route&) = default;
};

struct RouteTable {
  std::string name;
  std::string id;
  std::string location;
  std::optional<Tags> tags;
  std::optional<std::vector<SubResource>> subnets;
  std::vector<Route> routes;
  /// ARM omits the flag when it is false.
  bool disable_bgp_route_propagation = false;
  friend bool operator==(const RouteTable&, const RouteTable&) = default;
};

}  // namespace collab::azure
