#pragma once
// The alert service: findings about a VNet that an operator must act on before a migration.
// Both operations write to the alert log (kx.alert.log) only, never to the main log, at
// warning, through the logger named "alert".
#include "collab/azure/virtual_network.hpp"
#include "collab/export.hpp"

namespace collab::alert {

/// Warns when `vnet`'s name is longer than the gateway names derived from it can carry
/// (`CrossCloudBasekit::Common::VPC_NAME_MAX_LENGTH` less the longest gateway suffix), so the
/// derived names will be cut and hashed.  Says nothing otherwise.
COLLAB_EXPORT void alertVnetNameLength(const azure::VirtualNetwork& vnet);

/// Reports that `vnet`'s peerings (named, with their remote VNets) must be re-created after
/// the migration.
COLLAB_EXPORT void alertVnetPeering(const azure::VirtualNetwork& vnet);

}  // namespace collab::alert
