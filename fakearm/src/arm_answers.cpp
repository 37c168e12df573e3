// The answers of the Resource Manager operations: list pages, learned routes and their
// long-running operation, VM sizes, service limits and Resource Graph queries.
#include "resource_graph.hpp"
#include "server_impl.hpp"
#include "text.hpp"

namespace fakearm {

namespace {

using detail::iequals;
using detail::lower;
using detail::percentEncode;

constexpr const char* kContentType = "application/json; charset=utf-8";

std::string availableLocations(const std::map<std::string, detail::PagePtr>& byLocation) {
  std::string names;
  for (const auto& [location, page] : byLocation) names += (names.empty() ? "" : ",") + location;
  return names;
}

bool acceptsGzip(const httplib::Request& req) {
  return req.get_header_value("Accept-Encoding").find("gzip") != std::string::npos;
}

// The action a role must allow for an operation; null for those anyone signed in may ask.
const char* actionOf(const std::string& operation) {
  static const std::map<std::string, const char*> actions{
      {"resourceGroups.list", "Microsoft.Resources/subscriptions/resourceGroups/read"},
      {"routeTables.listAll", "Microsoft.Network/routeTables/read"},
      {"routeTables.list", "Microsoft.Network/routeTables/read"},
      {"virtualNetworks.listAll", "Microsoft.Network/virtualNetworks/read"},
      {"virtualNetworks.list", "Microsoft.Network/virtualNetworks/read"},
      {"virtualNetworkGateways.list", "Microsoft.Network/virtualNetworkGateways/read"},
      {"virtualNetworkGateways.getLearnedRoutes",
       "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action"},
      {"operationResults.get", "Microsoft.Network/locations/operationResults/read"},
      {"operations.get", "Microsoft.Network/locations/operations/read"},
      {"virtualMachineSizes.list", "Microsoft.Compute/locations/vmSizes/read"},
      {"serviceLimits.list", "Microsoft.Capacity/resourceProviders/locations/serviceLimits/read"},
      {"serviceLimits.get", "Microsoft.Capacity/resourceProviders/locations/serviceLimits/read"},
  };
  auto it = actions.find(operation);
  return it == actions.end() ? nullptr : it->second;
}

// The resource provider an operation belongs to, for the registration check.
std::string providerOf(const std::string& operation) {
  if (operation.starts_with("serviceLimits.")) return "microsoft.capacity";
  if (operation == "virtualMachineSizes.list") return "microsoft.compute";
  return {};
}

}  // namespace

void EstateServer::Impl::sendPage(const httplib::Request& req, httplib::Response& res,
                                  const detail::PagePtr& page) const {
  // A length-based content provider: httplib writes it as it is, neither copying nor
  // re-compressing the page for every request.
  const std::string* bytes = &page->body();
  if (options.gzip && acceptsGzip(req)) {
    bytes = &page->gzipped();
    res.set_header("Content-Encoding", "gzip");
  }
  res.status = 200;
  res.set_content_provider(
      bytes->size(), kContentType,
      [page, bytes](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        return sink.write(bytes->data() + offset, length);
      });
}

void EstateServer::Impl::servePaged(const httplib::Request& req, httplib::Response& res,
                                    const detail::PageList& pages,
                                    const detail::ServedEstate& served) const {
  std::size_t page = 0;
  if (req.has_param("$skiptoken")) {
    std::optional<std::size_t> named =
        detail::pageOfSkipToken(req.get_param_value("$skiptoken"), served.generation);
    if (!named || *named >= pages.size()) {
      armError(res, 400, "InvalidSkipToken",
               "The $skiptoken does not name a page of this listing; it may come from an "
               "earlier state of the estate. Start the listing again.");
      return;
    }
    page = *named;
  }
  sendPage(req, res, pages[page]);
}

void EstateServer::Impl::answerArm(const detail::Route& route, const detail::ServedEstate& served,
                                   std::size_t principalIndex, const httplib::Request& req,
                                   httplib::Response& res) {
  const detail::Principal& principal = served.principals[principalIndex];
  if (route.operation == "subscriptions.list") {
    if (admit(route, principal, res)) {
      servePaged(req, res, served.subscriptionPages[principalIndex], served);
    }
    return;
  }
  const std::string subscriptionKey = lower(route.subscription);
  auto found = served.subscriptions.find(subscriptionKey);
  if (found == served.subscriptions.end()) {
    armError(res, 404, "SubscriptionNotFound",
             "The subscription '" + route.subscription + "' could not be found.");
    return;
  }
  if (!principal.subscriptions.count(subscriptionKey)) {
    armError(res, 403, "AuthorizationFailed",
             "The client '" + principal.appId + "' with object id '" + principal.appId +
                 "' does not have authorization to perform " + route.operation +
                 " over scope '/subscriptions/" + route.subscription +
                 "' or the scope is invalid. If access was recently granted, please refresh "
                 "your credentials.");
    return;
  }
  if (!admit(route, principal, res)) return;
  const detail::SubscriptionIndex& sub = found->second;
  const std::string scope =
      "/subscriptions/" + route.subscription +
      (route.group.empty() ? "" : "/resourceGroups/" + route.group) +
      (route.gateway.empty()
           ? ""
           : "/providers/Microsoft.Network/virtualNetworkGateways/" + route.gateway);
  if (const char* action = actionOf(route.operation);
      action && !principal.allows(action, route.group)) {
    armError(res, 403, "AuthorizationFailed",
             "The client '" + principal.appId + "' with object id '" + principal.appId +
                 "' does not have authorization to perform action '" + action + "' over scope '" +
                 scope +
                 "' or the scope is invalid. If access was recently granted, please refresh "
                 "your credentials.");
    return;
  }
  if (const std::string provider = providerOf(route.operation);
      !provider.empty() && sub.unregisteredProviders.count(provider)) {
    armError(res, 409, "MissingSubscriptionRegistration",
             "The subscription is not registered to use namespace '" +
                 std::string(provider == "microsoft.capacity" ? "Microsoft.Capacity"
                                                              : "Microsoft.Compute") +
                 "'. See https://aka.ms/rps-not-found for how to register subscriptions.");
    return;
  }

  if (!route.group.empty() && !sub.groups.count(lower(route.group))) {
    armError(res, 404, "ResourceGroupNotFound",
             "Resource group '" + route.group + "' could not be found.");
    return;
  }
  const std::string& op = route.operation;
  if (op == "permissions.list") {
    // Every role's permissions at the scope asked (the subscription, or a resource group with
    // the subscription's roles inherited); an unrestricted principal holds one role
    // that allows everything.
    Json roles = Json::array();
    const std::vector<detail::PermissionGrant> all{{{"*"}, {}, {}}};
    for (const auto& grant : principal.permissions ? *principal.permissions : all) {
      if (!grant.holdsAt(route.group)) continue;
      roles.push_back({{"actions", grant.actions},
                       {"notActions", grant.notActions},
                       {"dataActions", Json::array()},
                       {"notDataActions", Json::array()}});
    }
    res.set_content(Json{{"value", std::move(roles)}}.dump(), kContentType);
  } else if (op == "providers.get") {
    const bool registered = !sub.unregisteredProviders.count(lower(route.provider));
    res.set_content(
        Json{{"id", "/subscriptions/" + route.subscription + "/providers/" + route.provider},
             {"namespace", route.provider},
             {"registrationState", registered ? "Registered" : "NotRegistered"},
             {"registrationPolicy", "RegistrationRequired"},
             {"resourceTypes", Json::array()}}
            .dump(),
        kContentType);
  } else if (op == "resourceGroups.list" || op == "routeTables.listAll" ||
             op == "virtualNetworks.listAll") {
    servePaged(req, res, sub.lists.at(detail::listKey(op)), served);
  } else if (op == "routeTables.list" || op == "virtualNetworks.list" ||
             op == "virtualNetworkGateways.list") {
    servePaged(req, res, sub.lists.at(detail::listKey(op, lower(route.group))), served);
  } else if (op == "virtualNetworkGateways.getLearnedRoutes") {
    const std::string id = "/subscriptions/" + route.subscription + "/resourceGroups/" +
                           route.group + "/providers/Microsoft.Network/virtualNetworkGateways/" +
                           route.gateway;
    auto gateway = sub.gateways.find(lower(id));
    if (gateway == sub.gateways.end()) {
      armError(res, 404, "ResourceNotFound",
               "The Resource 'Microsoft.Network/virtualNetworkGateways/" + route.gateway +
                   "' under resource group '" + route.group + "' was not found.");
      return;
    }
    if (options.learnedRoutesAtOnce) {
      res.set_content(gateway->second.learnedRoutes, kContentType);
      return;
    }
    std::string operationId;
    {
      std::lock_guard lock(mutex);
      operationId = nextId();
      operations[operationId] = {subscriptionKey, gateway->second.learnedRoutes,
                                 options.learnedRoutesPendingPolls};
    }
    const std::string poll = base + "/subscriptions/" + percentEncode(route.subscription) +
                             "/providers/Microsoft.Network/locations/" +
                             percentEncode(gateway->second.location) + "/";
    const std::string query = "?api-version=" + req.get_param_value("api-version");
    res.status = 202;
    res.set_header("Location", poll + "operationResults/" + operationId + query);
    res.set_header("Azure-AsyncOperation", poll + "operations/" + operationId + query);
    res.set_header("Retry-After", std::to_string(options.learnedRoutesRetryAfterSeconds));
  } else if (op == "operationResults.get" || op == "operations.get") {
    // A result poll answers 202 while polls are pending (and uses one up); the status poll
    // only reports.
    bool found = false;
    bool pending = false;
    std::string body;
    {
      std::lock_guard lock(mutex);
      auto it = operations.find(route.operationId);
      if (it != operations.end() && it->second.subscription == subscriptionKey) {
        found = true;
        pending = it->second.pendingPolls != 0;
        if (it->second.pendingPolls > 0 && op == "operationResults.get") --it->second.pendingPolls;
        body = it->second.body;
      }
    }
    if (!found) {
      armError(res, 404, "NotFound",
               "The operation '" + route.operationId + "' could not be found.");
    } else if (op == "operations.get") {
      res.set_content(Json{{"status", pending ? "InProgress" : "Succeeded"}}.dump(), kContentType);
    } else if (pending) {
      res.status = 202;
      res.set_header("Location", base + req.target);
      res.set_header("Retry-After", std::to_string(options.learnedRoutesRetryAfterSeconds));
    } else {
      res.set_content(body, kContentType);
    }
  } else if (op == "virtualMachineSizes.list") {
    auto sizes = sub.vmSizes.find(lower(route.location));
    if (sizes == sub.vmSizes.end()) {
      armError(res, 400, "LocationNotAvailableForResourceType",
               "The provided location '" + route.location +
                   "' is not available for resource "
                   "type 'Microsoft.Compute/locations/vmSizes'. List of available regions for the "
                   "resource type is '" +
                   availableLocations(sub.vmSizes) + "'.");
      return;
    }
    sendPage(req, res, sizes->second);
  } else if (op == "serviceLimits.list" || op == "serviceLimits.get") {
    if (!iequals(route.provider, "Microsoft.Compute")) {
      armError(res, 404, "NotFound",
               "No service limits of provider '" + route.provider + "' are described.");
      return;
    }
    if (op == "serviceLimits.get") {
      auto limit = sub.serviceLimits.find(lower(route.location) + "/" + lower(route.name));
      if (limit == sub.serviceLimits.end()) {
        armError(res, 404, "ResourceNotFound",
                 "The service limit '" + route.name + "' of location '" + route.location +
                     "' could not be found.");
        return;
      }
      sendPage(req, res, limit->second);
      return;
    }
    auto limits = sub.lists.find(detail::listKey(op, lower(route.location)));
    if (limits == sub.lists.end()) {
      armError(res, 400, "LocationNotAvailableForResourceType",
               "The provided location '" + route.location +
                   "' is not available for resource "
                   "type 'Microsoft.Capacity/resourceProviders/locations/serviceLimits'.");
      return;
    }
    servePaged(req, res, limits->second, served);
  }
}

void EstateServer::Impl::answerResourceGraph(const detail::ServedEstate& served,
                                             std::size_t principalIndex,
                                             const httplib::Request& req, httplib::Response& res) {
  const detail::Principal& principal = served.principals[principalIndex];
  auto badRequest = [&](const std::string& code, const std::string& message) {
    res.status = 400;
    const Json body = {{"error",
                        {{"code", "BadRequest"},
                         {"message",
                          "Please provide below info when asking for support: "
                          "timestamp, correlationId."},
                         {"details", {{{"code", code}, {"message", message}}}}}}};
    res.set_content(body.dump(), kContentType);
  };
  const Json request = Json::parse(req.body, nullptr, /*allow_exceptions=*/false);
  if (!request.is_object() || !request.contains("query") || !request["query"].is_string()) {
    badRequest("InvalidRequestContent",
               "The request content is not a JSON object with a text member 'query'.");
    return;
  }
  const Json options = request.value("options", Json::object());
  if (!options.is_object() || options.value("resultFormat", "objectArray") != "objectArray") {
    badRequest("UnsupportedResultFormat",
               "Only the result format 'objectArray' is served by this loopback Resource Graph.");
    return;
  }
  detail::Route route;
  route.operation = "resourceGraph";
  route.method = "POST";
  if (!admit(route, principal, res)) return;

  std::vector<const std::vector<Json>*> tables;
  auto addTable = [&](const std::string& key) {
    auto it = served.subscriptions.find(key);
    if (it != served.subscriptions.end() && principal.subscriptions.count(key)) {
      tables.push_back(&it->second.graphRows);
    }
  };
  if (const auto subs = request.find("subscriptions"); subs != request.end() && subs->is_array()) {
    for (const Json& id : *subs) {
      if (id.is_string()) addTable(lower(id.get<std::string>()));
    }
  } else {
    for (const auto& key : principal.subscriptions) addTable(key);
  }

  std::vector<Json> rows;
  bool pageable = true;
  try {
    detail::GraphQuery query = detail::GraphQuery::parse(request["query"].get<std::string>());
    rows = query.run(tables);
    pageable = query.keepsId();
  } catch (const detail::GraphQueryError& error) {
    badRequest("InvalidQuery", std::string("Query is invalid: ") + error.what());
    return;
  }

  std::size_t skip = 0;
  if (auto token = options.find("$skipToken"); token != options.end() && token->is_string()) {
    const std::string text = token->get<std::string>();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
      badRequest("InvalidSkipToken", "The $skipToken is not one this service issued.");
      return;
    }
    skip = std::stoul(text);
  } else if (auto from = options.find("$skip"); from != options.end() && from->is_number()) {
    skip = from->get<std::size_t>();
  }
  std::size_t top = 1000;
  if (auto limit = options.find("$top"); limit != options.end() && limit->is_number_integer()) {
    top = std::clamp<std::size_t>(limit->get<std::size_t>(), 1, 1000);
  }
  const std::size_t first = std::min(skip, rows.size());
  const std::size_t end = std::min(rows.size(), first + top);
  Json data = Json::array();
  for (std::size_t i = first; i < end; ++i) data.push_back(std::move(rows[i]));
  Json body = {{"totalRecords", rows.size()},
               {"count", end - first},
               {"data", std::move(data)},
               {"facets", Json::array()},
               {"resultTruncated", end < rows.size() && !pageable ? "true" : "false"}};
  if (end < rows.size() && pageable) body["$skipToken"] = std::to_string(end);
  res.set_content(body.dump(), kContentType);
}

}  // namespace fakearm
