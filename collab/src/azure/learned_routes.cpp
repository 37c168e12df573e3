#include "collab/azure/learned_routes.hpp"

#include <utility>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_parse.hpp"
#include "collab/azure/arm_requests.hpp"
#include "collab/json.hpp"
#include "text_util.hpp"
#include "url_text.hpp"

namespace collab::azure {

namespace {

constexpr const char* kKind = "learned-routes answer";

std::optional<std::string> textMember(const Json& entry, const char* key, const std::string& path) {
  const auto it = entry.find(key);
  if (it == entry.end() || it->is_null()) return std::nullopt;
  if (!it->is_string())
    throw MalformedResponseError(kKind, path + "." + key,
                                 std::string("expected text, got a JSON ") + it->type_name());
  return it->get<std::string>();
}

std::optional<std::int64_t> wholeMember(const Json& entry, const char* key,
                                        const std::string& path) {
  const auto it = entry.find(key);
  if (it == entry.end() || it->is_null()) return std::nullopt;
  if (it->is_number_integer()) return it->get<std::int64_t>();
  throw MalformedResponseError(
      kKind, path + "." + key,
      std::string("expected a whole number, got a JSON ") + it->type_name());
}

}  // namespace

std::vector<GatewayRoute> parseGatewayRouteList(std::string_view body) {
  const Json doc = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) throw MalformedResponseError(kKind, "", "the body is not JSON");
  if (!doc.is_object())
    throw MalformedResponseError(kKind, "",
                                 std::string("expected an object, got a JSON ") + doc.type_name());
  std::vector<GatewayRoute> routes;
  const auto value = doc.find("value");
  if (value == doc.end() || value->is_null()) return routes;
  if (!value->is_array())
    throw MalformedResponseError(kKind, "value",
                                 std::string("expected a list, got a JSON ") + value->type_name());
  routes.reserve(value->size());
  for (std::size_t i = 0; i < value->size(); ++i) {
    const Json& entry = (*value)[i];
    const std::string path = "value[" + std::to_string(i) + "]";
    if (!entry.is_object())
      throw MalformedResponseError(
          kKind, path, std::string("expected an object, got a JSON ") + entry.type_name());
    routes.push_back(
        GatewayRoute{textMember(entry, "localAddress", path), textMember(entry, "network", path),
                     textMember(entry, "nextHop", path), textMember(entry, "sourcePeer", path),
                     textMember(entry, "origin", path), textMember(entry, "asPath", path),
                     wholeMember(entry, "weight", path)});
  }
  return routes;
}

std::string learnedRoutesPath(std::string_view subscriptionId, std::string_view resourceGroup,
                              std::string_view gatewayName) {
  return "/subscriptions/" + detail::percentEncode(subscriptionId) + "/resourceGroups/" +
         detail::percentEncode(resourceGroup) +
         "/providers/Microsoft.Network/virtualNetworkGateways/" +
         detail::percentEncode(gatewayName) +
         "/getLearnedRoutes?api-version=" + kLearnedRoutesApiVersion;
}

LearnedRoutes awaitLearnedRoutes(std::shared_ptr<TokenCredential> credential,
                                 const std::string& subscriptionId,
                                 const std::string& resourceGroup, const std::string& gatewayName,
                                 const OperationPolling& polling, ArmPipelineOptions options,
                                 std::shared_ptr<Transport> transport) {
  ArmPipeline arm(std::move(credential), std::move(options), std::move(transport));
  const std::string target = learnedRoutesPath(subscriptionId, resourceGroup, gatewayName);
  // An action rather than a read: only a throttled attempt, which Azure refused before doing
  // anything, is repeated.
  HttpResponse accepted = arm.send("POST", target, std::nullopt, /*repeatable=*/false);
  OperationOutcome outcome = arm.awaitOperation("POST", target, std::move(accepted), polling);

  LearnedRoutes result;
  result.polls = outcome.polls;
  result.waited = outcome.waited;
  if (!outcome.result) return result;
  try {
    result.routes = parseGatewayRouteList(outcome.result->body);
  } catch (const MalformedResponseError& error) {
    // A body that is no JSON at all (a proxy's page) is best recognised by its start.
    const std::string content(detail::trimBlank(outcome.result->body));
    std::string message = error.what();
    if (error.path().empty())
      message += content.empty() ? " (empty body)" : ": " + detail::oneLine(content, 200);
    throw ArmError(outcome.polls ? "GET" : "POST", outcome.url, *outcome.result,
                   "InvalidResponseBody", message);
  }
  result.completed = true;
  return result;
}

}  // namespace collab::azure
