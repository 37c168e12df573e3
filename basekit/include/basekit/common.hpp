#pragma once
// Common: configuration, naming and logging operations of the Azure discovery, and the
// Azure reference data (region display names, reserved subnet names) read from the
// installation's azure_data/input.json.
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "basekit/export.hpp"
#include "collab/cross_cloud_common.hpp"
#include "collab/ordered_map.hpp"

namespace basekit {

class BASEKIT_EXPORT Common : public collab::CrossCloudBasekit::Common {
 public:
  static constexpr const char* CONFIG_RTB_NAME = "configure_route_table_name";
  static constexpr const char* CONFIG_SHARED_RTB_NAME = "configure_shared_route_table_name";

  // Positions of the components of an Azure resource id split at "/".  PEER_I counts from
  // the end: the last component.
  static constexpr int SUB_I = 2;
  static constexpr int RG_I = 4;
  static constexpr int NSG_I = 8;
  static constexpr int RT_I = 8;
  static constexpr int PEER_I = -1;
  static constexpr int VNET_I = 8;
  static constexpr int IP_I = 8;
  static constexpr int SUBNET_I = 10;

  /// Azure region name (eastus) to the text written as a route table's region ("East US").
  /// Empty until loadInputJson runs.
  static collab::OrderedMap<std::string> REGION;

  static constexpr const char* DEFAULT_MODULE_SOURCE = "../module_azure_brownfield_spoke_vnet";

  /// Global option key to its type word ("boolean", "string" or "int"), in the order the
  /// global options are read.
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 7>
      GLOBAL_ATTRIBUTE_LIST{{
          {"configure_gw_name", "boolean"},
          {"configure_staging_attachment", "boolean"},
          {"configure_spoke_advertisement", "boolean"},
          {"enable_spoke_split_cidr", "boolean"},
          {"configure_private_subnet", "boolean"},
          {"configure_subnet_groups", "boolean"},
          {"configure_shared_route_table_replication", "int"},
      }};

  /// Subnet names Azure reserves for its own services.  Empty until loadInputJson runs.
  static std::vector<std::string> AZURE_SUBNET;

  /// Reads <data path>/azure_data/input.json into REGION and AZURE_SUBNET.  Called once by the
  /// driver before anything else of basekit is used; nothing is read at load time.
  /// @throws std::runtime_error naming the path when the file cannot be read or parsed, and
  ///         collab::MissingKeyError naming the path and member when a member is missing.
  ///         On failure REGION and AZURE_SUBNET are left as they were.
  static void loadInputJson();

  /// True when `subnetName` is one of AZURE_SUBNET.
  static bool isAzureReservedSubnet(const std::string& subnetName);
};

}  // namespace basekit
