#pragma once
// One subnet of a VNet and the spoke-gateway group ("1" or "2") it is assigned to.
#include <string>
#include <utility>

namespace collab {

struct SubnetGwInfo {
  SubnetGwInfo(std::string subnetName, std::string group)
      : subnetName(std::move(subnetName)), group(std::move(group)) {}

  std::string subnetName;
  std::string group;

  friend bool operator==(const SubnetGwInfo&, const SubnetGwInfo&) = default;
};

}  // namespace collab
