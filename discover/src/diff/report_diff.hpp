#pragma once
// What changed between two reports of kx-discover (docs/diff.md): a list of changes, grouped
// by subscription and VNet, that the text and JSON listings of `kx-discover diff` print and any
// other view (an HTML report's "changes since" section) can render.
//
// Identity is the Azure resource id: an item whose id is in both reports is the same item,
// and a change of its name (a route table's copy name, a subscription's account name) is one
// change, `renamed`, never a loss and a gain.  Items a report gives no id have a key instead:
// a route (kept or refused) is its table and its prefix (the copy renumbers its routes and the
// log of refused ones names none; Azure allows one route per prefix in a table), and one route
// gone and one come in a table with the same next hop are one route whose prefix changed; a
// finding is its text.  VNets are grouped by the name the configuration gives them, so a VNet
// that Azure lost or gained shows with its status in the other report; a VNet or route table
// that comes or goes is one change, what it holds is not listed again.
//
// Letter case never makes a change: Azure compares ids and names without it and spells one
// resource's id differently from one API to the next (".../resourceGroups/RG-App/..." and
// ".../resourcegroups/rg-app/..."), so identities, names, aspects and findings are all matched
// case-blind.  A change is shown as the newer report spells it.
//
// The order is stable and does not depend on Azure's listing order: subscriptions and VNets as
// the newer report lists them (then those only the older one has), within a group the VNet or
// subscription itself, then peerings, subnets, the gateway, route tables, routes kept, routes
// refused, alerts and errors, each kind sorted by name and id.
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "collab/json.hpp"

namespace kxdiscover {

using collab::Json;

/// The shape of the JSON listing `kx-discover diff --json` writes (docs/diff.schema.json).
inline constexpr const char* kDiffSchema = "kx-discover-diff/1";

/// A report that cannot be compared: unreadable, not JSON, not a report, of another shape
/// version, or with a member of the wrong type.  The message names the file.
class ReportReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// What a report says of its run, for the header of a comparison.
struct ReportOrigin {
  std::string file;  ///< as named to the comparison
  std::string started;
  std::string finished;
  std::vector<std::string> commandLine;
};

/// A report ready to be compared.
struct LoadedReport {
  ReportOrigin origin;
  Json body;
};

/// Takes `body` as the report called `file`, after checking that it is a report of the shape
/// this program writes (kReportSchema).
/// @throws ReportReadError naming `file`, and for another shape both versions.
LoadedReport reportFromJson(Json body, std::string file);
/// Reads and checks the report in `file`.  Nesting is bounded (kMaxReportDepth), and a
/// message quotes at most a short piece of the text it could not read.
/// @throws ReportReadError when it cannot be read or parsed, or as reportFromJson.
LoadedReport loadReport(const std::string& file);

/// How deep a report's lists and objects may nest; a report of this program nests about ten.
inline constexpr int kMaxReportDepth = 64;

/// Checks every member of `report` that a comparison or a page reads against the type and
/// values docs/report.schema.json gives it, as diffReports does while comparing.  Members a
/// report lacks are let be (older reports of the same shape lack members added since).
/// @throws ReportReadError naming the file and the first member that breaks the schema.
void checkReport(const LoadedReport& report);

enum class ChangeMark : char { Added = '+', Removed = '-', Changed = '~' };

/// What a change is about, in the order a group lists them.
enum class Subject {
  Subscription,
  Vnet,
  Peering,
  Subnet,
  Gateway,
  RouteTable,
  Route,
  RefusedRoute,
  Alert,
  Error,
};

/// The subject as the JSON listing names it: "route_table", "refused_route", ...
std::string_view subjectKey(Subject subject);
/// The subject as the text listing names it: "route table", "refused route", ...
std::string_view subjectWords(Subject subject);

/// One change.  An added item has `after` (what it is), a removed one `before`; a changed one
/// has the `aspect` that changed ("renamed", "state", "prefix", ...) with both values.
struct Change {
  ChangeMark mark = ChangeMark::Changed;
  std::string subscription;  ///< the subscription's id
  std::string accountName;   ///< its account name (the newer report's, if it has one)
  std::string vnet;          ///< the VNet's configured name; empty for the subscription's own
  Subject subject = Subject::Subscription;
  /// The Azure resource id, or the key of an item that has none (see above).  Empty for a
  /// configured VNet that was not reached (not found, skipped).
  std::string id;
  std::string name;    ///< the item as a person names it (the newer report's)
  std::string aspect;  ///< Changed only
  std::string before;
  std::string after;
  friend bool operator==(const Change&, const Change&) = default;
};

/// The change as one line, without its indentation: `~ peering to-hub state Connected ->
/// Disconnected`, `+ subnet db 10.1.9.0/24, route table none`.
std::string changeLine(const Change& change);

struct ReportDiff {
  ReportOrigin older;
  ReportOrigin newer;
  std::vector<Change> changes;
};

/// The changes from `older` to `newer`, in the stable order above.
/// @throws ReportReadError naming the file whose member has the wrong type.
ReportDiff diffReports(const LoadedReport& older, const LoadedReport& newer);

/// The text listing: a header saying what was compared, then a heading per subscription and
/// VNet with changes and one line per change.
std::string diffText(const ReportDiff& diff);
/// The JSON listing (docs/diff.md).
Json diffJson(const ReportDiff& diff);

}  // namespace kxdiscover
