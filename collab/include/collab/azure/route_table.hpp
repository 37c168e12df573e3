#pragma once
// Azure route tables and their routes, as the discovery reads them from Resource Manager.
//
// Field names follow Azure's flattened model attributes.  A field Azure's REST API reference
// lets it omit is a std::optional, never an empty text standing in for it: an untagged table
// has no `tags` (not an empty map), a table no subnet uses has no `subnets` (not an empty
// list), a route to a next hop without an address has no `next_hop_ip_address`.  Each
// operation decides what an absent member means to it (route-table discovery skips a table
// without a name or location, and a route without an address prefix, with an error line).
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
  std::optional<std::string> name;
  std::optional<std::string> id;
  /// A network text, or an Azure service-tag name such as "AzureCloud".
  std::optional<std::string> address_prefix;
  /// "VirtualNetworkGateway", "VnetLocal", "Internet", "VirtualAppliance" or "None"; the one
  /// member Azure always sends.
  std::string next_hop_type;
  /// Present only for next hops that have an address (virtual appliances).
  std::optional<std::string> next_hop_ip_address;
  friend bool operator==(const Route&, const Route&) = default;
};

struct RouteTable {
  std::optional<std::string> name;
  std::optional<std::string> id;
  std::optional<std::string> location;
  std::optional<Tags> tags;
  std::optional<std::vector<SubResource>> subnets;
  std::vector<Route> routes;
  /// ARM omits the flag when it is false.
  bool disable_bgp_route_propagation = false;
  friend bool operator==(const RouteTable&, const RouteTable&) = default;
};

}  // namespace collab::azure
