#pragma once
// Azure virtual networks with their subnets and peerings, as Resource Manager lists them.
// Optional fields are those Azure's REST API reference lets it omit; the discovery log prints
// them as None, while an empty list prints as [].  Lists other than the subnet's own prefix
// and endpoint lists (subnets, peerings, delegations) read as empty when Azure omits them: no
// operation tells the two apart.
#include <optional>
#include <string>
#include <vector>

#include "collab/azure/route_table.hpp"

namespace collab::azure {

struct Delegation {
  std::string name;
  std::optional<std::string> service_name;
  friend bool operator==(const Delegation&, const Delegation&) = default;
};

struct ServiceEndpoint {
  std::optional<std::string> service;
  std::vector<std::string> locations;
  friend bool operator==(const ServiceEndpoint&, const ServiceEndpoint&) = default;
};

struct Subnet {
  std::string id;
  std::string name;
  /// Absent when the subnet has several prefixes (then address_prefixes holds them).
  std::optional<std::string> address_prefix;
  /// Absent for single-prefix subnets.
  std::optional<std::vector<std::string>> address_prefixes;
  std::optional<SubResource> network_security_group;
  std::optional<SubResource> route_table;
  std::vector<Delegation> delegations;
  std::optional<std::vector<ServiceEndpoint>> service_endpoints;
  friend bool operator==(const Subnet&, const Subnet&) = default;
};

struct VirtualNetworkPeering {
  std::string id;
  std::string name;
  /// Absent while Azure has not resolved the remote network: the peering is listed without it.
  std::optional<SubResource> remote_virtual_network;
  /// `Initiated`, `Connected` or `Disconnected`; absent when Azure omits it.
  std::optional<std::string> peering_state;
  friend bool operator==(const VirtualNetworkPeering&, const VirtualNetworkPeering&) = default;
};

struct AddressSpace {
  /// Absent when the VNet has no `addressSpace` or it lists no `addressPrefixes` (a VNet that
  /// takes its space from an IP address pool).
  std::optional<std::vector<std::string>> address_prefixes;
  friend bool operator==(const AddressSpace&, const AddressSpace&) = default;
};

struct VirtualNetwork {
  std::string name;
  std::string id;
  std::string location;
  AddressSpace address_space;
  std::vector<Subnet> subnets;
  std::vector<VirtualNetworkPeering> virtual_network_peerings;
  friend bool operator==(const VirtualNetwork&, const VirtualNetwork&) = default;
};

}  // namespace collab::azure
