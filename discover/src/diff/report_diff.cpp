// The comparison of two reports: each is flattened into items (one per Azure resource or
// finding, with the aspects that can change), the items are matched by group, subject and
// identity, and every difference becomes a change.
#include "diff/report_diff.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

#include "collab/text_compare.hpp"

namespace kxdiscover {

namespace {

// Reads members with the types docs/report.schema.json gives them.  A member missing or null
// reads as absent (older reports of the same shape lack members added since); one of another
// type is an error naming the file and the member's path.
class Reader {
 public:
  explicit Reader(const std::string& file) : file_(file) {}

  /// Fails at `path`.  A value quoted in `what` is cut: it may be as large as the report.
  [[noreturn]] void fail(const std::string& path, const std::string& what) const {
    constexpr std::size_t kLongest = 120;
    throw ReportReadError(file_ + ": member " + path + ": " +
                          (what.size() > kLongest ? what.substr(0, kLongest) + "..." : what));
  }

  std::optional<std::string> text(const Json& o, const char* key, const std::string& at) const {
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) fail(at + "." + key, "expected a text, got " + it->dump());
    return it->get<std::string>();
  }

  std::string textOr(const Json& o, const char* key, const std::string& at,
                     std::string absent = {}) const {
    return text(o, key, at).value_or(std::move(absent));
  }

  /// The objects of the list `key` with their paths; none when the list is missing or null.
  std::vector<std::pair<const Json*, std::string>> objects(const Json& o, const char* key,
                                                           const std::string& at) const {
    std::vector<std::pair<const Json*, std::string>> out;
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) return out;
    const std::string path = at.empty() ? key : at + "." + key;
    if (!it->is_array()) fail(path, "expected a list, got " + it->dump());
    for (std::size_t i = 0; i < it->size(); ++i) {
      const Json& item = (*it)[i];
      const std::string itemPath = path + "[" + std::to_string(i) + "]";
      if (!item.is_object()) fail(itemPath, "expected an object, got " + item.dump());
      out.emplace_back(&item, itemPath);
    }
    return out;
  }

  /// The texts of the list `key` joined by ", ".
  std::string texts(const Json& o, const char* key, const std::string& at) const {
    std::string out;
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) return out;
    const std::string path = at + "." + key;
    if (!it->is_array()) fail(path, "expected a list, got " + it->dump());
    for (const Json& item : *it) {
      if (!item.is_string()) fail(path, "expected texts, got " + item.dump());
      out += (out.empty() ? "" : ", ") + item.get<std::string>();
    }
    return out;
  }

  /// The object `key`, or null when missing or null.
  const Json* object(const Json& o, const char* key, const std::string& at) const {
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) return nullptr;
    if (!it->is_object()) fail(at + "." + key, "expected an object, got " + it->dump());
    return &*it;
  }

  /// The text `key`, which must be one of `values` when it is there.
  std::optional<std::string> choice(const Json& o, const char* key, const std::string& at,
                                    std::initializer_list<std::string_view> values) const {
    auto value = text(o, key, at);
    if (value && std::find(values.begin(), values.end(), *value) == values.end())
      fail(at + "." + key, "unknown value " + Json(*value).dump());
    return value;
  }

  /// The number `key`, which must not be negative and, for a count, must be whole.
  void number(const Json& o, const char* key, const std::string& at, bool whole) const {
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) return;
    const bool fits = whole ? it->is_number_integer() &&
                                  (it->is_number_unsigned() || it->get<std::int64_t>() >= 0)
                            : it->is_number() && it->get<double>() >= 0;
    if (!fits)
      fail(at + "." + key,
           std::string(whole ? "expected a count" : "expected a number") + ", got " + it->dump());
  }

  std::optional<bool> flag(const Json& o, const char* key, const std::string& at) const {
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) return std::nullopt;
    if (!it->is_boolean()) fail(at + "." + key, "expected true or false, got " + it->dump());
    return it->get<bool>();
  }

 private:
  const std::string& file_;
};

struct Item {
  Subject subject;
  std::string id;
  std::string name;
  std::string description;
  /// What can change, in the order changes are listed.
  std::vector<std::pair<std::string, std::string>> aspects;
  /// A route's table: the id for a route kept (a table added or gone is one change, not one
  /// per route), the name for a route refused.
  std::string table = {};
};

// The subscription's own items (vnet empty) or a configured VNet's.
struct Group {
  std::string subscription;
  std::string accountName;
  std::string vnet;
  std::vector<Item> items;
};

using GroupKey = std::pair<std::string, std::string>;

std::string orNone(const std::optional<std::string>& value) { return value.value_or("none"); }

// Azure compares ids and names without regard to letter case, and answers one resource as
// ".../resourceGroups/RG-App/..." or ".../resourcegroups/rg-app/..." depending on the API: items
// are matched, and their aspects compared, on this folded form, so that a case-only difference
// is never a change.
std::string fold(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The last component of a resource id: the resource's name.
std::string lastComponent(const std::string& id) { return id.substr(id.rfind('/') + 1); }

std::string nextHop(const std::string& type, const std::optional<std::string>& ip) {
  return ip ? type + " " + *ip : type;
}

void addFindings(const Reader& r, const Json& o, const std::string& at, Group& group) {
  for (const auto& [kind, subject] :
       {std::pair{"alerts", Subject::Alert}, std::pair{"errors", Subject::Error}}) {
    std::vector<std::string> seen;
    for (const auto& [line, path] : r.objects(o, kind, at)) {
      std::string text = r.textOr(*line, "text", path);
      r.text(*line, "logger", path);
      r.choice(*line, "level", path, {"trace", "debug", "info", "warning", "error", "critical"});
      // A finding logged twice is still one finding (also when its names came in another case).
      if (std::find(seen.begin(), seen.end(), fold(text)) != seen.end()) continue;
      seen.push_back(fold(text));
      group.items.push_back({subject, text, text, "", {}});
    }
  }
}

void addNetworkItems(const Reader& r, const Json& vnet, const std::string& at, Group& group) {
  for (const auto& [p, path] : r.objects(vnet, "peerings", at)) {
    const std::string remote = r.textOr(*p, "remote_vnet", path, "?");
    const std::string state = r.textOr(*p, "state", path, "unknown");
    group.items.push_back(
        {Subject::Peering,
         r.textOr(*p, "id", path),
         r.textOr(*p, "name", path),
         "to " + remote + " (" + r.textOr(*p, "remote_subscription", path, "?") + "), " + state,
         {{"remote VNet", r.textOr(*p, "remote_vnet_id", path)}, {"state", state}}});
  }
  for (const auto& [s, path] : r.objects(vnet, "subnets", at)) {
    const std::string prefixes = r.texts(*s, "address_prefixes", path);
    const auto table = r.text(*s, "route_table_id", path);
    r.text(*s, "network_security_group_id", path);
    r.choice(*s, "gateway_group", path, {"1", "2"});
    for (const auto& [d, dPath] : r.objects(*s, "delegations", path)) {
      r.text(*d, "name", dPath);
      r.text(*d, "service", dPath);
    }
    const std::string tableName = table ? lastComponent(*table) : "none";
    group.items.push_back({Subject::Subnet,
                           r.textOr(*s, "id", path),
                           r.textOr(*s, "name", path),
                           prefixes + ", route table " + tableName,
                           {{"address prefixes", prefixes}, {"route table", tableName}}});
  }
  if (const Json* gateways = r.object(vnet, "gateways", at)) {
    const std::string path = at + ".gateways";
    if (const Json* vng = r.object(*gateways, "vng", path)) {
      const std::string type = r.textOr(*vng, "type", path + ".vng");
      r.text(*vng, "id", path + ".vng");
      group.items.push_back({Subject::Gateway,
                             r.textOr(*vng, "id", path + ".vng"),
                             r.textOr(*vng, "name", path + ".vng"),
                             type + " (" + r.textOr(*vng, "resource_group", path + ".vng") + ")",
                             {{"type", type}}});
    }
  }
}

void addRouteItems(const Reader& r, const Json& vnet, const std::string& at, Group& group) {
  for (const auto& [t, path] : r.objects(vnet, "route_tables", at)) {
    const std::string name = r.textOr(*t, "azure_name", path);
    const std::string id = r.text(*t, "azure_id", path).value_or(name);
    const Json* definition = r.object(*t, "definition", path);
    const Json* routes =
        definition ? r.object(*definition, "routes", path + ".definition") : nullptr;
    std::string bgp = "unknown";
    for (const auto& [subnet, subnetPath] : r.objects(*t, "subnets", path)) {
      r.text(*subnet, "name", subnetPath);
      r.choice(*subnet, "gateway_group", subnetPath, {"1", "2"});
    }
    if (definition) {
      const std::string at = path + ".definition";
      r.choice(*definition, "Main", at, {"True", "False"});
      r.text(*definition, "region", at);
      r.flag(*definition, "ctrl_managed", at);
      if (const Json* tags = r.object(*definition, "tags", at)) {
        for (const auto& [name, value] : tags->items()) r.text(*tags, name.c_str(), at + ".tags");
      }
    }
    if (definition) {
      if (auto disabled = r.flag(*definition, "disable_bgp_propagation", path + ".definition"))
        bgp = *disabled ? "disabled" : "enabled";
    }
    const std::string copy = orNone(r.text(*t, "copy_name", path));
    const std::size_t count = routes ? routes->size() : 0;
    group.items.push_back({Subject::RouteTable,
                           id,
                           name,
                           "copy " + copy + ", " + std::to_string(count) + " route(s)",
                           {{"renamed", copy}, {"BGP propagation", bgp}}});
    if (!routes) continue;
    // The copy numbers its routes afresh (route_1, route_2, ...) and keeps no Azure route id:
    // a route is known by its table and prefix, of which Azure allows one route per table.
    for (const auto& [key, route] : routes->items()) {
      const std::string routePath = path + ".definition.routes." + key;
      if (!route.is_object()) r.fail(routePath, "expected an object, got " + route.dump());
      const std::string prefix = r.textOr(route, "address_prefix", routePath);
      const std::string hop = nextHop(r.textOr(route, "next_hop_type", routePath),
                                      r.text(route, "next_hop_in_ip_address", routePath));
      group.items.push_back({Subject::Route,
                             id + " " + prefix,
                             name + " " + prefix,
                             "-> " + hop,
                             {{"prefix", prefix}, {"next hop", hop}},
                             id});
    }
  }
  for (const auto& [route, path] : r.objects(vnet, "refused_routes", at)) {
    const std::string table = r.textOr(*route, "route_table", path);
    const std::string prefix = r.textOr(*route, "prefix", path);
    const std::string hop =
        nextHop(r.textOr(*route, "next_hop_type", path), r.text(*route, "next_hop_ip", path));
    const std::string reason = r.textOr(*route, "reason", path);
    group.items.push_back({Subject::RefusedRoute,
                           table + " " + prefix,
                           table + " " + prefix,
                           "-> " + hop + ": " + reason,
                           {{"prefix", prefix}, {"next hop", hop}, {"reason", reason}},
                           table});
  }
}

std::string spokeGateway(const Reader& r, const Json& vnet, const std::string& at) {
  const Json* gateways = r.object(vnet, "gateways", at);
  if (!gateways) return "not checked";
  const auto found = r.flag(*gateways, "spoke_gateway_found", at + ".gateways");
  return !found ? "not checked" : *found ? "found" : "none";
}

Group vnetGroup(const Reader& r, const Json& vnet, const std::string& at,
                const std::string& subscription, const std::string& account) {
  Group group{subscription, account, r.textOr(vnet, "name", at), {}};
  const std::string status =
      r.choice(vnet, "status", at, {"completed", "failed", "interrupted", "not_found", "skipped"})
          .value_or("unknown");
  for (const char* key : {"region", "resource_group", "failed_step", "failure", "terraform_file"})
    r.text(vnet, key, at);
  const auto id = r.text(vnet, "id", at);
  if (!id) {
    // Configured but not reached: only its status is known.
    group.items.push_back({Subject::Vnet, "", group.vnet, status, {{"status", status}}});
  } else {
    const std::string space = r.texts(vnet, "address_space", at);
    group.items.push_back({Subject::Vnet,
                           *id,
                           group.vnet,
                           space + " in " + r.textOr(vnet, "region", at, "?") + ", " + status,
                           {{"status", status},
                            {"address space", space},
                            {"spoke gateway", spokeGateway(r, vnet, at)}}});
  }
  addNetworkItems(r, vnet, at, group);
  addRouteItems(r, vnet, at, group);
  addFindings(r, vnet, at, group);
  return group;
}

// What a page shows beyond what a comparison reads: the run's figures, outputs and failures.
void checkRun(const Reader& r, const Json& body) {
  r.choice(body, "status", "", {"completed", "failed", "interrupted"});
  for (const char* key : {"configuration", "started", "finished"}) r.text(body, key, "");
  r.texts(body, "command_line", "");
  if (const Json* tool = r.object(body, "tool", "")) {
    r.text(*tool, "name", "tool");
    r.text(*tool, "version", "tool");
  }
  if (const Json* summary = r.object(body, "summary", "")) {
    for (const auto& [key, value] : summary->items())
      r.number(*summary, key.c_str(), "summary", key != "seconds");
  }
  if (const Json* outputs = r.object(body, "outputs", "")) {
    for (const char* key : {"log", "alert_log", "report", "cassette"})
      r.text(*outputs, key, "outputs");
    r.texts(*outputs, "terraform", "outputs");
  }
  for (const auto& [failure, at] : r.objects(body, "failures", "")) {
    for (const char* key : {"subscription", "vnet", "step", "message"}) r.text(*failure, key, at);
  }
}

std::vector<Group> flatten(const LoadedReport& report) {
  const Reader r(report.origin.file);
  checkRun(r, report.body);
  std::vector<Group> groups;
  for (const auto& [sub, at] : r.objects(report.body, "subscriptions", "")) {
    const auto id = r.text(*sub, "id", at);
    if (!id) r.fail(at + ".id", "missing");
    const std::string account = r.textOr(*sub, "account_name", at);
    const std::string status =
        r.choice(*sub, "status", at, {"completed", "failed", "interrupted", "skipped"})
            .value_or("unknown");
    r.texts(*sub, "regions", at);
    for (const auto& [failure, path] : r.objects(*sub, "failures", at)) {
      r.text(*failure, "step", path);
      r.text(*failure, "message", path);
    }
    Group own{*id, account, "", {}};
    own.items.push_back({Subject::Subscription,
                         *id,
                         *id,
                         (account.empty() ? "" : account + ", ") + status,
                         {{"renamed", account.empty() ? "none" : account}, {"status", status}}});
    addFindings(r, *sub, at, own);
    groups.push_back(std::move(own));
    for (const auto& [vnet, vnetAt] : r.objects(*sub, "vnets", at))
      groups.push_back(vnetGroup(r, *vnet, vnetAt, *id, account));
  }
  return groups;
}

// The groups of both reports in listing order: the newer report's subscriptions, then those
// only the older one has; in each, the subscription's own group, then its VNets likewise.
std::map<GroupKey, std::size_t> groupRanks(const std::vector<Group>& older,
                                           const std::vector<Group>& newer) {
  std::vector<std::string> subscriptions;
  std::map<std::string, std::vector<std::string>> vnets;
  for (const auto* groups : {&newer, &older}) {
    for (const Group& g : *groups) {
      const std::string subscription = fold(g.subscription);
      if (std::find(subscriptions.begin(), subscriptions.end(), subscription) ==
          subscriptions.end())
        subscriptions.push_back(subscription);
      auto& names = vnets[subscription];
      if (std::find(names.begin(), names.end(), fold(g.vnet)) == names.end())
        names.push_back(fold(g.vnet));
    }
  }
  std::map<GroupKey, std::size_t> ranks;
  for (const auto& subscription : subscriptions) {
    auto& names = vnets[subscription];
    // The subscription's own group first: its empty name sorts before any VNet's.
    std::stable_partition(names.begin(), names.end(), [](const auto& n) { return n.empty(); });
    for (const auto& name : names) ranks.emplace(GroupKey{subscription, name}, ranks.size());
  }
  return ranks;
}

struct Pair {
  std::size_t rank;
  const Group* group;
  const Item* older = nullptr;
  const Item* newer = nullptr;
};

class ChangeList {
 public:
  explicit ChangeList(std::vector<Change>& out) : out_(out) {}

  void added(const Pair& p, const Item& item, const std::string& note = {}) {
    push(p, item, ChangeMark::Added, "", "", item.description + note);
  }
  void removed(const Pair& p, const Item& item, const std::string& note = {}) {
    push(p, item, ChangeMark::Removed, "", item.description + note, "");
  }
  void compared(const Pair& p) {
    const Item& was = *p.older;
    const Item& now = *p.newer;
    if (collab::ci_equal(was.id, now.id) && !collab::ci_equal(was.name, now.name))
      push(p, now, ChangeMark::Changed, "renamed", was.name, now.name);
    for (const auto& [aspect, value] : now.aspects) {
      const auto old = std::find_if(was.aspects.begin(), was.aspects.end(),
                                    [&](const auto& a) { return a.first == aspect; });
      if (old != was.aspects.end() && !collab::ci_equal(old->second, value))
        push(p, now, ChangeMark::Changed, aspect, old->second, value);
    }
  }

 private:
  void push(const Pair& p, const Item& item, ChangeMark mark, std::string aspect,
            std::string before, std::string after) {
    out_.push_back(Change{mark, p.group->subscription, p.group->accountName, p.group->vnet,
                          item.subject, item.id, item.name, std::move(aspect), std::move(before),
                          std::move(after)});
  }

  std::vector<Change>& out_;
};

using PairKey = std::tuple<std::size_t, Subject, std::string>;

std::string aspectOf(const Item& item, std::string_view aspect) {
  for (const auto& [name, value] : item.aspects) {
    if (name == aspect) return value;
  }
  return {};
}

// A route gone and a route come in the same table with the same next hop, one of each, are
// one route whose prefix changed.
void pairMovedPrefixes(std::map<PairKey, Pair>& pairs) {
  struct Candidates {
    std::vector<PairKey> gone, come;
  };
  std::map<std::tuple<std::size_t, Subject, std::string, std::string>, Candidates> buckets;
  for (const auto& [key, p] : pairs) {
    const Item& item = p.newer ? *p.newer : *p.older;
    if ((item.subject != Subject::Route && item.subject != Subject::RefusedRoute) ||
        (p.older && p.newer))
      continue;
    Candidates& c =
        buckets[{p.rank, item.subject, fold(item.table), fold(aspectOf(item, "next hop"))}];
    (p.older ? c.gone : c.come).push_back(key);
  }
  for (const auto& [bucket, c] : buckets) {
    if (c.gone.size() != 1 || c.come.size() != 1) continue;
    pairs.at(c.come[0]).older = pairs.at(c.gone[0]).older;
    pairs.erase(c.gone[0]);
  }
}

}  // namespace

std::string_view subjectKey(Subject subject) {
  switch (subject) {
    case Subject::Subscription:
      return "subscription";
    case Subject::Vnet:
      return "vnet";
    case Subject::Peering:
      return "peering";
    case Subject::Subnet:
      return "subnet";
    case Subject::Gateway:
      return "gateway";
    case Subject::RouteTable:
      return "route_table";
    case Subject::Route:
      return "route";
    case Subject::RefusedRoute:
      return "refused_route";
    case Subject::Alert:
      return "alert";
    case Subject::Error:
      return "error";
  }
  return "?";
}

std::string_view subjectWords(Subject subject) {
  switch (subject) {
    case Subject::RouteTable:
      return "route table";
    case Subject::RefusedRoute:
      return "refused route";
    default:
      return subjectKey(subject);
  }
}

void checkReport(const LoadedReport& report) { flatten(report); }

ReportDiff diffReports(const LoadedReport& older, const LoadedReport& newer) {
  const std::vector<Group> oldGroups = flatten(older);
  const std::vector<Group> newGroups = flatten(newer);
  const std::map<GroupKey, std::size_t> ranks = groupRanks(oldGroups, newGroups);

  // A VNet is matched by its group (its configured name), everything else by its identity
  // within the group.
  using Key = PairKey;
  std::map<Key, Pair> pairs;
  auto collect = [&](const std::vector<Group>& groups, bool isNew) {
    for (const Group& g : groups) {
      const std::size_t rank = ranks.at({fold(g.subscription), fold(g.vnet)});
      std::map<std::pair<Subject, std::string>, int> seen;
      for (const Item& item : g.items) {
        std::string id = item.subject == Subject::Vnet ? "" : fold(item.id);
        // An identity given twice (a hand-edited report) still keeps both items.
        if (const int n = ++seen[{item.subject, id}]; n > 1) id += " #" + std::to_string(n);
        const Key key{rank, item.subject, std::move(id)};
        Pair& p = pairs.try_emplace(key, Pair{rank, &g}).first->second;
        (isNew ? p.newer : p.older) = &item;
        if (isNew) p.group = &g;
      }
    }
  };
  collect(oldGroups, false);
  collect(newGroups, true);
  pairMovedPrefixes(pairs);

  std::vector<const Pair*> order;
  for (const auto& [key, p] : pairs) order.push_back(&p);
  std::stable_sort(order.begin(), order.end(), [](const Pair* a, const Pair* b) {
    const Item& x = a->newer ? *a->newer : *a->older;
    const Item& y = b->newer ? *b->newer : *b->older;
    return std::tie(a->rank, x.subject, x.name, x.id) < std::tie(b->rank, y.subject, y.name, y.id);
  });

  // A VNet or route table added or gone is one change: what it holds is not listed again.
  std::set<std::size_t> wholeVnets;
  std::set<std::pair<std::size_t, std::string>> wholeTables;
  for (const auto& [key, p] : pairs) {
    const bool whole = !p.older || !p.newer || !collab::ci_equal(p.older->id, p.newer->id);
    if (whole && std::get<1>(key) == Subject::Vnet) wholeVnets.insert(p.rank);
    if (whole && std::get<1>(key) == Subject::RouteTable)
      wholeTables.emplace(p.rank, std::get<2>(key));
  }
  auto listed = [&](const Pair& p) {
    const Item& item = p.newer ? *p.newer : *p.older;
    if (item.subject != Subject::Vnet && wholeVnets.contains(p.rank)) return false;
    return item.subject != Subject::Route || !wholeTables.contains({p.rank, fold(item.table)});
  };

  ReportDiff diff{older.origin, newer.origin, {}};
  ChangeList changes(diff.changes);
  for (const Pair* p : order) {
    if (!listed(*p)) continue;
    if (!p->older) {
      changes.added(*p, *p->newer);
    } else if (!p->newer) {
      changes.removed(*p, *p->older);
    } else if (p->older->subject != Subject::Vnet || collab::ci_equal(p->older->id, p->newer->id)) {
      changes.compared(*p);
    } else if (p->older->id.empty()) {
      // A configured VNet Azure now has: say what it was before.
      changes.added(*p, *p->newer, ", was " + p->older->description);
    } else if (p->newer->id.empty()) {
      changes.removed(*p, *p->older, ", now " + p->newer->description);
    } else {
      // Same configured name, another VNet.
      changes.removed(*p, *p->older);
      changes.added(*p, *p->newer);
    }
  }
  return diff;
}

}  // namespace kxdiscover
