#pragma once
// NetScout: discovery of a subscription's VNets, subnets, route tables, gateways and vCPU
// quota through Azure Resource Manager.  Every operation is class-level; the class has no
// state of its own.
//
// Conventions of every operation below:
//  - each writes to the logger named "netscout" at info unless its comment says otherwise; a
//    value in a line is written in its text form (collab::textForm: None for absent, a list in
//    bracket form);
//  - no operation catches a failure unless its comment says so: a failure of Azure
//    (collab::azure::ArmError, TransportError, AuthenticationError), of a collaborator or of a
//    missing option key (collab::MissingKeyError) ends the operation and reaches the caller
//    unchanged, and nothing partial is returned; lines already logged stay logged;
//  - every client is built by the operation that uses it and dropped when it ends; nothing
//    Azure answers is kept between calls;
//  - a VNet option map is the JSON map Common::readGlobalConfigOption / readAccountOption /
//    readVnetOption fill for one VNet; JSON null in it is the absent value.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/management_clients.hpp"
#include "collab/azure/resources.hpp"
#include "collab/azure/route_table.hpp"
#include "collab/azure/virtual_network.hpp"
#include "collab/cross_cloud_netscout.hpp"
#include "collab/json.hpp"
#include "collab/subnet.hpp"
#include "collab/subnet_gw_info.hpp"
#include "netscout/export.hpp"
#include "pathbook/pathbook.hpp"

namespace netscout {

class NETSCOUT_EXPORT NetScout : public collab::CrossCloudDiscovery::NetScout {
 public:
  static constexpr const char* VPN = "Vpn";
  static constexpr const char* ER = "ExpressRoute";

  /// CPU quota family and the size-name pattern (searched anywhere in the name, letter case
  /// counting) that selects it, tried in this order: the last row catches the D-series sizes
  /// the rows before it did not.
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 9> iSizeDict{{
      {"standardBSFamily", R"(Standard_B\d+ms)"},
      {"standardBSFamily", R"(Standard_B\d+s)"},
      {"standardDv2Family", R"(Standard_D\d+_v2)"},
      {"standardDSv2Family", R"(Standard_DS\d+_v2)"},
      {"standardDv3Family", R"(Standard_D\d+_v3)"},
      {"standardDSv3Family", R"(Standard_D\d+s_v3)"},
      {"standardFSFamily", R"(Standard_F\d+s_v2)"},
      {"standardA0_A7Family", R"(Standard_A[0-7])"},
      {"standardDFamily", R"(Standard_D)"},
  }};

  /// Names, and one name prefix ("cvt-gwhp-subnet-"), of the subnets that Corvanta spoke
  /// gateways of an earlier migration occupy.
  static constexpr std::array<std::string_view, 3> corvantaSpokeSubnetNames{
      "corvanta-spoke-gw", "corvanta-spoke-hagw", "cvt-gwhp-subnet-"};

  // Positions of the components of an Azure resource id split at "/"; PEER_I is the last.
  static constexpr int SUB_I = 2;
  static constexpr int RG_I = 4;
  static constexpr int NSG_I = 8;
  static constexpr int RT_I = 8;
  static constexpr int PEER_I = -1;
  static constexpr int VNET_I = 8;
  static constexpr int SUBNET_I = 10;

  /// api-version of the gateway learned-routes request.
  static constexpr const char* API_VERSION = "2020-11-01";

  /// Component `index` of `resourceId` split at every "/" (the first component is the empty
  /// text before the leading "/"); a negative index counts from the end, -1 being the last.
  /// @throws collab::IndexRangeError naming the id when it has no such component.
  static std::string idComponent(std::string_view resourceId, int index);

  // ---- Azure access ---------------------------------------------------------------------

  /// An Azure AD access token for the application, for the classic management resource.
  /// Catches every failure: it is logged at error on the "netscout" logger as its own message
  /// text, and the answer is absent.  A token answer without "accessToken" is also absent,
  /// without a log line.
  static std::optional<std::string> getAccessToken(const std::string& tenant_id,
                                                   const std::string& application_id,
                                                   const std::string& application_secret);

  /// Logs "displayName:subscriptionId" at info for each subscription `accessToken` sees, in
  /// Azure's order.
  /// @throws collab::azure::ArmError when Azure refuses (expired token, ...);
  ///         collab::MissingKeyError for an answer without "value" or an entry without one of
  ///         the two keys.
  static void getSubscriptions(const std::string& accessToken);

  /// The names of the credential's subscription's resource groups, in Azure's order.
  static std::vector<std::string> getAllResourceGroup(const collab::azure::AzureCredential& cred);

  /// Runs the Resource Graph query `strQuery` on the credential's own subscription only,
  /// rows as objects; one answer page, returned as Azure gave it.
  static collab::azure::QueryResponse getResources(const std::string& strQuery,
                                                   const collab::azure::AzureCredential& cred);

  // ---- Route-table discovery ------------------------------------------------------------

  /// The route tables to re-create for `vnet`: lists every route table of the credential's
  /// subscription once, asks once whether the VNet has a VPN gateway, skips the system's own
  /// copies, the VNet's default table, tables of reserved subnets and tables no subnet of the
  /// VNet uses, and builds, configures and fills one Pathbook per remaining table, logging the
  /// route-table section.  The answer maps vnet.name to the collection of those tables in the
  /// order of discovery; it is empty when no table was discovered.
  /// Reads from `yamlObj`: default_route_table, copy_quad_zero_route, filter_cidrs,
  /// filter_service_tags, route_table_tags, configure_private_subnet, subnet_groups and (when
  /// subnet_groups is not absent) subnet_in_subnet_groups, each only once a table reaches it:
  /// a subscription without route tables reads none.
  /// A table of the VNet that Azure sent without a name or a location, and a route without an
  /// address prefix, cannot be re-created: each is skipped with one "**Error**" line (error)
  /// naming it and the member, and the other tables and routes go on.
  /// Costs one route-table listing (all its pages) and one Resource Graph query per call.
  /// @throws collab::InvalidValueError also when two discovered tables share a name (the
  ///         collection keys tables by name); whatever failed, nothing is returned.
  static std::map<std::string, pathbook::CvtPathbooks> discover_route_tables(
      const collab::azure::AzureCredential& cred, const collab::Json& yamlObj,
      const collab::azure::VirtualNetwork& vnet);

  // ---- Route-table usage and subnet gateway groups --------------------------------------
  // The association of a table with its subnets is read from the table's own subnet
  // references only.  A VNet is recognised by its name alone.

  /// The name of the first subnet of `vnet` (by exact VNet name) in rt.subnets, or absent.
  static std::optional<std::string> getSubnetUsedInVnet(const collab::azure::RouteTable& rt,
                                                        const collab::azure::VirtualNetwork& vnet);
  /// The table's subnets in `vnet` (exact VNet name), in rt.subnets order, in gateway groups
  /// "1", "2", "1", ... by their position among those subnets.
  static std::vector<collab::SubnetGwInfo> getGwGroup2SubnetInfo(
      const collab::azure::RouteTable& rt, const collab::azure::VirtualNetwork& vnet);
  /// True when a subnet of rt.subnets lies in a VNet named like `vnet`, ignoring letter case.
  static bool isPathbookUsedInVnet(const collab::azure::RouteTable& rt,
                                   const collab::azure::VirtualNetwork& vnet);
  /// Logs a header, then one "**Alert**" line at warning per route table of `region` (exact
  /// comparison) that no subnet uses.
  static void discover_route_table_without_subnet_in_region(
      collab::azure::NetworkManagementClient& network_client, const std::string& region);

  // ---- VNet and subnet discovery --------------------------------------------------------

  /// Logs the VNets of the subscription that `vnetsInYaml` names (first address prefix, name,
  /// resource group) under a framed header, in Azure's order, and raises the VNet-name-length
  /// alert for each.  The whole listing is fetched before the first line.  A VNet without an
  /// address prefix shows None in its cidr column.
  static void list_vnet(collab::azure::NetworkManagementClient& network_client,
                        const std::set<std::string>& vnetsInYaml);
  /// Logs `vnet`'s peerings (and raises the peering alert once when it has any) and its
  /// virtual network gateway, looked up across every resource group of the subscription
  /// (getAllResourceGroup and deduceVnet2VngMap, both before the first line).  A peering whose
  /// remote network Azure did not name shows None for it, a gateway without a type None.
  static void discoverVnet(const collab::azure::VirtualNetwork& vnet,
                           const collab::azure::AzureCredential& cred);
  /// One subnet record per ordinary subnet of `vnet`, with its log lines; subnets named in
  /// Common::AZURE_SUBNET are logged as skipped and get no record.  Writes
  /// yamlObj["main_rt_count"]: the subnets without a route table of their own (none, or the
  /// table named "<vnet name>-<default_route_table>", letter case counting), capped at 2; 0
  /// when migrate_non_associated_subnet is false or null.
  /// With `disable_logging` the lines are silenced for the call and the logger is left at
  /// debug afterwards, also when a failure propagates; without it the level is not touched.
  /// Reads from `yamlObj`: default_route_table, provider (once per ordinary subnet; null gives
  /// a record without provider, another non-text its text form),
  /// migrate_non_associated_subnet.
  static collab::Subnets discoverSubnets(const collab::azure::VirtualNetwork& vnet,
                                         collab::Json& yamlObj, bool disable_logging = false);
  /// Fills every entry of yaml["subnet_groups"] with its subnet's cidr (findCidrInSubnet), all
  /// entries even after a failed one, and logs "**Error** subnet group - subnet <name> not
  /// found" at error for each entry whose subnet is not in `subnetMap`.  False when
  /// subnet_groups is null (nothing logged) or any entry failed.
  /// @throws collab::MissingKeyError when subnet_groups or an entry's subnet_name is missing;
  ///         collab::WrongTypeError when subnet_groups is neither null nor a list, or an entry
  ///         is not a map.
  static bool validateSubnetGroups(const collab::SubnetMap& subnetMap, collab::Json& yaml);
  /// Sets sgroup["cidr"] to null, then to the cidr_block of the subnet sgroup["subnet_name"]
  /// names; true when that subnet is in `subnetMap` (a name that is not a text never is).
  static bool findCidrInSubnet(const collab::SubnetMap& subnetMap, collab::Json& sgroup);

  // ---- Gateway discovery ----------------------------------------------------------------

  /// VNet name to the virtual network gateway that sits in it, over the gateways of every
  /// resource group of `rgList` (one listing per group); when two gateways name one VNet, the
  /// last met wins.  An ip configuration without a subnet (a gateway being provisioned or
  /// failed) places its gateway nowhere.  Logs nothing.
  static std::map<std::string, collab::azure::VirtualNetworkGateway> deduceVnet2VngMap(
      const collab::azure::AzureCredential& cred, const std::vector<std::string>& rgList);
  /// True when a gateway of type `vngType` sits in vnet's GatewaySubnet (one Resource Graph
  /// query); logs one line saying what was found.  Names and ids enter every Resource Graph
  /// query as KQL string literals, quoted and escaped, never as query text.
  static bool isVnetWithVng(const collab::azure::AzureCredential& cred,
                            const collab::azure::VirtualNetwork& vnet, const std::string& vngType);
  /// POSTs the learned-routes request of gateway `vngName` in group `rgName`.  `cred` is read
  /// by key: "subscription_id" and "accessToken" (texts).  Logs nothing, answers nothing; an
  /// accepted request (202, the usual answer) is not polled.
  /// @throws collab::MissingKeyError for a missing key (nothing sent);
  ///         collab::azure::ArmError when Azure refuses (401, 404, ...) or a 200 answer is not
  ///         JSON.
  static void getVngLearnedRoutes(const collab::Json& cred, const std::string& rgName,
                                  const std::string& vngName);
  /// True when `vnet` already holds a Corvanta spoke gateway of an earlier migration (a
  /// tagged machine behind a tagged interface in one of corvantaSpokeSubnetNames); logs the
  /// search and its outcome.  At most two Resource Graph queries per subnet name; stops at the
  /// first machine found.
  /// @throws collab::IndexRangeError when an answer counts records but holds no row.
  static bool discoverSpokeGw(const collab::azure::AzureCredential& cred,
                              const collab::azure::VirtualNetwork& vnet);

  // ---- CPU quota checks -----------------------------------------------------------------

  /// For every region holding a VNet `vnetsInYaml` names (in the order regions first appear
  /// in the VNet listing), checks that two gateways of size `iSize` per configured VNet fit
  /// the regional and family vCPU quotas (discoverCpuQuota).  The vCPUs of `iSize` are looked
  /// up once per call, at the location of the listing's last VNet (configured or not).
  ///  - When that location does not offer the size, every region gets its
  ///    "- Discover vCPUs limit in <region>" line and then, at warning, only
  ///    "  **Alert** vCPU count of <iSize> not found in <location>": no quota is requested and
  ///    nothing is compared, as no requirement can be computed.
  ///  - When the subscription has no VNet at all, nothing is looked up and nothing logged.
  /// A failure ends the whole check, the regions after it unchecked.  So that none of them is
  /// lost without a word, `unchecked` (when given) is set, once the regions are known, to all
  /// of them and each is taken out as its check is through: when a failure propagates, it holds
  /// the region that failed and those after it (untouched when the VNet listing itself failed);
  /// after a complete check it is empty.
  static void discoverCpuQuotaInRegion(collab::azure::NetworkManagementClient& network_client,
                                       const std::set<std::string>& vnetsInYaml,
                                       const collab::azure::AzureCredential& cred,
                                       const std::string& iSize,
                                       std::vector<std::string>* unchecked = nullptr);
  /// Logs the quota check of one region for `gwc` gateways of `vCpuCnt` vCPUs each.  The
  /// region's quota listing is requested first; then an "**Alert**" (info) when no CPU family
  /// matches `iSize` or the listing lacks the family (the check ends there), an "**Alert**"
  /// (info) when the regional total falls short, an "**Error**" (error) when the family quota
  /// does; exactly enough quota left passes.  A listing without the regional total ("cores")
  /// gets "  **Alert** failed to discover total vCPUs quota in <region>" (info) in place of
  /// the total's lines, and the family is still checked.
  /// Quota names are compared without regard to letter case.
  /// @throws collab::MissingKeyError when the regional total or the family quota lacks
  ///         properties, limit or currentValue (other entries may lack them);
  ///         collab::InvalidValueError when one of those is not an integer.
  static void discoverCpuQuota(const collab::azure::AzureCredential& cred,
                               const std::string& region, const std::string& iSize,
                               std::int64_t vCpuCnt, std::int64_t gwc);
  /// The CPU quota family of `iSize` (first matching row of iSizeDict), or absent.
  static std::optional<std::string> getCpuFamily(const std::string& iSize);
  /// The vCPUs of size `iSize` as offered in `location` (size names compared without regard
  /// to letter case, as Azure compares them), or -1 when it is not offered there.  A matching
  /// size Azure sent without numberOfCores cannot be counted: "  **Error** VM size <name> in
  /// <location> has no numberOfCores" (error), and the search goes on.
  static std::int64_t getVCpuForISize(const collab::azure::AzureCredential& cred,
                                      const std::string& location, const std::string& iSize);
};

}  // namespace netscout
