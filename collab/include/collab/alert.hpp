#pragma once
// The alert service: findings about a VNet that an operator must act on before a migration.
// Both operations write to the alert log (kx.alert.log) only, never to the main log: they log
// at warning through the logger named "alert", which the default logging configuration gives
// the alert handler alone.  Every line is one line, starts with "**Alert**" and names the VNet
// and its resource group:
//
//   **Alert** VNet <name> (<rg>): name too long for derived gateway names of at most 50
//     characters; spoke gateway will be named <spoke>; transit gateway will be named <transit>
//   **Alert** VNet <name> (<rg>): name gives no derived gateway name
//   **Alert** VNet <name> (<rg>) has <n> peering(s) to re-create after the migration
//   **Alert** VNet <name> (<rg>) peering <peering> to <remote VNet> (<remote sub>/<remote rg>)
//     must be re-created        (None for the remote's parts when Azure did not name it)
//
// (each shown here on two lines, written as one).
// @throws collab::IndexRangeError when a VNet, peering or remote VNet id is too short to name
//         what the line needs.
#include "collab/azure/virtual_network.hpp"
#include "collab/export.hpp"

namespace collab::alert {

/// Warns when a gateway name derived from `vnet`'s name (CrossCloudBasekit::Common's
/// getSpokeGatewayName / getTransitGatewayName, no name configured) must be cut to fit
/// `VPC_NAME_MAX_LENGTH`, naming each gateway that is cut with the name it will get.  Since
/// "-transit-gw" is the longer suffix, the transit gateway is cut first.  Says nothing when
/// neither is cut.  A name without a letter or digit (such as "..", which Azure itself allows
/// no VNet) gives no gateway name at all, and that is the alert instead.
COLLAB_EXPORT void alertVnetNameLength(const azure::VirtualNetwork& vnet);

/// Reports that `vnet`'s peerings must be re-created after the migration: one line with their
/// number, then one per peering naming it and its remote VNet.
COLLAB_EXPORT void alertVnetPeering(const azure::VirtualNetwork& vnet);

}  // namespace collab::alert
