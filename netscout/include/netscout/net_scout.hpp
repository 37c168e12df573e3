#pragma once
// NetScout: discovery of a subscription's VNets, subnets, route tables, gateways and vCPU
// quota through Azure Resource Manager.  Every operation is class-level; the class has no
// state of its own.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/resources.hpp"
#include "collab/cross_cloud_netscout.hpp"
#include "netscout/export.hpp"

namespace netscout {

class NETSCOUT_EXPORT NetScout : public collab::CrossCloudDiscovery::NetScout {
 public:
  static constexpr const char* VPN = "Vpn";
  static constexpr const char* ER = "ExpressRoute";

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
};

}  // namespace netscout
