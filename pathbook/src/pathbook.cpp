#include "pathbook/pathbook.hpp"

#include <charconv>

#include "basekit/common.hpp"
#include "collab/errors.hpp"
#include "collab/hcl.hpp"
#include "text.hpp"

namespace pathbook {

namespace {

using Status = RtMgmtResponse::Status;

const std::vector<std::string>& privateRangeTexts() {
  static const std::vector<std::string> texts{"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16"};
  return texts;
}

const std::vector<Network>& privateRanges() {
  static const std::vector<Network> networks = [] {
    std::vector<Network> v;
    for (const auto& t : privateRangeTexts()) v.push_back(Network::parse(t));
    return v;
  }();
  return networks;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The list inside a configuration value; null and non-lists are refused before anything
// is changed.
const collab::Json& requireList(const collab::Json& value, std::string_view what) {
  if (!value.is_array())
    throw collab::WrongTypeError(std::string(what) + ": expected a list, got " +
                                 (value.is_null() ? std::string("None") : value.dump()));
  return value;
}

const std::string& requireText(const collab::Json& value, std::string_view what) {
  if (!value.is_string())
    throw collab::WrongTypeError(std::string(what) + ": expected a text, got " + value.dump());
  return value.get_ref<const std::string&>();
}

}  // namespace

Pathbook::Pathbook(std::string id_, std::optional<collab::azure::Tags> azureTags,
                   std::string vnetName, std::optional<std::string> subnetName,
                   std::optional<std::string> custRtbName, bool isFilter_)
    : id(std::move(id_)) {
  bool named = false;
  if (azureTags) {
    for (auto& [key, value] : *azureTags) {
      if (key == "Name") {
        tags.set("Name", "corvanta-" + value);
        named = true;
      } else {
        tags.set(key, std::move(value));
      }
    }
  }
  if (!named) tags.set("Name", "corvanta-" + id);
  tags.set("Org_RT", "org_" + id);
  tags.set("vnet", vnetName);
  vnet = std::move(vnetName);
  subnet = std::move(subnetName);
  if (custRtbName) tags.set("Name", std::move(*custRtbName));
  rfcCidrs = privateRangeTexts();
  rfcCidrNetworks = privateRanges();
  isFilter = isFilter_;
}

std::optional<std::string> Pathbook::getName() const {
  if (const std::string* name = tags.find("Name")) return *name;
  return std::nullopt;
}

void Pathbook::setMain(bool isMain) {
  if (!isMain) {
    main = "False";
    return;
  }
  main = "True";
  if (std::string* name = tags.find("Name"); name && *name == "corvanta-") *name = "corvanta-main";
}

void Pathbook::addFilters(const std::vector<std::string>& cidrs) {
  for (const auto& cidr : cidrs) ipv4Cidrs.push_back(Network::parse(cidr));
}

void Pathbook::addFilters(std::initializer_list<std::string_view> cidrs) {
  for (auto cidr : cidrs) ipv4Cidrs.push_back(Network::parse(cidr));
}

void Pathbook::addFilters(const collab::Json& cidrs) {
  for (const auto& cidr : requireList(cidrs, "filter CIDRs"))
    ipv4Cidrs.push_back(Network::parse(requireText(cidr, "filter CIDR")));
}

namespace {

// The text a pattern matches when it holds no regular-expression operator: plain characters,
// and backslash escapes of the operator characters themselves.  Absent otherwise.
std::optional<std::string> literalOf(std::string_view pattern) {
  static constexpr std::string_view kOperators = "^$\\.*+?()[]{}|";
  static constexpr std::string_view kEscapable = "^$\\.*+?()[]{}|/-";
  std::string text;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      if (i + 1 >= pattern.size() || kEscapable.find(pattern[i + 1]) == std::string_view::npos)
        return std::nullopt;
      text += pattern[++i];
    } else if (kOperators.find(c) != std::string_view::npos) {
      return std::nullopt;
    } else {
      text += c;
    }
  }
  return text;
}

}  // namespace

Pathbook::CompiledTag Pathbook::compile(const std::string& pattern) {
  CompiledTag tag;
  tag.pattern = pattern;
  try {
    tag.re.emplace(pattern, std::regex::ECMAScript | std::regex::optimize);
    tag.literal = literalOf(pattern);
  } catch (const std::regex_error&) {
    tag.error = std::current_exception();
  }
  return tag;
}

bool Pathbook::CompiledTag::matches(std::string_view dest) const {
  if (error) std::rethrow_exception(error);
  if (literal) return dest.substr(0, literal->size()) == *literal;
  return std::regex_search(dest.begin(), dest.end(), *re, std::regex_constants::match_continuous);
}

void Pathbook::addServiceTags(const std::vector<std::string>& patterns) {
  for (const auto& p : patterns) {
    serviceTags.push_back(p);
    compiledTags_.push_back(compile(p));
  }
}

void Pathbook::addServiceTags(std::initializer_list<std::string_view> patterns) {
  for (auto p : patterns) {
    serviceTags.emplace_back(p);
    compiledTags_.push_back(compile(serviceTags.back()));
  }
}

void Pathbook::addServiceTags(const collab::Json& patterns) {
  for (const auto& p : requireList(patterns, "service tags")) {
    serviceTags.push_back(requireText(p, "service tag"));
    compiledTags_.push_back(compile(serviceTags.back()));
  }
}

void Pathbook::addAdditonalTags(const collab::Json& tagRecords) {
  for (const auto& record : requireList(tagRecords, "route table tags")) {
    if (!record.is_object())
      throw collab::WrongTypeError("route table tag: expected a record with Key and Value, got " +
                                   record.dump());
    // The value is looked up before the key, so a record lacking both names "Value".
    auto value = record.find("Value");
    if (value == record.end()) throw collab::MissingKeyError("Value", "route table tag record");
    auto key = record.find("Key");
    if (key == record.end()) throw collab::MissingKeyError("Key", "route table tag record");
    tags.set(detail::textForm(*key), detail::textForm(*value));
  }
}

RtMgmtResponse Pathbook::add(collab::CvtRoute route) {
  RtMgmtResponse resp = checkQuadZeroNoneRoute(route.dest, route.target, route.type);
  if (resp.getErrorCode() == RtMgmtResponse::DUPLICATE_ROUTE) return resp;
  if (isFilter) {
    RtMgmtResponse result = isFilterRoute(route.dest, route.target, route.type);
    if (result.getStatus() == RtMgmtResponse::REJECT) return result;
  }
  ++count;
  char buf[32] = "route_";
  auto end = std::to_chars(buf + 6, buf + sizeof buf, count).ptr;
  route.id.assign(buf, end);
  std::string key = route.id;
  // count only grows and only add stores routes, so route_<count> is always a new key.
  routes.append(std::move(key), std::move(route));
  return RtMgmtResponse(RtMgmtResponse::ACCEPT);
}

RtMgmtResponse Pathbook::checkQuadZeroNoneRoute(std::string_view dest,
                                                const std::optional<std::string>& target,
                                                std::string_view /*type*/) {
  if (detail::strip(dest) == "0.0.0.0/0" && !target) {
    if (!publicTable)
      return RtMgmtResponse(RtMgmtResponse::REJECT, "quad-zero-to-none route already exists",
                            RtMgmtResponse::DUPLICATE_ROUTE);
    publicTable = false;
  }
  return RtMgmtResponse(RtMgmtResponse::ACCEPT);
}

RtMgmtResponse Pathbook::isFilterRoute(std::string_view dest,
                                       const std::optional<std::string>& target,
                                       std::string_view type) {
  const std::optional<Network> network = Network::tryParse(dest);
  if (!network) return filterServiceTag(dest, type);

  const std::string_view destStr = detail::strip(dest);
  for (const auto& cidr : rfcCidrs) {
    if (destStr == cidr) {
      hasRfc1918 = true;
      return RtMgmtResponse(RtMgmtResponse::REJECT, "RFC1918 route");
    }
  }
  if (!(target && *target == "local") && isRfc1918(*network)) hasRfc1918 = true;

  // A network of one version never lies inside a filter of the other; testing them would
  // fail the whole table on the first IPv6 route.
  for (const auto& filter : ipv4Cidrs) {
    if (filter.version() != network->version()) continue;
    if (_is_subnet_of(*network, filter))
      return RtMgmtResponse(RtMgmtResponse::REJECT, "Filter CIDR " + filter.toString());
  }

  if (!copy_quad_zero_route && destStr == "0.0.0.0/0") {
    if (startsWith(type, "VirtualAppliance"))
      return RtMgmtResponse(RtMgmtResponse::REJECT, "0.0.0.0/0 with nexthop VirtualAppliance",
                            RtMgmtResponse::REJECT_ROUTE_QUAD_ZERO_2_VIRTUAL_APP);
    if (startsWith(type, "Internet"))
      return RtMgmtResponse(RtMgmtResponse::REJECT, "0.0.0.0/0 with nexthop Internet",
                            RtMgmtResponse::REJECT_ROUTE_QUAD_ZERO_2_INTERNET);
  }
  return RtMgmtResponse(RtMgmtResponse::ACCEPT);
}

const Pathbook::CompiledTag& Pathbook::serviceTag(std::size_t i) {
  if (compiledTags_.size() > serviceTags.size()) compiledTags_.resize(serviceTags.size());
  while (compiledTags_.size() <= i)
    compiledTags_.push_back(compile(serviceTags[compiledTags_.size()]));
  if (compiledTags_[i].pattern != serviceTags[i]) compiledTags_[i] = compile(serviceTags[i]);
  return compiledTags_[i];
}

RtMgmtResponse Pathbook::filterServiceTag(std::string_view dest, std::string_view type) {
  for (std::size_t i = 0; i < serviceTags.size(); ++i) {
    if (serviceTag(i).matches(dest)) {
      std::string message = "Filter service tags ";
      message.append(dest);
      message += " with nexthop ";
      message.append(type);
      return RtMgmtResponse(RtMgmtResponse::REJECT, std::move(message));
    }
  }
  return RtMgmtResponse(RtMgmtResponse::ACCEPT);
}

bool Pathbook::isRfc1918(const Network& ipn) const {
  for (const auto& range : rfcCidrNetworks) {
    if (range.version() != ipn.version()) continue;
    if (_is_subnet_of(ipn, range)) return true;
  }
  return false;
}

bool Pathbook::_is_subnet_of(const std::optional<Network>& a, const std::optional<Network>& b) {
  if (!a || !b)
    throw collab::WrongTypeError("Unable to test subnet containment between " +
                                 (a ? a->toString() : std::string("None")) + " and " +
                                 (b ? b->toString() : std::string("None")));
  return Network::isSubnetOf(*a, *b);
}

void Pathbook::toHcl(std::ostream& outfile, int ident) const {
  const auto pad = static_cast<std::size_t>(ident);
  std::string line;
  line.reserve(128);
  auto start = [&](std::size_t extra) { line.assign(pad + extra, ' '); };
  auto emit = [&] {
    line += '\n';
    outfile.write(line.data(), static_cast<std::streamsize>(line.size()));
  };

  const std::string& name = tags.at("Name");
  start(0);
  collab::appendHclQuoted(line, name);
  line += " = {";
  emit();
  start(2);
  line += "Main = ";
  collab::appendHclQuoted(line, main);
  emit();
  start(2);
  line += ctrl_managed ? "ctrl_managed = \"True\"" : "ctrl_managed = \"False\"";
  emit();
  if (subnet_group_use_only) {
    start(2);
    line += "subnet_group_use_only = \"True\"";
    emit();
  }
  if (!region) throw collab::MissingKeyError("region", "route table " + id);
  const std::string& regionText = basekit::Common::REGION.at(*region);
  start(2);
  line += "region = ";
  collab::appendHclQuoted(line, regionText);
  emit();
  start(2);
  line +=
      disableBgpPropagation ? "disable_bgp_propagation = true" : "disable_bgp_propagation = false";
  emit();
  start(2);
  line += "routes = {";
  emit();
  for (const auto& [routeId, route] : routes) route.toHcl(outfile, ident + 4);
  start(2);
  line += '}';
  emit();
  start(2);
  line += "tags = {";
  emit();
  for (const auto& [key, value] : tags) {
    start(4);
    collab::appendHclQuoted(line, key);
    line += " = ";
    collab::appendHclQuoted(line, value);
    emit();
  }
  start(2);
  line += '}';
  emit();
  start(0);
  line += '}';
  emit();
}

collab::Json Pathbook::toDict() const {
  if (!region) throw collab::MissingKeyError("region", "route table " + id);
  collab::Json d = collab::Json::object();
  d["Main"] = main;
  d["ctrl_managed"] = ctrl_managed;
  d["region"] = *region;
  d["disable_bgp_propagation"] = disableBgpPropagation;
  collab::Json r = collab::Json::object();
  for (const auto& [routeId, route] : routes) r[routeId] = route.toDict();
  d["routes"] = std::move(r);
  collab::Json t = collab::Json::object();
  for (const auto& [key, value] : tags) t[key] = value;
  d["tags"] = std::move(t);
  return d;
}

}  // namespace pathbook
