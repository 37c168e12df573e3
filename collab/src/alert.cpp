#include "collab/alert.hpp"

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "collab/azure/resource_id.hpp"
#include "collab/cross_cloud_common.hpp"
#include "collab/errors.hpp"
#include "collab/log.hpp"

namespace collab::alert {

namespace {

constexpr int kGroupIndex = 4;
constexpr int kSubscriptionIndex = 2;
constexpr int kVnetIndex = 8;
constexpr std::string_view kSpokeSuffix = "-spoke-gw";
constexpr std::string_view kTransitSuffix = "-transit-gw";

// "**Alert** VNet <name> (<resource group>)": every alert line starts so, so that an operator
// can grep for the marker and see at once which VNet it concerns.
std::string opening(const azure::VirtualNetwork& vnet) {
  return "**Alert** VNet " + vnet.name + " (" + azure::resourceIdComponent(vnet.id, kGroupIndex) +
         ")";
}

}  // namespace

void alertVnetNameLength(const azure::VirtualNetwork& vnet) {
  using Base = CrossCloudBasekit::Common;
  const Json noConfiguredNames = Json::object();
  // The derived spoke name with no length limit is the stem both gateway names share.  A name
  // with no letter or digit ("..") gives none: that is this VNet's finding, not a failure of
  // the listing it came in.
  std::string unlimited;
  try {
    unlimited = Base::getSpokeGatewayName(noConfiguredNames, vnet.name,
                                          std::numeric_limits<std::size_t>::max());
  } catch (const InvalidValueError&) {
    getLogger("alert")->warn("{}: name gives no derived gateway name", opening(vnet));
    return;
  }
  const std::string stem = unlimited.substr(0, unlimited.size() - kSpokeSuffix.size());

  std::vector<std::string> cut;
  const std::string spoke =
      Base::getSpokeGatewayName(noConfiguredNames, vnet.name, Base::VPC_NAME_MAX_LENGTH);
  if (spoke != stem + std::string(kSpokeSuffix))
    cut.push_back("spoke gateway will be named " + spoke);
  const std::string transit = Base::getTransitGatewayName(noConfiguredNames, vnet.name);
  if (transit != stem + std::string(kTransitSuffix))
    cut.push_back("transit gateway will be named " + transit);
  if (cut.empty()) return;

  std::string line = opening(vnet) + ": name too long for derived gateway names of at most " +
                     std::to_string(Base::VPC_NAME_MAX_LENGTH) + " characters";
  for (const auto& text : cut) line += "; " + text;
  getLogger("alert")->warn("{}", line);
}

void alertVnetPeering(const azure::VirtualNetwork& vnet) {
  auto log = getLogger("alert");
  const std::string vnetText = opening(vnet);
  log->warn("{} has {} peering(s) to re-create after the migration", vnetText,
            vnet.virtual_network_peerings.size());
  for (const auto& peering : vnet.virtual_network_peerings) {
    // A peering whose remote network Azure did not name is still one to re-create.
    const auto remote = [&](int index) {
      return peering.remote_virtual_network
                 ? azure::resourceIdComponent(peering.remote_virtual_network->id, index)
                 : std::string("None");
    };
    log->warn("{} peering {} to {} ({}/{}) must be re-created", vnetText,
              azure::resourceIdComponent(peering.id, -1), remote(kVnetIndex),
              remote(kSubscriptionIndex), remote(kGroupIndex));
  }
}

}  // namespace collab::alert
