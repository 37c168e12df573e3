#pragma once
// The pieces of the JSON report of a run (its shape: docs/report.md and
// docs/report.schema.json).  Identities are Azure resource ids; lists keep the order Azure or
// the discovery gave them, so that two reports of the same estate compare entry by entry.
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "collab/azure/virtual_network.hpp"
#include "collab/json.hpp"
#include "pathbook/pathbook.hpp"
#include "report/log_reading.hpp"
#include "run/log_capture.hpp"

namespace kxdiscover {

using collab::Json;

/// The version of the report's shape; raised when a member changes meaning or goes away.
inline constexpr const char* kReportSchema = "kx-discover-report/1";

/// The figures of a run, for the summary and the report.
struct RunFigures {
  std::size_t subscriptions = 0;
  std::size_t subscriptionsFailed = 0;
  /// Configured VNets of the subscriptions taken, and what became of them.
  std::size_t vnets = 0;
  std::size_t vnetsDiscovered = 0;
  std::size_t vnetsNotFound = 0;
  std::size_t vnetsFailed = 0;
  std::size_t vnetsSkipped = 0;
  std::size_t routeTables = 0;
  std::size_t routesKept = 0;
  std::size_t routesRefused = 0;
  std::size_t alerts = 0;
  std::size_t errors = 0;
  std::size_t requests = 0;
  std::size_t retries = 0;
  double seconds = 0;
};

/// Where a run put its outputs.
struct RunOutputs {
  std::string mainLog;
  std::string alertLog;
  std::vector<std::string> terraformFiles;
  std::optional<std::string> report;
  std::optional<std::string> html;
  std::optional<std::string> cassette;
};

/// UTC, ISO 8601, to the second: 2024-05-01T14:03:27Z.
std::string isoTime(std::chrono::system_clock::time_point time);

/// {"name", "id", "resource_group", "region", "address_space"}.
Json vnetIdentity(const collab::azure::VirtualNetwork& vnet);
/// One entry per subnet of the VNet, in Azure's order; `gatewayGroups` maps subnet names to the
/// spoke-gateway group the route-table discovery assigned.
Json subnetsOf(const collab::azure::VirtualNetwork& vnet,
               const std::map<std::string, std::string>& gatewayGroups);
Json peeringsOf(const collab::azure::VirtualNetwork& vnet);
/// The VNet's gateway as the VNet discovery logged it and whether a spoke gateway of an
/// earlier migration was found (absent when that step did not complete).
Json gatewaysOf(const GatewayReport& gateway, const std::string& subscriptionId,
                std::optional<bool> spokeGatewayFound);
/// A route table to re-create: its Azure identity (the id taken from the VNet's subnets that
/// use it), the copy's name, and the Pathbook's own dictionary.
Json routeTableOf(const pathbook::Pathbook& table, const collab::azure::VirtualNetwork& vnet);
Json refusedRoutesOf(const std::vector<RefusedRoute>& refused);
/// The lines of `lines` that are findings of the kind `which`.
Json findingsOf(const CapturedLines& lines, Finding which);
Json figuresOf(const RunFigures& figures);
Json outputsOf(const RunOutputs& outputs);

/// Replaces every secret and token the process knows (collab::SecretRegistry) in every text
/// and member name of `report`: a failure message may quote what a server echoed.
void redactSecrets(Json& report);

}  // namespace kxdiscover
