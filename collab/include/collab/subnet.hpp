#pragma once
// The subnet records the discovery hands to the later migration steps: one `Subnet` per
// ordinary subnet of a VNet (Azure-reserved subnets get none), collected per VNet in
// `Subnets`.
#include <optional>
#include <string>

#include "collab/azure/virtual_network.hpp"
#include "collab/export.hpp"
#include "collab/ordered_map.hpp"

namespace collab {

/// One subnet as the migration re-creates it.
class COLLAB_EXPORT Subnet {
 public:
  /// From the Azure subnet `subnet`: `cidr_block` is its address prefix or, for a subnet that
  /// has only address prefixes, the first of them (absent when it has neither).
  explicit Subnet(const azure::Subnet& subnet);

  /// The account alias of the subscription that holds the subnet (absent: null in the map).
  void setProvider(std::optional<std::string> provider) { this->provider = std::move(provider); }

  std::string name;
  std::string id;
  std::optional<std::string> cidr_block;
  std::optional<std::string> route_table_id;
  std::optional<std::string> provider;
};

/// Subnet records keyed by subnet name, in the order they were added.
using SubnetMap = OrderedMap<Subnet>;

/// The subnet records of one VNet.
class COLLAB_EXPORT Subnets {
 public:
  explicit Subnets(std::string vnetName) : vnetName_(std::move(vnetName)) {}

  const std::string& getVnetName() const noexcept { return vnetName_; }
  /// Keeps `subnet` under its name after the subnets added before; a second subnet of the same
  /// name replaces the first where it stands (Azure names are unique within a VNet).
  void add(Subnet subnet);
  /// The records by name, as `validateSubnetGroups` and `findCidrInSubnet` take them.
  const SubnetMap& subnetMap() const noexcept { return subnets_; }
  std::size_t size() const noexcept { return subnets_.size(); }
  bool empty() const noexcept { return subnets_.empty(); }

 private:
  std::string vnetName_;
  SubnetMap subnets_;
};

}  // namespace collab
