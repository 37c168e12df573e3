#pragma once
// Gateways' learned routes, on request (--learned-routes): what the on-premises side announces
// over BGP to the VNet's VPN or ExpressRoute gateway, for the VNet's report entry.
//
// The gateway asked is the one the VNet discovery reports for the VNet (the report's
// `gateways.vng`), when it is a VPN or ExpressRoute gateway.  Asking is an action that Reader
// does not include, and Azure answers it as a long-running operation; neither a refusal nor a
// slow answer fails the VNet: each gateway's outcome is in the report, and anything but the
// routes is a finding.
#include <chrono>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/azure_credential.hpp"
#include "collab/json.hpp"

namespace kxdiscover {

/// How long a gateway's routes are waited for when the command line does not say.
inline constexpr std::chrono::seconds kDefaultLearnedRoutesTimeout{120};

/// The VNet's `learned_routes` report member: one entry per gateway of `gateways` (the VNet's
/// `gateways` report member) asked for its routes, none when it has no VPN or ExpressRoute
/// gateway.  Logs, on the run's logger, a line per gateway with the number of routes, or the
/// finding that replaces them: an **Alert** naming the role that is missing (HTTP 403) or
/// saying that the time limit ran out, an **Error** for any other failure.
/// @throws whatever stopped the request when the run is being interrupted.
collab::Json learnedRoutesOf(const collab::azure::AzureCredential& cred,
                             const collab::Json& gateways,
                             const collab::azure::OperationPolling& polling);

}  // namespace kxdiscover
