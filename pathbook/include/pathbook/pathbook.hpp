#pragma once
// Pathbook: one Azure route table in the form in which it is re-created under the transit
// network: the identity of the copied table, the copy's tags (its name among them), region,
// flags, the filters that decide which routes are carried over, and the accepted routes.
//
// One rule runs through every operation: `id` is the name of the Azure table that is copied,
// the tag "Name" is the name of the copy.
//
// A table passes through three phases that only the calling order enforces: configuration
// (constructor and setters, filters and service tags before the first route), route intake
// (add), rendering (toHcl, toDict; any number of times, changing nothing).  No operation
// catches a failure, and what was done before a failure stays done.
#include <exception>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "collab/azure/route_table.hpp"
#include "collab/cvt_pathbooks.hpp"
#include "collab/cvt_route.hpp"
#include "collab/json.hpp"
#include "collab/ordered_map.hpp"
#include "collab/pathbook_mgmt_response.hpp"
#include "collab/subnet_gw_info.hpp"
#include "pathbook/export.hpp"
#include "pathbook/network.hpp"

namespace pathbook {

using RtMgmtResponse = collab::PathbookMgmtResponse;

class PATHBOOK_EXPORT Pathbook {
 public:
  /// Builds the copy of the Azure table `id`.  Tags, in order: the Azure tags in their own
  /// order (an Azure "Name" becomes "corvanta-" + its value), "Name" = "corvanta-" + id when
  /// the Azure tags had none, "Org_RT" = "org_" + id, "vnet" = vnetName; an Azure tag already
  /// named "Org_RT" or "vnet" keeps its place and takes the new value.  A configured name
  /// (`custRtbName`, even empty) then replaces "Name" as it is, without prefix.
  Pathbook(std::string id, std::optional<collab::azure::Tags> tags, std::string vnetName,
           std::optional<std::string> subnetName, std::optional<std::string> custRtbName,
           bool isFilter = true);

  // ---- configuration --------------------------------------------------------------------
  void setSubnetGroupUseOnly() { subnet_group_use_only = true; }
  void setSubnetGwGroupInfos(std::vector<collab::SubnetGwInfo> infos) {
    subnetGwGroupInfos = std::move(infos);
  }
  /// The stored list itself.
  std::vector<collab::SubnetGwInfo>& getSubnetGwGroupInfos() { return subnetGwGroupInfos; }
  const std::vector<collab::SubnetGwInfo>& getSubnetGwGroupInfos() const {
    return subnetGwGroupInfos;
  }
  const std::string& getId() const { return id; }
  /// tags["Name"], or absent when the table has no "Name" tag.
  std::optional<std::string> getName() const;
  void setName(std::string name) { tags.set("Name", std::move(name)); }
  void setRegion(std::string r) { region = std::move(r); }
  void setCopyQuadZeroRoute(bool retain) { copy_quad_zero_route = retain; }
  void setDisableBgpPropagation(bool propagate) { disableBgpPropagation = propagate; }
  /// main becomes "True"/"False"; when made main, a "Name" that is exactly "corvanta-" (the
  /// prefix of an empty name) becomes "corvanta-main".
  void setMain(bool isMain);
  bool isPublic() const { return publicTable; }
  bool isAccessInternalNetwork() const { return accessInternalNetwork; }
  bool hasRfc1918Route() const { return hasRfc1918; }

  /// Parses each text in order in strict form and appends it to ipv4Cidrs.
  /// @throws collab::InvalidValueError at the first text that is not a network; the networks
  ///         before it stay appended, the rest is not looked at.
  void addFilters(const std::vector<std::string>& cidrs);
  void addFilters(std::initializer_list<std::string_view> cidrs);
  /// The same for a configuration value, which must be a list of texts.
  /// @throws collab::WrongTypeError at once (changing nothing) for null or a non-list, and at
  ///         an element that is not a text.
  void addFilters(const collab::Json& cidrs);

  /// Appends each pattern to serviceTags and compiles it once, here.  A pattern that does not
  /// compile is kept; its std::regex_error is raised when the first destination that is not
  /// a network reaches it in isFilterRoute.
  void addServiceTags(const std::vector<std::string>& patterns);
  void addServiceTags(std::initializer_list<std::string_view> patterns);
  /// @throws collab::WrongTypeError at once (changing nothing) for null or a non-list, and at
  ///         an element that is not a text.
  void addServiceTags(const collab::Json& patterns);

  void addKnownTgwId(std::string tgwId) { knownTgwId = std::move(tgwId); }

  /// For each record of the list in order, tags[record["Key"]] = record["Value"] (a value
  /// that is not a text is stored in its text form: True, False, None, digits).
  /// @throws collab::WrongTypeError at once for null or a non-list, and at a record that is not
  ///         a map; collab::MissingKeyError ("Value" or "Key") at a record lacking one.
  ///         Records before a failing one stay applied.
  void addAdditonalTags(const collab::Json& tagRecords);

  // ---- route intake ---------------------------------------------------------------------
  /// Offers one route.  Refuses a second default route without target (DUPLICATE_ROUTE) and,
  /// when the table filters, whatever isFilterRoute refuses; otherwise numbers the route
  /// route_<count>, stores it in `routes` and answers ACCEPT.
  RtMgmtResponse add(collab::CvtRoute route);
  /// The duplicate test: the first 0.0.0.0/0 (white space trimmed) without target turns the
  /// table private (publicTable false); every later one is refused.
  RtMgmtResponse checkQuadZeroNoneRoute(std::string_view dest,
                                        const std::optional<std::string>& target,
                                        std::string_view type);
  /// The filter test: private ranges, filter networks, default routes towards a virtual
  /// appliance or the Internet, and service-tag patterns for destinations that are not
  /// networks.  Networks are only ever compared with networks of their own IP version.
  /// @throws std::regex_error from a service-tag pattern that does not compile.
  RtMgmtResponse isFilterRoute(std::string_view dest, const std::optional<std::string>& target,
                               std::string_view type);
  /// True when `ipn` lies inside one of the private ranges (an IPv6 network never does).
  bool isRfc1918(const Network& ipn) const;
  /// True when network `a` lies inside network `b`.
  /// @throws collab::WrongTypeError "<a> and <b> are not of the same version".
  static bool _is_subnet_of(const Network& a, const Network& b) {
    return Network::isSubnetOf(a, b);
  }
  /// The same where either side may be absent (not a network).
  /// @throws collab::WrongTypeError "Unable to test subnet containment between <a> and <b>"
  ///         (an absent side written None) when either is absent.
  static bool _is_subnet_of(const std::optional<Network>& a, const std::optional<Network>& b);

  // ---- rendering ------------------------------------------------------------------------
  /// Appends the table's entry of the HCL route-table map to `outfile`, `ident` blanks in
  /// front of its outermost lines, one write per line:
  ///
  ///     "corvanta-rt1" = {
  ///       Main = "False"
  ///       ctrl_managed = "True"
  ///       subnet_group_use_only = "True"      (only when set)
  ///       region = "East US"                  (basekit::Common::REGION[region])
  ///       disable_bgp_propagation = true
  ///       routes = {
  ///         <each route's own entry at ident + 4>
  ///       }
  ///       tags = {
  ///         "Name" = "corvanta-rt1"
  ///       }
  ///     }
  ///
  /// Every text is written as an escaped HCL string, so names and tags holding quotes,
  /// backslashes, line feeds or "${" cannot break or inject into the document.
  /// @throws collab::MissingKeyError for a missing "Name" tag (nothing written), an unset
  ///         region or a region missing from Common::REGION (the first lines stay written).
  void toHcl(std::ostream& outfile, int ident) const;
  /// {"Main", "ctrl_managed", "region" (as stored), "disable_bgp_propagation",
  ///  "routes" {id: route.toDict()}, "tags"}.  "tags" is a copy of the table's tags: a JSON
  /// value cannot share the table's map, so changing the result does not change the table.
  /// @throws collab::MissingKeyError when the region was never set.
  collab::Json toDict() const;

  // ---- fields, in construction order ----------------------------------------------------
  std::string id;
  collab::OrderedMap<std::string> tags;
  std::string knownTgwId;
  int staticRouteCount = 0;
  std::string vnet;
  std::optional<std::string> subnet;
  collab::OrderedMap<collab::CvtRoute> routes;
  int count = 0;
  std::vector<std::string> rfcCidrs;
  std::vector<Network> rfcCidrNetworks;
  /// Filter networks (IPv6 ones too, despite the name).
  std::vector<Network> ipv4Cidrs;
  /// "True" or "False", as text.
  std::string main = "False";
  bool isFilter = true;
  bool publicTable = true;
  bool accessInternalNetwork = false;
  bool hasRfc1918 = false;
  bool ctrl_managed = true;
  bool disableBgpPropagation = true;
  bool copy_quad_zero_route = false;
  bool subnet_group_use_only = false;
  std::vector<collab::SubnetGwInfo> subnetGwGroupInfos;
  /// Regular-expression patterns for destinations that are not networks, matched from the
  /// destination's first character (the match need not reach its end).
  std::vector<std::string> serviceTags;
  /// Azure region name (eastus); absent until setRegion.
  std::optional<std::string> region;

 private:
  // A service-tag pattern compiled once; `error` holds its compile failure instead.  Most
  // patterns are plain names ("AzureCloud", "Storage\\."): for those `literal` holds the text
  // they match, and a prefix comparison stands in for the regular expression.
  struct CompiledTag {
    std::string pattern;
    std::optional<std::regex> re;
    std::exception_ptr error;
    std::optional<std::string> literal;
    bool matches(std::string_view dest) const;
  };
  static CompiledTag compile(const std::string& pattern);
  // The compiled form of serviceTags[i], compiled again only if that text was changed
  // directly since it was compiled.
  const CompiledTag& serviceTag(std::size_t i);
  RtMgmtResponse filterServiceTag(std::string_view dest, std::string_view type);

  std::vector<CompiledTag> compiledTags_;
};

/// The route tables of one VNet (see collab/cvt_pathbooks.hpp), keyed by Pathbook::getId().
using CvtPathbooks = collab::CvtPathbooksOf<Pathbook>;

}  // namespace pathbook
