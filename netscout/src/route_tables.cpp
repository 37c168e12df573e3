// Route-table discovery: the Azure route tables a VNet's subnets use, each turned into the
// Pathbook that re-creates it, with the route-table section of the discovery log.
#include <map>
#include <optional>
#include <set>

#include "basekit/common.hpp"
#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "collab/text_form.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {

namespace az = collab::azure;
using collab::Json;
using collab::RtMgmtResponse;
using pathbook::Pathbook;

namespace {

using Logger = std::shared_ptr<spdlog::logger>;

// yamlObj[key]: every option is read by plain lookup, so a missing key is a failure.
const Json& option(const Json& yamlObj, const char* key) {
  auto it = yamlObj.is_object() ? yamlObj.find(key) : yamlObj.end();
  if (it == yamlObj.end()) throw collab::MissingKeyError(key, "VNet option map");
  return *it;
}

bool optionFlag(const Json& yamlObj, const char* key) {
  const Json& value = option(yamlObj, key);
  if (!value.is_boolean())
    throw collab::WrongTypeError(std::string("VNet option ") + key +
                                 " must be true or false, got " + collab::reprForm(value));
  return value.get<bool>();
}

bool isTrue(const Json& value) { return value.is_boolean() && value.get<bool>(); }

std::string messageOf(const RtMgmtResponse& response) {
  return response.getMessage().value_or("None");
}

// A table Azure sent without what discovery needs of it is skipped with one error line; it
// names the table by whatever Azure did send (its name, else its id, else None).
void skipIncomplete(const Logger& log, const az::RouteTable& rt, std::string_view member) {
  log->error("  **Error** route table {} has no {} -- skipped",
             rt.name ? *rt.name : rt.id.value_or("None"), member);
}

// Steps that decide whether `rt` is discovered for `vnet`: tables no subnet uses, the system's
// own copies, the VNet's default table, tables of subnets Azure reserves, and tables of other
// VNets only.  Answers the first subnet of `vnet` that uses the table, or absent to skip it.
// A table of `vnet` without a name or location is skipped with an error line: it can be
// neither told apart from the system's copies nor re-created.
std::optional<std::string> selectTable(const Logger& log, const az::RouteTable& rt,
                                       const Json& yamlObj, const az::VirtualNetwork& vnet) {
  if (!rt.subnets || rt.subnets->empty()) return std::nullopt;
  if (!rt.name) {
    if (NetScout::getSubnetUsedInVnet(rt, vnet)) skipIncomplete(log, rt, "name");
    return std::nullopt;
  }
  const std::string& name = *rt.name;
  if (name.starts_with("org_") || name.find("corvanta") != std::string::npos) {
    log->info("  route table: {} -- skipped (corvanta created)", name);
    return std::nullopt;
  }
  if (const Json& suffix = option(yamlObj, "default_route_table"); !suffix.is_null()) {
    if (name == vnet.name + "-" + collab::textForm(suffix)) {
      log->info("  route table: {} -- skipped (corvanta created default)", name);
      return std::nullopt;
    }
  }
  for (const auto& ref : *rt.subnets) {
    const std::string subnet = NetScout::idComponent(ref.id, NetScout::SUBNET_I);
    if (basekit::Common::isAzureReservedSubnet(subnet)) {
      log->info("  route table: {} -- skipped (associated to {})", name, subnet);
      return std::nullopt;
    }
  }
  std::optional<std::string> subnet = NetScout::getSubnetUsedInVnet(rt, vnet);
  if (subnet && !rt.location) {
    skipIncomplete(log, rt, "location");
    return std::nullopt;
  }
  return subnet;
}

// The Pathbook of `rt`, named and configured from the VNet's options before any route is
// offered to it: the filters and the copy flag decide route intake.
Pathbook buildPathbook(const az::RouteTable& rt, const Json& yamlObj,
                       const az::VirtualNetwork& vnet, const std::string& subnet,
                       bool hasVpnGateway) {
  std::vector<collab::SubnetGwInfo> infos = NetScout::getGwGroup2SubnetInfo(rt, vnet);
  const char* nameKey =
      infos.size() > 1 ? basekit::Common::CONFIG_SHARED_RTB_NAME : basekit::Common::CONFIG_RTB_NAME;
  std::optional<std::string> name =
      basekit::Common::getCustomizedPathbookName(nameKey, vnet.name, subnet, *rt.name);

  Pathbook pb(*rt.name, rt.tags, vnet.name, subnet, std::move(name));
  pb.setSubnetGwGroupInfos(std::move(infos));
  pb.setRegion(*rt.location);
  pb.setCopyQuadZeroRoute(optionFlag(yamlObj, "copy_quad_zero_route"));
  pb.addFilters(option(yamlObj, "filter_cidrs"));
  pb.addServiceTags(option(yamlObj, "filter_service_tags"));
  // Without a VPN gateway there is nothing to propagate routes from.
  pb.setDisableBgpPropagation(hasVpnGateway ? rt.disable_bgp_route_propagation : true);
  pb.addAdditonalTags(option(yamlObj, "route_table_tags"));
  return pb;
}

// Logs the table's subnets, alerting on those of other VNets; answers the names of the
// subnets in `vnet`.
std::vector<std::string> logSubnets(const Logger& log, const az::RouteTable& rt,
                                    const az::VirtualNetwork& vnet) {
  std::vector<std::string> own;
  for (const auto& ref : *rt.subnets) {
    std::string vnetName = NetScout::idComponent(ref.id, NetScout::VNET_I);
    std::string subnet = NetScout::idComponent(ref.id, NetScout::SUBNET_I);
    if (vnetName != vnet.name) {
      log->warn("    **Alert** route table used by other vnet {} {}", vnetName, subnet);
    } else {
      log->info("    subnet: {}/{}", vnetName, subnet);
      own.push_back(std::move(subnet));
    }
  }
  return own;
}

// Adds the default route to None; logs at error when the table refuses it.  Answers whether
// it was accepted.
bool addDefaultNoneRoute(const Logger& log, Pathbook& pb) {
  const RtMgmtResponse added = pb.add(collab::CvtRoute::DefaultNoneRoute());
  if (added.getStatus() != RtMgmtResponse::REJECT) return true;
  log->error("    ** {} -- Failed to add 0.0.0.0/0 to None route", messageOf(added));
  return false;
}

// Logs the route table and offers every route to `pb`.  A refused default route towards a
// virtual appliance or the Internet is replaced by the default route to None.  A route
// without an address prefix cannot be admitted: an error line takes its place in the list.
void addRoutes(const Logger& log, const az::RouteTable& rt, Pathbook& pb) {
  if (rt.routes.empty()) {
    log->warn("    **Alert** empty UDR route table {}", *rt.name);
    return;
  }
  const std::string rule = "    " + std::string(63, '.');
  log->info("    route(s):");
  log->info(rule);
  log->info("    {:<25}{:<30}{}", "Prefix", "Next hop type", "Next hop IP");
  log->info(rule);
  for (const auto& route : rt.routes) {
    if (!route.address_prefix) {
      log->error("    **Error** route table {} route {} has no addressPrefix -- skipped", *rt.name,
                 route.name.value_or("None"));
      continue;
    }
    log->info("    {:<25}{:<30}{}", *route.address_prefix, route.next_hop_type,
              route.next_hop_ip_address.value_or("None"));
    const RtMgmtResponse result = pb.add(collab::CvtRoute(route));
    if (result.getStatus() != RtMgmtResponse::REJECT) continue;
    log->info("    ** {} -- skipped", messageOf(result));
    if (result.getErrorCode() == RtMgmtResponse::REJECT_ROUTE_QUAD_ZERO_2_VIRTUAL_APP ||
        result.getErrorCode() == RtMgmtResponse::REJECT_ROUTE_QUAD_ZERO_2_INTERNET)
      addDefaultNoneRoute(log, pb);
  }
}

// True when the table already holds an accepted route to 0.0.0.0/0.
bool hasDefaultRoute(const Pathbook& pb) {
  for (const auto& [id, route] : pb.routes) {
    const auto first = route.dest.find_first_not_of(" \t\r\n");
    const auto last = route.dest.find_last_not_of(" \t\r\n");
    if (first != std::string::npos && route.dest.substr(first, last - first + 1) == "0.0.0.0/0")
      return true;
  }
  return false;
}

// A private subnet gets the default route to None unless its table already sends 0.0.0.0/0
// nowhere, or somewhere it was told to keep: a default route to an appliance copied as it is
// (copy_quad_zero_route) leaves the table "public" yet routed, and Azure refuses a table with
// two routes for one prefix.
void checkPrivateSubnet(const Logger& log, const Json& yamlObj, Pathbook& pb) {
  if (!isTrue(option(yamlObj, "configure_private_subnet")) || !pb.isPublic()) return;
  if (hasDefaultRoute(pb)) return;
  if (addDefaultNoneRoute(log, pb))
    log->info("    configure private subnet -- add 0.0.0.0/0 to None route");
}

// A table whose subnets in the VNet all belong to subnet groups is flagged (and still
// returned) so the migration can tell it apart.
void checkSubnetGroups(const Logger& log, const az::RouteTable& rt, const Json& yamlObj,
                       const std::vector<std::string>& ownSubnets, Pathbook& pb) {
  if (option(yamlObj, "subnet_groups").is_null()) return;
  const Json& grouped = option(yamlObj, "subnet_in_subnet_groups");
  if (!grouped.is_array())
    throw collab::WrongTypeError("VNet option subnet_in_subnet_groups must be a list, got " +
                                 collab::reprForm(grouped));
  std::set<std::string, std::less<>> inGroups;
  for (const Json& name : grouped) {
    if (name.is_string()) inGroups.insert(name.get<std::string>());
  }
  for (const auto& subnet : ownSubnets) {
    if (!inGroups.contains(subnet)) return;
  }
  // Without an id, the name Azure gave is the same name.
  log->warn("    **Alert** route table {} used only by subnet in subnet groups",
            rt.id ? NetScout::idComponent(*rt.id, NetScout::RT_I) : *rt.name);
  pb.setSubnetGroupUseOnly();
}

}  // namespace

std::map<std::string, pathbook::CvtPathbooks> NetScout::discover_route_tables(
    const az::AzureCredential& cred, const Json& yamlObj, const az::VirtualNetwork& vnet) {
  auto log = collab::getLogger("netscout");
  az::NetworkManagementClient client(cred.getCSC(), cred.getSubId());
  const std::vector<az::RouteTable> tables = client.route_tables.list_all();
  // Asked once per VNet; its own line comes before the section header.
  const bool hasVpnGateway = isVnetWithVng(cred, vnet, VPN);

  log->info("- Discover route table(s):");
  std::map<std::string, pathbook::CvtPathbooks> discovered;
  for (const auto& rt : tables) {
    const std::optional<std::string> subnet = selectTable(log, rt, yamlObj, vnet);
    if (!subnet) continue;
    log->info("  route table: {}", *rt.name);
    Pathbook pb = buildPathbook(rt, yamlObj, vnet, *subnet, hasVpnGateway);
    const std::vector<std::string> ownSubnets = logSubnets(log, rt, vnet);
    addRoutes(log, rt, pb);
    checkPrivateSubnet(log, yamlObj, pb);
    checkSubnetGroups(log, rt, yamlObj, ownSubnets, pb);

    // Registered only now, complete: a table that failed part-way never reaches the map.
    auto& books = discovered.try_emplace(vnet.name, vnet.name).first->second;
    if (!books.get(rt.id.value_or(*rt.name))) books.add(std::move(pb));
  }
  return discovered;
}

}  // namespace netscout
