#include "served_estate.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "text.hpp"

namespace fakearm {
namespace detail {

namespace {

constexpr const char* kNetworkApi = "2024-05-01";
constexpr const char* kResourcesApi = "2021-04-01";
constexpr const char* kSubscriptionsApi = "2015-01-01";
constexpr const char* kCapacityApi = "2020-10-25";

[[noreturn]] void fail(const std::string& path, const std::string& problem) {
  throw EstateError("estate member '" + (path.empty() ? std::string("(document)") : path) +
                    "': " + problem);
}

std::string at(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}
std::string at(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

const Json& object(const Json& value, const std::string& path) {
  if (!value.is_object()) fail(path, std::string("expected an object, found ") + value.type_name());
  return value;
}

const Json* optional(const Json& parent, const char* key) {
  auto it = parent.find(key);
  return it == parent.end() ? nullptr : &*it;
}

const Json& required(const Json& parent, const char* key, const std::string& path) {
  const Json* value = optional(parent, key);
  if (!value) fail(at(path, key), "required member is missing");
  return *value;
}

const Json& array(const Json& value, const std::string& path) {
  if (!value.is_array()) fail(path, std::string("expected a list, found ") + value.type_name());
  return value;
}

/// An optional list member: empty when missing.
const Json& listMember(const Json& parent, const char* key, const std::string& path) {
  static const Json empty = Json::array();
  const Json* value = optional(parent, key);
  return value ? array(*value, at(path, key)) : empty;
}

const std::string& text(const Json& parent, const char* key, const std::string& path) {
  const Json& value = required(parent, key, path);
  if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
    fail(at(path, key), "expected non-empty text");
  }
  return value.get_ref<const std::string&>();
}

// A top-level resource type, its estate member and the lists it is served in.
struct ResourceKind {
  const char* member;
  const char* type;
  const char* listAll;      // operation listing the subscription's resources, or null
  const char* listInGroup;  // operation listing a resource group's resources, or null
};

constexpr ResourceKind kKinds[] = {
    {"routeTables", "Microsoft.Network/routeTables", "routeTables.listAll", "routeTables.list"},
    {"virtualNetworks", "Microsoft.Network/virtualNetworks", "virtualNetworks.listAll",
     "virtualNetworks.list"},
    {"virtualNetworkGateways", "Microsoft.Network/virtualNetworkGateways", nullptr,
     "virtualNetworkGateways.list"},
    {"networkInterfaces", "Microsoft.Network/networkInterfaces", nullptr, nullptr},
    {"virtualMachines", "Microsoft.Compute/virtualMachines", nullptr, nullptr},
};

class Builder {
 public:
  Builder(const PagingOptions& paging) : paging_(paging) {}

  std::shared_ptr<const ServedEstate> build(const Json& estate) {
    auto served = std::make_shared<ServedEstate>();
    served->generation = paging_.generation;
    object(estate, "");
    const Json& tenants = array(required(estate, "tenants", ""), "tenants");
    const Json& subscriptions = array(required(estate, "subscriptions", ""), "subscriptions");

    for (std::size_t t = 0; t < tenants.size(); ++t) {
      const std::string path = at("tenants", t);
      const std::string& tenant = text(object(tenants[t], path), "tenantId", path);
      if (!served->tenants.insert(lower(tenant)).second) {
        fail(at(path, "tenantId"), "tenant '" + tenant + "' is described twice");
      }
    }
    for (std::size_t s = 0; s < subscriptions.size(); ++s) {
      addSubscription(*served, subscriptions[s], at("subscriptions", s));
    }
    for (std::size_t t = 0; t < tenants.size(); ++t) {
      const std::string path = at("tenants", t);
      const Json& principals = listMember(tenants[t], "principals", path);
      for (std::size_t p = 0; p < principals.size(); ++p) {
        addPrincipal(*served, tenants[t]["tenantId"].get<std::string>(), principals[p],
                     at(at(path, "principals"), p));
      }
    }
    for (const Principal& principal : served->principals) {
      std::vector<std::string> entries;
      for (const auto& key : subscriptionOrder_) {
        if (principal.subscriptions.count(key)) entries.push_back(subscriptionEntries_[key]);
      }
      served->subscriptionPages.push_back(
          pages(entries, "subscriptions.list", "/subscriptions", kSubscriptionsApi, false));
    }
    return served;
  }

 private:
  void addSubscription(ServedEstate& served, const Json& entry, const std::string& path) {
    object(entry, path);
    SubscriptionIndex index;
    index.id = text(entry, "subscriptionId", path);
    index.tenantId = text(entry, "tenantId", path);
    const std::string key = lower(index.id);
    if (served.subscriptions.count(key)) {
      fail(at(path, "subscriptionId"), "subscription '" + index.id + "' is described twice");
    }
    if (!served.tenants.count(lower(index.tenantId))) {
      fail(at(path, "tenantId"), "names tenant '" + index.tenantId +
                                     "', which no tenant entry "
                                     "describes");
    }
    Json listed = {{"id", "/subscriptions/" + index.id},
                   {"subscriptionId", index.id},
                   {"displayName", entry.value("displayName", index.id)},
                   {"state", entry.value("state", "Enabled")}};
    if (const Json* policies = optional(entry, "subscriptionPolicies")) {
      listed["subscriptionPolicies"] = *policies;
    }
    listed["authorizationSource"] = "RoleBased";
    subscriptionEntries_[key] = listed.dump();
    subscriptionOrder_.push_back(key);

    const std::string subPath = "/subscriptions/" + percentEncode(index.id);
    std::vector<std::string> groupBodies;
    const Json& groups = listMember(entry, "resourceGroups", path);
    for (std::size_t g = 0; g < groups.size(); ++g) {
      const std::string groupPath = at(at(path, "resourceGroups"), g);
      const std::string& name = text(object(groups[g], groupPath), "name", groupPath);
      if (!index.groups.emplace(lower(name), name).second) {
        fail(at(groupPath, "name"), "resource group '" + name + "' is described twice");
      }
      groupBodies.push_back(groups[g].dump());
    }
    index.lists[listKey("resourceGroups.list")] = pages(
        groupBodies, "resourceGroups.list", subPath + "/resourcegroups", kResourcesApi, false);

    std::set<std::string> ids;
    for (const ResourceKind& kind : kKinds) {
      std::vector<std::string> all;
      std::map<std::string, std::vector<std::string>> byGroup;
      const Json& resources = listMember(entry, kind.member, path);
      for (std::size_t r = 0; r < resources.size(); ++r) {
        const std::string resourcePath = at(at(path, kind.member), r);
        const Json& resource = resources[r];
        const std::string group = checkResource(index, kind, resource, resourcePath);
        if (!ids.insert(lower(resource["id"].get<std::string>())).second) {
          fail(at(resourcePath, "id"), "resource id is described twice");
        }
        std::string body = resource.dump();
        if (kind.listInGroup) byGroup[lower(group)].push_back(body);
        if (kind.listAll) all.push_back(std::move(body));
        index.graphRows.push_back(graphRow(resource, index, group));
        if (kind.member == std::string_view("virtualNetworkGateways")) {
          index.gateways[lower(resource["id"].get<std::string>())] = {
              resource["id"].get<std::string>(), resource.value("location", ""), R"({"value":[]})"};
        }
      }
      const std::string provider = "/providers/" + std::string(kind.type);
      if (kind.listAll) {
        index.lists[listKey(kind.listAll)] =
            pages(all, kind.listAll, subPath + provider, kNetworkApi, false);
      }
      if (kind.listInGroup) {
        for (const auto& [groupKey, groupName] : index.groups) {
          index.lists[listKey(kind.listInGroup, groupKey)] =
              pages(byGroup[groupKey], kind.listInGroup,
                    subPath + "/resourceGroups/" + percentEncode(groupName) + provider, kNetworkApi,
                    false);
        }
      }
    }
    addLearnedRoutes(index, entry, path);
    const Json& unregistered = listMember(entry, "unregisteredProviders", path);
    for (std::size_t u = 0; u < unregistered.size(); ++u) {
      if (!unregistered[u].is_string())
        fail(at(at(path, "unregisteredProviders"), u), "expected a provider namespace");
      index.unregisteredProviders.insert(lower(unregistered[u].get<std::string>()));
    }
    addComputeData(index, entry, path);
    served.subscriptions.emplace(key, std::move(index));
  }

  // Checks the ARM envelope of a resource; answers its resource group as written in the id.
  std::string checkResource(const SubscriptionIndex& index, const ResourceKind& kind,
                            const Json& resource, const std::string& path) {
    object(resource, path);
    const std::string& name = text(resource, "name", path);
    const std::string& id = text(resource, "id", path);
    const std::string& type = text(resource, "type", path);
    // Azure may leave a resource's location out (its API reference makes it optional), and
    // the discovery must cope; an estate may describe such a resource.
    if (optional(resource, "location")) text(resource, "location", path);
    if (!iequals(type, kind.type)) {
      fail(at(path, "type"), "expected '" + std::string(kind.type) + "', found '" + type + "'");
    }
    std::vector<std::string> parts = split(id, '/');
    if (parts.size() != 9 || !parts[0].empty() || !iequals(parts[1], "subscriptions") ||
        !iequals(parts[3], "resourceGroups") || !iequals(parts[5], "providers") ||
        !iequals(parts[6] + "/" + parts[7], kind.type)) {
      fail(at(path, "id"), "'" + id +
                               "' is not /subscriptions/{id}/resourceGroups/{group}/"
                               "providers/" +
                               std::string(kind.type) + "/{name}");
    }
    if (!iequals(parts[2], index.id)) {
      fail(at(path, "id"), "'" + id + "' names another subscription than '" + index.id + "'");
    }
    if (!index.groups.count(lower(parts[4]))) {
      fail(at(path, "id"), "resource group '" + parts[4] +
                               "' is not among the subscription's "
                               "resourceGroups");
    }
    if (!iequals(parts[8], name)) {
      fail(at(path, "id"), "'" + id + "' does not end with the resource's name '" + name + "'");
    }
    if (const Json* tags = optional(resource, "tags"); tags && !tags->is_object()) {
      fail(at(path, "tags"), "expected an object of tag names to values");
    }
    return parts[4];
  }

  // A row of Resource Graph's Resources table: type, location and resource group lower-cased.
  static Json graphRow(const Json& resource, const SubscriptionIndex& index,
                       const std::string& group) {
    const Json* properties = optional(resource, "properties");
    const Json* tags = optional(resource, "tags");
    const Json* sku = optional(resource, "sku");
    return {{"id", resource["id"]},
            {"name", resource["name"]},
            {"type", lower(resource["type"].get<std::string>())},
            {"tenantId", index.tenantId},
            {"kind", resource.value("kind", "")},
            {"location", lower(resource.value("location", ""))},
            {"resourceGroup", lower(group)},
            {"subscriptionId", index.id},
            {"managedBy", ""},
            {"sku", sku ? *sku : Json()},
            {"plan", nullptr},
            {"properties", properties ? *properties : Json::object()},
            {"tags", tags ? *tags : Json::object()},
            {"identity", nullptr},
            {"zones", nullptr},
            {"extendedLocation", nullptr}};
  }

  void addLearnedRoutes(SubscriptionIndex& index, const Json& entry, const std::string& path) {
    const Json* learned = optional(entry, "learnedRoutes");
    if (!learned) return;
    const std::string learnedPath = at(path, "learnedRoutes");
    object(*learned, learnedPath);
    for (const auto& [gatewayId, routes] : learned->items()) {
      const std::string routesPath = learnedPath + "[\"" + gatewayId + "\"]";
      auto gateway = index.gateways.find(lower(gatewayId));
      if (gateway == index.gateways.end()) {
        fail(routesPath, "names no gateway of the subscription");
      }
      array(routes, routesPath);
      gateway->second.learnedRoutes = Json{{"value", routes}}.dump();
    }
  }

  void addComputeData(SubscriptionIndex& index, const Json& entry, const std::string& path) {
    if (const Json* sizes = optional(entry, "vmSizes")) {
      const std::string sizesPath = at(path, "vmSizes");
      for (const auto& [location, list] : object(*sizes, sizesPath).items()) {
        const std::string listPath = sizesPath + "[\"" + location + "\"]";
        array(list, listPath);
        for (std::size_t i = 0; i < list.size(); ++i) {
          const std::string sizePath = at(listPath, i);
          text(object(list[i], sizePath), "name", sizePath);
          if (!required(list[i], "numberOfCores", sizePath).is_number_integer()) {
            fail(at(sizePath, "numberOfCores"), "expected an integer");
          }
        }
        // Azure answers the sizes of a location in one page.
        index.vmSizes[lower(location)] = std::make_shared<Page>(Json{{"value", list}}.dump());
      }
    }
    const Json* limits = optional(entry, "serviceLimits");
    if (!limits) return;
    const std::string limitsPath = at(path, "serviceLimits");
    for (const auto& [location, list] : object(*limits, limitsPath).items()) {
      const std::string listPath = limitsPath + "[\"" + location + "\"]";
      std::vector<std::string> bodies;
      for (std::size_t i = 0; i < array(list, listPath).size(); ++i) {
        const std::string limitPath = at(listPath, i);
        const Json& limit = object(list[i], limitPath);
        std::string name = text(limit, "name", limitPath);
        const Json& properties =
            object(required(limit, "properties", limitPath), at(limitPath, "properties"));
        if (!required(properties, "limit", at(limitPath, "properties")).is_number_integer()) {
          fail(at(at(limitPath, "properties"), "limit"), "expected an integer");
        }
        // Azure keys a quota by its quota name, which may differ from the entry's name.
        if (const Json* quotaName = optional(properties, "name");
            quotaName && quotaName->is_object() && quotaName->contains("value")) {
          name = quotaName->at("value").get<std::string>();
        }
        bodies.push_back(limit.dump());
        index.serviceLimits[lower(location) + "/" + lower(name)] =
            std::make_shared<Page>(bodies.back());
      }
      index.lists[listKey("serviceLimits.list", lower(location))] =
          pages(bodies, "serviceLimits.list",
                "/subscriptions/" + percentEncode(index.id) +
                    "/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/locations/" +
                    percentEncode(location) + "/serviceLimits",
                kCapacityApi, true);
    }
  }

  // The pages of one list.  `emptyLastLink`: the last page says `"nextLink": ""`, as
  // Microsoft.Capacity does, rather than leaving the member out.
  PageList pages(const std::vector<std::string>& items, const std::string& operation,
                 const std::string& path, const char* apiVersion, bool emptyLastLink) {
    auto size = paging_.pageSizes.find(operation);
    const std::size_t perPage = static_cast<std::size_t>(
        std::max(1, size == paging_.pageSizes.end() ? paging_.pageSize : size->second));
    PageList list;
    std::size_t first = 0;
    do {
      const std::size_t end = std::min(items.size(), first + perPage);
      std::string body = "{\"value\":[";
      for (std::size_t i = first; i < end; ++i) {
        if (i > first) body += ',';
        body += items[i];
      }
      body += ']';
      if (end < items.size()) {
        body +=
            ",\"nextLink\":" + Json(paging_.baseUrl + path + "?api-version=" + apiVersion +
                                    "&$skiptoken=" + skipToken(paging_.generation, list.size() + 1))
                                   .dump();
      } else if (emptyLastLink) {
        body += ",\"nextLink\":\"\"";
      }
      body += '}';
      list.push_back(std::make_shared<Page>(std::move(body)));
      first = end;
    } while (first < items.size());
    return list;
  }

  void addPrincipal(ServedEstate& served, const std::string& tenant, const Json& entry,
                    const std::string& path) {
    object(entry, path);
    Principal principal{tenant, text(entry, "appId", path), {}, {}, {}, {}, {}, {}};
    if (served.findPrincipal(tenant, principal.appId)) {
      fail(at(path, "appId"), "application '" + principal.appId + "' is described twice");
    }
    addSignIn(principal, entry, path);
    if (const Json* listed = optional(entry, "subscriptions")) {
      const std::string listPath = at(path, "subscriptions");
      for (std::size_t i = 0; i < array(*listed, listPath).size(); ++i) {
        const Json& id = (*listed)[i];
        if (!id.is_string()) fail(at(listPath, i), "expected a subscription id");
        if (!served.subscriptions.count(lower(id.get<std::string>()))) {
          fail(at(listPath, i), "names subscription '" + id.get<std::string>() +
                                    "', which the estate does not hold");
        }
        principal.subscriptions.insert(lower(id.get<std::string>()));
      }
    } else {
      // Without a list, the principal sees every subscription of its tenant.
      for (const auto& [key, index] : served.subscriptions) {
        if (iequals(index.tenantId, tenant)) principal.subscriptions.insert(key);
      }
    }
    served.principals.push_back(std::move(principal));
  }

  // What a principal proves itself with: a secret, certificates, federated credentials, or
  // being a managed identity (which needs none); and its roles' permissions, if restricted.
  static void addSignIn(Principal& principal, const Json& entry, const std::string& path) {
    const Json& certificates = listMember(entry, "certificates", path);
    for (std::size_t c = 0; c < certificates.size(); ++c) {
      const std::string certPath = at(at(path, "certificates"), c);
      if (!certificates[c].is_string() || certificates[c].get_ref<const std::string&>().find(
                                              "BEGIN CERTIFICATE") == std::string::npos)
        fail(certPath, "expected a PEM certificate");
      principal.certificates.push_back(certificates[c].get<std::string>());
    }
    const Json& federated = listMember(entry, "federatedCredentials", path);
    for (std::size_t f = 0; f < federated.size(); ++f) {
      const std::string fedPath = at(at(path, "federatedCredentials"), f);
      object(federated[f], fedPath);
      FederatedCredential credential{text(federated[f], "issuer", fedPath),
                                     text(federated[f], "subject", fedPath),
                                     {"api://AzureADTokenExchange"}};
      if (const Json* audiences = optional(federated[f], "audiences")) {
        credential.audiences.clear();
        for (std::size_t a = 0; a < array(*audiences, at(fedPath, "audiences")).size(); ++a) {
          if (!(*audiences)[a].is_string()) fail(at(at(fedPath, "audiences"), a), "expected text");
          credential.audiences.push_back((*audiences)[a].get<std::string>());
        }
      }
      principal.federated.push_back(std::move(credential));
    }
    if (const Json* kind = optional(entry, "managedIdentity")) {
      if (!kind->is_string() || (*kind != "system" && *kind != "user"))
        fail(at(path, "managedIdentity"), "expected \"system\" or \"user\"");
      principal.managedIdentity = kind->get<std::string>();
    }
    if (optional(entry, "secret") ||
        (principal.certificates.empty() && principal.federated.empty() &&
         principal.managedIdentity.empty())) {
      principal.secret = text(entry, "secret", path);
    }
    if (const Json* readOnly = optional(entry, "readOnly")) {
      if (!readOnly->is_boolean()) fail(at(path, "readOnly"), "expected true or false");
      if (readOnly->get<bool>() && optional(entry, "permissions"))
        fail(at(path, "readOnly"), "a principal holds Reader or the permissions listed, not both");
      // Reader: every read, no action.
      if (readOnly->get<bool>())
        principal.permissions.emplace(1, PermissionGrant{{"*/read"}, {}, {}});
    }
    if (const Json* roles = optional(entry, "permissions")) {
      const std::string rolesPath = at(path, "permissions");
      principal.permissions.emplace();
      for (std::size_t r = 0; r < array(*roles, rolesPath).size(); ++r) {
        const std::string rolePath = at(rolesPath, r);
        object((*roles)[r], rolePath);
        PermissionGrant grant;
        for (auto [key, target] :
             {std::pair{"actions", &grant.actions}, std::pair{"notActions", &grant.notActions}}) {
          const Json& list = listMember((*roles)[r], key, rolePath);
          for (std::size_t i = 0; i < list.size(); ++i) {
            if (!list[i].is_string()) fail(at(at(rolePath, key), i), "expected an action text");
            target->push_back(list[i].get<std::string>());
          }
        }
        if (optional((*roles)[r], "resourceGroup"))
          grant.resourceGroup = text((*roles)[r], "resourceGroup", rolePath);
        principal.permissions->push_back(std::move(grant));
      }
    }
  }

  const PagingOptions& paging_;
  std::map<std::string, std::string> subscriptionEntries_;
  std::vector<std::string> subscriptionOrder_;
};

}  // namespace

namespace {

// "*" stands for any text, "/" included; letter case is ignored.
bool covers(std::string_view pattern, std::string_view action) {
  if (pattern.empty()) return action.empty();
  if (pattern.front() == '*') {
    for (std::size_t skip = 0; skip <= action.size(); ++skip)
      if (covers(pattern.substr(1), action.substr(skip))) return true;
    return false;
  }
  return !action.empty() &&
         std::tolower(static_cast<unsigned char>(pattern.front())) ==
             std::tolower(static_cast<unsigned char>(action.front())) &&
         covers(pattern.substr(1), action.substr(1));
}

}  // namespace

bool PermissionGrant::holdsAt(const std::string& group) const {
  return resourceGroup.empty() || (!group.empty() && iequals(resourceGroup, group));
}

bool Principal::allows(const std::string& action, const std::string& group) const {
  if (!permissions) return true;
  for (const PermissionGrant& grant : *permissions) {
    if (!grant.holdsAt(group)) continue;
    const auto hit = [&](const std::string& pattern) { return covers(pattern, action); };
    if (std::any_of(grant.actions.begin(), grant.actions.end(), hit) &&
        std::none_of(grant.notActions.begin(), grant.notActions.end(), hit))
      return true;
  }
  return false;
}

std::optional<std::size_t> ServedEstate::findPrincipal(std::string_view tenant,
                                                       std::string_view appId) const {
  for (std::size_t i = 0; i < principals.size(); ++i) {
    if (iequals(principals[i].tenantId, tenant) && iequals(principals[i].appId, appId)) return i;
  }
  return std::nullopt;
}

std::string listKey(std::string_view operation, std::string_view scope) {
  std::string key(operation);
  if (!scope.empty()) key += "|" + std::string(scope);
  return key;
}

std::string skipToken(std::uint64_t generation, std::size_t page) {
  return "g" + std::to_string(generation) + "p" + std::to_string(page);
}

std::optional<std::size_t> pageOfSkipToken(std::string_view token, std::uint64_t generation) {
  const std::string prefix = "g" + std::to_string(generation) + "p";
  if (token.substr(0, prefix.size()) != prefix || token.size() == prefix.size()) {
    return std::nullopt;
  }
  std::size_t page = 0;
  for (char c : token.substr(prefix.size())) {
    if (c < '0' || c > '9' || page > 100000000) return std::nullopt;
    page = page * 10 + static_cast<std::size_t>(c - '0');
  }
  return page;
}

std::shared_ptr<const ServedEstate> buildServedEstate(const Json& estate,
                                                      const PagingOptions& paging) {
  return Builder(paging).build(estate);
}

}  // namespace detail

Json loadEstateFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EstateError("cannot read estate file '" + path.string() + "'");
  std::stringstream text;
  text << in.rdbuf();
  Json estate = Json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (estate.is_discarded()) {
    throw EstateError("estate file '" + path.string() + "' is not JSON");
  }
  try {
    validateEstate(estate);
  } catch (const EstateError& error) {
    throw EstateError(path.string() + ": " + error.what());
  }
  return estate;
}

void validateEstate(const Json& estate) {
  detail::buildServedEstate(estate, detail::PagingOptions{});
}

}  // namespace fakearm
