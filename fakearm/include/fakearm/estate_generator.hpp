#pragma once
// Synthetic estates: a whole Azure estate of a chosen size and the discovery configuration
// that runs over it, made deterministically from a seed (the same parameters give the same
// bytes on every platform).
//
// Counts are for the whole estate; VNets, route tables and gateways are spread over the
// subscriptions in turn.  Every VNet holds `subnetsPerVnet` ordinary subnets ("snet-0", ...);
// route tables are associated with subnets (those of configured VNets first) in the same
// subscription and region, and subnets point back to their table.  A share `interesting` of
// the route tables takes one of the unusual shapes discovery must handle: a table also bound
// to a reserved subnet, a system copy ("corvanta-..." or "org_..."), the VNet's default
// table ("<vnet>-corvanta-default"), an empty table, IPv6 routes, service-tag routes, a
// default route to the Internet or an appliance, a table shared by two subnets, a table used
// by two VNets, a table no subnet uses.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fakearm/estate.hpp"

namespace fakearm {

struct EstateParams {
  std::uint64_t seed = 1;
  int subscriptions = 1;
  /// Service principals of the one tenant: the first ("corvanta" in the configuration) sees
  /// every subscription, each further one the subscriptions dealt to it in turn.
  int principals = 1;
  /// Per subscription; a third or later one is named with characters a URL must encode.
  int resourceGroups = 3;
  std::vector<std::string> regions{"eastus", "westus2"};
  int vnets = 12;
  /// VNets named in the configuration, spread evenly over the VNets.
  int configuredVnets = 4;
  /// At most 12.
  int subnetsPerVnet = 4;
  /// Pairs of peered VNets (both sides carry the peering).
  int peerings = 4;
  int routeTables = 16;
  int routesPerTable = 6;
  int vpnGateways = 2;
  int expressRouteGateways = 1;
  /// Configured VNets holding a Corvanta spoke gateway of an earlier migration (a tagged
  /// machine behind a tagged interface in "corvanta-spoke-gw").
  int migratedVnets = 1;
  /// Share of route tables with an unusual shape, from 0 to 1.
  double interesting = 0.2;

  // The configuration written beside the estate.
  std::string logOutput = "./out";
  std::string terraformOutput = "./out/terraform";
  /// Environment variable naming principal i's secret: this prefix followed by i.
  std::string secretEnvPrefix = "KX_FAKE_ARM_SECRET_";
  std::string gatewaySize = "Standard_D3_v2";
};

/// The reference estate the performance work measures: one subscription, 2,000 VNets of 8
/// subnets, 200 of them configured, 4,000 route tables of 25 routes each.
EstateParams referenceEstateParams(std::uint64_t seed = 1);

struct GeneratedEstate {
  Json estate;
  /// A discovery configuration (YAML text) naming the configured VNets, with one credential
  /// entry per principal.
  std::string config;
  /// Environment variable to the principal secret it must hold for the configuration to work.
  std::map<std::string, std::string> secrets;
};

/// @throws std::invalid_argument for parameters that cannot be laid out (negative counts,
///         more configured VNets than VNets, more gateways than VNets, no region, ...).
GeneratedEstate generateEstate(const EstateParams& params);

}  // namespace fakearm
