#pragma once
// Reading back what the discovery operations logged for one VNet or subscription: the routes
// the route-table discovery refused, the gateway the VNet discovery found, and which lines are
// findings ("**Alert**") or errors ("**Error**").
//
// The route-table section lists each route as
//
//     "    " + prefix padded to 25 + next-hop type padded to 30 + next-hop IP ("None" if absent)
//
// and follows a refused one with "    ** <reason> -- skipped".  The hop type is one of the
// fixed set of Azure's next-hop types and stands at column 25, or right after a prefix that
// fills its 25 columns (a long IPv6 network or service tag); the columns are found from it, so
// a prefix from outside that holds blanks (or escaped control characters) is still read whole.
//
// The lines are read as the log file shows them (log_capture.hpp): a prefix holding a line
// feed reads back as "...\n...", as in kx.log.
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

/// Alert for a line that starts with "**Alert**", Error for one that starts with "**Error**"
/// (leading blanks aside) or, unmarked, logged at error or above; None otherwise.  A marker
/// further on belongs to a text the line quotes (a name from Azure may hold one), not to the
/// line.
Finding findingOf(const CapturedLine& line);

}  // namespace kxdiscover
