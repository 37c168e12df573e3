// Resource Manager list pages and answers to the typed Azure objects.  The member paths follow
// the Network, Compute, Resources, Resource Graph and Capacity REST definitions.
#include "collab/azure/arm_parse.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "azure/arm_parse_reader.hpp"
#include "collab/errors.hpp"

namespace collab::azure {

namespace dom = simdjson::dom;
using arm_parse_detail::Members;
using arm_parse_detail::Path;
using arm_parse_detail::Reader;

namespace {

template <class ReadItem>
using ItemOf = std::invoke_result_t<ReadItem, const Reader&, dom::element, const Path&>;

// The items of a list member found at `at`, each read with `readItem(r, item, path)`; absent
// when Azure omitted the member.
template <class ReadItem>
std::optional<std::vector<ItemOf<ReadItem>>> readItems(std::optional<dom::array> items,
                                                       const Reader& r, const Path& at,
                                                       ReadItem readItem) {
  if (!items) return std::nullopt;
  std::vector<ItemOf<ReadItem>> out;
  out.reserve(items->size());
  std::size_t i = 0;
  for (dom::element item : *items) out.push_back(readItem(r, item, at.item(i++)));
  return out;
}

// The array member `name` of `p` (the object at `props`); absent when Azure omitted it.
template <class ReadItem>
auto readOptionalList(const Reader& r, dom::object p, std::string_view name, const Path& props,
                      ReadItem readItem) {
  return readItems(r.optionalArray(p, name, props), r, props.member(name), readItem);
}

// The same for a list the object keeps as empty when Azure omits it.
template <class ReadItem>
auto readList(const Reader& r, dom::object p, std::string_view name, const Path& props,
              ReadItem readItem) {
  return readOptionalList(r, p, name, props, readItem).value_or(std::vector<ItemOf<ReadItem>>{});
}

// The list member `i` of `m` (the members of the object at `props`).
template <std::size_t N, class ReadItem>
auto readOptionalList(const Reader& r, const Members<N>& m, std::size_t i, const Path& props,
                      ReadItem readItem) {
  return readItems(m.optionalArray(r, i, props), r, props.member(m.name(i)), readItem);
}

template <std::size_t N, class ReadItem>
auto readList(const Reader& r, const Members<N>& m, std::size_t i, const Path& props,
              ReadItem readItem) {
  return readOptionalList(r, m, i, props, readItem).value_or(std::vector<ItemOf<ReadItem>>{});
}

SubResource readSubResource(const Reader& r, dom::element e, const Path& at) {
  return r.subResource(e, at);
}

// ---- route tables -------------------------------------------------------------------------

Route readRoute(const Reader& r, dom::element e, const Path& at) {
  enum { kName, kId, kProperties };
  const Members m(r.object(e, at), {"name", "id", "properties"});
  Route route;
  route.name = m.optionalString(r, kName, at);
  route.id = m.optionalString(r, kId, at);
  const Path props = at.member("properties");
  enum { kPrefix, kNextHopType, kNextHopIp };
  const Members p(m.requireObject(r, kProperties, at),
                  {"addressPrefix", "nextHopType", "nextHopIpAddress"});
  route.address_prefix = p.optionalString(r, kPrefix, props);
  route.next_hop_type = p.requireString(r, kNextHopType, props);
  route.next_hop_ip_address = p.optionalString(r, kNextHopIp, props);
  return route;
}

RouteTable readRouteTable(const Reader& r, dom::element e, const Path& at) {
  enum { kName, kId, kLocation, kTags, kProperties };
  const Members m(r.object(e, at), {"name", "id", "location", "tags", "properties"});
  RouteTable table;
  table.name = m.optionalString(r, kName, at);
  table.id = m.optionalString(r, kId, at);
  table.location = m.optionalString(r, kLocation, at);
  if (auto tags = m.find(kTags)) table.tags = r.tags(*tags, at.member("tags"));

  // Everything under `properties` is optional too, so the object itself may be missing.
  const Path props = at.member("properties");
  enum { kDisableBgp, kRoutes, kSubnets };
  const Members p(m.optionalObject(r, kProperties, at),
                  {"disableBgpRoutePropagation", "routes", "subnets"});
  if (auto flag = p.find(kDisableBgp)) {
    table.disable_bgp_route_propagation =
        r.boolean(*flag, props.member("disableBgpRoutePropagation"));
  }
  table.routes = readList(r, p, kRoutes, props, readRoute);
  // Read-only and omitted while no subnet uses the table: absent, not empty.
  table.subnets = readOptionalList(r, p, kSubnets, props, readSubResource);
  return table;
}

// ---- virtual networks ---------------------------------------------------------------------

Delegation readDelegation(const Reader& r, dom::element e, const Path& at) {
  dom::object o = r.object(e, at);
  Delegation d;
  d.name = r.requireString(o, "name", at);
  if (auto props = r.optionalObject(o, "properties", at))
    d.service_name = r.optionalString(*props, "serviceName", at.member("properties"));
  return d;
}

// Service endpoints are flat: no `properties` level.
ServiceEndpoint readServiceEndpoint(const Reader& r, dom::element e, const Path& at) {
  dom::object o = r.object(e, at);
  ServiceEndpoint se;
  se.service = r.optionalString(o, "service", at);
  if (auto locations = Reader::find(o, "locations")) {
    se.locations = r.strings(*locations, at.member("locations"));
  }
  return se;
}

Subnet readSubnet(const Reader& r, dom::element e, const Path& at) {
  enum { kId, kName, kProperties };
  const Members m(r.object(e, at), {"id", "name", "properties"});
  Subnet s;
  s.id = m.requireString(r, kId, at);
  s.name = m.requireString(r, kName, at);

  const Path props = at.member("properties");
  enum { kPrefix, kPrefixes, kNsg, kRouteTable, kDelegations, kServiceEndpoints };
  const Members p(m.optionalObject(r, kProperties, at),
                  {"addressPrefix", "addressPrefixes", "networkSecurityGroup", "routeTable",
                   "delegations", "serviceEndpoints"});
  // A subnet carries either one prefix or a list of them; both stay absent when not sent.
  s.address_prefix = p.optionalString(r, kPrefix, props);
  if (auto prefixes = p.find(kPrefixes)) {
    s.address_prefixes = r.strings(*prefixes, props.member("addressPrefixes"));
  }
  if (auto nsg = p.find(kNsg)) {
    s.network_security_group = r.subResource(*nsg, props.member("networkSecurityGroup"));
  }
  if (auto rt = p.find(kRouteTable)) {
    s.route_table = r.subResource(*rt, props.member("routeTable"));
  }
  s.delegations = readList(r, p, kDelegations, props, readDelegation);
  s.service_endpoints = readOptionalList(r, p, kServiceEndpoints, props, readServiceEndpoint);
  return s;
}

VirtualNetworkPeering readPeering(const Reader& r, dom::element e, const Path& at) {
  dom::object o = r.object(e, at);
  VirtualNetworkPeering peering;
  peering.id = r.requireString(o, "id", at);
  peering.name = r.requireString(o, "name", at);
  const Path props = at.member("properties");
  const auto p = r.optionalObject(o, "properties", at);
  if (!p) return peering;
  if (auto remote = Reader::find(*p, "remoteVirtualNetwork"))
    peering.remote_virtual_network = r.subResource(*remote, props.member("remoteVirtualNetwork"));
  peering.peering_state = r.optionalString(*p, "peeringState", props);
  return peering;
}

VirtualNetwork readVirtualNetwork(const Reader& r, dom::element e, const Path& at) {
  enum { kName, kId, kLocation, kProperties };
  const Members m(r.object(e, at), {"name", "id", "location", "properties"});
  VirtualNetwork vnet;
  vnet.name = m.requireString(r, kName, at);
  vnet.id = m.requireString(r, kId, at);
  vnet.location = m.requireString(r, kLocation, at);

  const Path props = at.member("properties");
  enum { kAddressSpace, kSubnets, kPeerings };
  const Members p(m.optionalObject(r, kProperties, at),
                  {"addressSpace", "subnets", "virtualNetworkPeerings"});
  // A VNet that takes its space from an IP address pool may send neither.
  const Path spaceAt = props.member("addressSpace");
  if (auto space = p.optionalObject(r, kAddressSpace, props)) {
    if (auto prefixes = Reader::find(*space, "addressPrefixes"))
      vnet.address_space.address_prefixes = r.strings(*prefixes, spaceAt.member("addressPrefixes"));
  }
  vnet.subnets = readList(r, p, kSubnets, props, readSubnet);
  vnet.virtual_network_peerings = readList(r, p, kPeerings, props, readPeering);
  return vnet;
}

// ---- gateways, sizes, groups, subscriptions -----------------------------------------------

VirtualNetworkGatewayIpConfiguration readGatewayIpConfiguration(const Reader& r, dom::element e,
                                                                const Path& at) {
  dom::object o = r.object(e, at);
  VirtualNetworkGatewayIpConfiguration ip;
  ip.id = r.requireString(o, "id", at);
  ip.name = r.requireString(o, "name", at);
  const Path props = at.member("properties");
  if (auto p = r.optionalObject(o, "properties", at)) {
    if (auto subnet = Reader::find(*p, "subnet"))
      ip.subnet = r.subResource(*subnet, props.member("subnet"));
  }
  return ip;
}

VirtualNetworkGateway readGateway(const Reader& r, dom::element e, const Path& at) {
  dom::object o = r.object(e, at);
  VirtualNetworkGateway gw;
  gw.name = r.requireString(o, "name", at);
  gw.id = r.requireString(o, "id", at);
  gw.location = r.optionalString(o, "location", at);
  const Path props = at.member("properties");
  if (auto p = r.optionalObject(o, "properties", at)) {
    gw.gateway_type = r.optionalString(*p, "gatewayType", props);
    gw.ip_configurations = readList(r, *p, "ipConfigurations", props, readGatewayIpConfiguration);
  }
  return gw;
}

VirtualMachineSize readSize(const Reader& r, dom::element e, const Path& at) {
  dom::object o = r.object(e, at);
  VirtualMachineSize size;
  size.name = r.optionalString(o, "name", at);
  if (auto cores = Reader::find(o, "numberOfCores"))
    size.number_of_cores = r.integer(*cores, at.member("numberOfCores"));
  return size;
}

ResourceGroup readResourceGroup(const Reader& r, dom::element e, const Path& at) {
  dom::object o = r.object(e, at);
  ResourceGroup rg;
  rg.name = r.requireString(o, "name", at);
  rg.id = r.optionalString(o, "id", at);
  rg.location = r.requireString(o, "location", at);
  return rg;
}

Subscription readSubscription(const Reader& r, dom::element e, const Path& at) {
  dom::object o = r.object(e, at);
  Subscription sub;
  sub.subscriptionId = r.requireString(o, "subscriptionId", at);
  sub.displayName = r.requireString(o, "displayName", at);
  // Only informative (a driver may warn about a subscription that is not "Enabled").
  sub.state = r.optionalString(o, "state", at).value_or("");
  return sub;
}

// ---- quota ----------------------------------------------------------------------------------

// A limit lacking `properties`, `limit` or `currentValue` (all optional in Azure's
// API reference) is kept without them, a null member being left out like a missing one:
// whether that matters is for the quota check to say, and only for the limits it reads.
Json readQuotaEntry(const Reader& r, dom::object o, const Path& at) {
  const Path props = at.member("properties");
  const std::optional<dom::object> p = r.optionalObject(o, "properties", at);
  std::optional<std::int64_t> limit, current;
  std::optional<std::string> quotaName;
  if (p) {
    if (auto e = Reader::find(*p, "limit")) limit = r.integerOrText(*e, props.member("limit"));
    if (auto e = Reader::find(*p, "currentValue"))
      current = r.integerOrText(*e, props.member("currentValue"));
    // Azure keys quotas by `properties.name.value`; the entry's own `name` is not reliable
    // (the list example repeats one name for every entry).
    if (auto nameObj = Reader::find(*p, "name"); nameObj && nameObj->is_object()) {
      quotaName =
          r.optionalString(nameObj->get_object().value_unsafe(), "value", props.member("name"));
    }
  }
  if (!quotaName) quotaName = r.optionalString(o, "name", at);

  Json entry = Reader::toJson(o);
  if (quotaName)
    entry["name"] = *quotaName;
  else
    entry.erase("name");
  if (!p) {
    entry.erase("properties");
    return entry;
  }
  Json& properties = entry["properties"];
  for (const auto& [key, value] : {std::pair{"limit", limit}, std::pair{"currentValue", current}}) {
    if (value)
      properties[key] = *value;
    else
      properties.erase(key);
  }
  return entry;
}

// Appends the items of a list page to `out`; on failure `out` is left as it was.
template <class T, class ReadItem>
std::optional<std::string> readListPage(dom::parser& parser, const char* kind, PageBody body,
                                        std::vector<T>& out, ReadItem readItem) {
  const Reader r(kind);
  dom::object root = r.document(parser, body);
  const std::optional<dom::array> items = r.valueArray(root);
  std::optional<std::string> next = r.nextLink(root);
  if (!items) return next;
  const std::size_t before = out.size();
  try {
    // Grow geometrically: callers append page after page to one vector.
    if (const std::size_t need = before + items->size(); need > out.capacity())
      out.reserve(std::max(need, 2 * out.capacity()));
    const Path root;
    const Path valueAt = root.member("value");
    std::size_t i = 0;
    for (dom::element item : *items) out.push_back(readItem(r, item, valueAt.item(i++)));
  } catch (...) {
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
    throw;
  }
  return next;
}

}  // namespace

struct ArmPageParser::Impl {
  dom::parser parser;
};

ArmPageParser::ArmPageParser() : impl_(std::make_unique<Impl>()) {}
ArmPageParser::~ArmPageParser() = default;
ArmPageParser::ArmPageParser(ArmPageParser&&) noexcept = default;
ArmPageParser& ArmPageParser::operator=(ArmPageParser&&) noexcept = default;

std::optional<std::string> ArmPageParser::parseRouteTablePage(PageBody body,
                                                              std::vector<RouteTable>& out) {
  return readListPage(impl_->parser, "route table list", body, out, readRouteTable);
}

std::optional<std::string> ArmPageParser::parseVirtualNetworkPage(
    PageBody body, std::vector<VirtualNetwork>& out) {
  return readListPage(impl_->parser, "virtual network list", body, out, readVirtualNetwork);
}

std::optional<std::string> ArmPageParser::parseVirtualNetworkGatewayPage(
    PageBody body, std::vector<VirtualNetworkGateway>& out) {
  return readListPage(impl_->parser, "virtual network gateway list", body, out, readGateway);
}

std::optional<std::string> ArmPageParser::parseVirtualMachineSizePage(
    PageBody body, std::vector<VirtualMachineSize>& out) {
  return readListPage(impl_->parser, "VM size list", body, out, readSize);
}

std::optional<std::string> ArmPageParser::parseResourceGroupPage(PageBody body,
                                                                 std::vector<ResourceGroup>& out) {
  return readListPage(impl_->parser, "resource group list", body, out, readResourceGroup);
}

std::optional<std::string> ArmPageParser::parseSubscriptionPage(PageBody body,
                                                                std::vector<Subscription>& out) {
  return readListPage(impl_->parser, "subscription list", body, out, readSubscription);
}

std::optional<std::string> ArmPageParser::parseQuotaPage(PageBody body, QuotaResult& out) {
  const Reader r("quota answer");
  dom::object root = r.document(impl_->parser, body);
  const Path top;
  Json entries = Json::array();
  std::optional<std::string> next;
  if (Reader::find(root, "value") || !Reader::find(root, "properties")) {
    // The list shape (also what `.../serviceLimits/` with an empty name answers).
    const std::optional<dom::array> items = r.valueArray(root);
    next = r.nextLink(root);
    const Path valueAt = top.member("value");
    std::size_t i = 0;
    if (items) {
      for (dom::element item : *items) {
        const Path itemAt = valueAt.item(i++);
        entries.push_back(readQuotaEntry(r, r.object(item, itemAt), itemAt));
      }
    }
  } else {
    // A single limit, as `.../serviceLimits/{resourceName}` answers.
    entries.push_back(readQuotaEntry(r, root, top));
  }

  Json& list = out.additional_properties["value"];
  if (!list.is_array()) list = Json::array();
  for (auto& entry : entries) list.push_back(std::move(entry));
  return next;
}

QueryResponse ArmPageParser::parseQueryResponse(PageBody body) {
  const Reader r("Resource Graph answer");
  dom::object root = r.document(impl_->parser, body);
  const Path top;
  QueryResponse response;
  response.total_records =
      r.integer(r.require(root, "totalRecords", top), top.member("totalRecords"));
  response.count = r.integer(r.require(root, "count", top), top.member("count"));

  const Path truncatedAt = top.member("resultTruncated");
  if (auto truncated = Reader::find(root, "resultTruncated")) {
    // A string enum in the REST definition; a JSON boolean is taken as well.
    if (truncated->is_bool()) {
      response.result_truncated = truncated->get_bool().value_unsafe();
    } else {
      std::string_view text = r.string(*truncated, truncatedAt);
      if (text == "true") {
        response.result_truncated = true;
      } else if (text != "false") {
        r.fail(truncatedAt, "expected \"true\" or \"false\"");
      }
    }
  }

  const Path dataAt = top.member("data");
  dom::element data = r.require(root, "data", top);
  if (data.is_object()) {
    r.fail(dataAt, "expected an array of rows, found an object (was the result format \"table\"?)");
  }
  dom::array rows = r.array(data, dataAt);
  std::size_t i = 0;
  for (dom::element row : rows) {
    r.object(row, dataAt.item(i++));
    response.data.push_back(Reader::toJson(row));
  }

  response.skip_token = r.optionalString(root, "$skipToken", top);
  if (response.skip_token && response.skip_token->empty()) response.skip_token.reset();
  return response;
}

std::string serializeQueryRequest(const QueryRequest& request) {
  Json body = Json::object();
  body["subscriptions"] = request.subscriptions;
  body["query"] = request.query;
  Json options = Json::object();
  options["resultFormat"] = request.options.result_format;
  if (request.options.top) options["$top"] = *request.options.top;
  if (request.options.skip_token) options["$skipToken"] = *request.options.skip_token;
  body["options"] = std::move(options);
  try {
    return body.dump();
  } catch (const Json::type_error&) {
    throw InvalidValueError("Resource Graph request holds text that is not valid UTF-8");
  }
}

}  // namespace collab::azure
