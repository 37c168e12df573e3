#pragma once
// Reading back what the discovery operations logged for one VNet or subscription: the routes
// the route-table discovery refused, the gateway the VNet discovery found, and which lines are
// findings ("**Alert**") or errors ("**Error**").
//
// The route-table section lists each route as
//
//     "    " + prefix padded to 25 + next-hop type padded to 30 + next-hop IP ("None" if absent)
//
// and follows a refused one with "    ** <reason> -- skipped".  Prefixes and hop types hold no
// blank, so the columns split at blanks, except when a prefix fills its 25 columns (a long
// IPv6 network or service tag): then it touches the hop type, which is told apart by the fixed
// set of Azure's next-hop types.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/log_capture.hpp"

namespace kxdiscover {

struct RouteLine {
  std::string prefix;
  std::string nextHopType;
  /// Absent when the line shows None.
  std::optional<std::string> nextHopIp;
};

/// The route of a route line of the route-table section, or absent for any other line.
std::optional<RouteLine> parseRouteLine(std::string_view text);

struct RefusedRoute {
  std::string routeTable;
  RouteLine route;
  std::string reason;
};

/// The refused routes of the netscout lines among `lines`, in the order logged.
std::vector<RefusedRoute> refusedRoutes(const CapturedLines& lines);

struct GatewayLine {
  std::string name;
  /// Absent when the line shows None (Azure sent the gateway without a type).
  std::optional<std::string> type;
  std::string resourceGroup;
};

struct GatewayReport {
  /// False when the lines hold no "- Discover VNG" section.
  bool reported = false;
  /// The gateway found; absent for "VNG not found".
  std::optional<GatewayLine> gateway;
};

/// What the VNet discovery's gateway section says.
GatewayReport gatewayOf(const CapturedLines& lines);

enum class Finding { None, Alert, Error };

/// Alert for a line marked "**Alert**", Error for one marked "**Error**" (the first marker
/// wins) or, unmarked, logged at error or above; None otherwise.
Finding findingOf(const CapturedLine& line);

}  // namespace kxdiscover
