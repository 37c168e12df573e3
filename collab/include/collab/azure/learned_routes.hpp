#pragma once
// A virtual network gateway's learned routes, asked for and waited for: the routes the gateway
// knows, those it learned over BGP from the on-premises side included.
//
// Azure runs getLearnedRoutes as a long-running operation: the POST is usually answered 202
// with a `Location` to poll, and the routes come with the poll that answers 200.  The action
// needs more than Reader: Network Contributor on the gateway's resource group, or a role with
// `Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action`.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/token_credential.hpp"
#include "collab/azure/transport.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// One entry of a `GatewayRouteListResult`.  Azure marks every member optional, so each is
/// absent when the answer leaves it out (or sends null); an empty text stays empty.
struct GatewayRoute {
  std::optional<std::string> local_address{};
  /// The route's prefix.
  std::optional<std::string> network{};
  std::optional<std::string> next_hop{};
  std::optional<std::string> source_peer{};
  /// "Network" (the gateway's own), "EBgp" or "IBgp" (learned), or another text.
  std::optional<std::string> origin{};
  std::optional<std::string> as_path{};
  std::optional<std::int64_t> weight{};
  friend bool operator==(const GatewayRoute&, const GatewayRoute&) = default;
};

/// The routes of a `GatewayRouteListResult` body, in Azure's order; none when it has no
/// `value`.
/// @throws MalformedResponseError (arm_parse.hpp) naming the member for a body that is not a
///         JSON object, a `value` that is not a list of objects, or a member of another type
///         (a text that is not text, a `weight` that is not a whole number).
COLLAB_EXPORT std::vector<GatewayRoute> parseGatewayRouteList(std::string_view body);

/// "/subscriptions/{s}/resourceGroups/{g}/providers/Microsoft.Network/virtualNetworkGateways/
/// {name}/getLearnedRoutes?api-version=2020-11-01", each name percent-encoded.
COLLAB_EXPORT std::string learnedRoutesPath(std::string_view subscriptionId,
                                            std::string_view resourceGroup,
                                            std::string_view gatewayName);

struct LearnedRoutes {
  /// False when the time limit ran out before Azure had the routes.
  bool completed = false;
  std::vector<GatewayRoute> routes;
  /// Polls of the operation, and the pauses between them.
  int polls = 0;
  std::chrono::milliseconds waited{0};
};

/// POSTs the learned-routes action of gateway `gatewayName` in `resourceGroup` (only a
/// throttled attempt is repeated) and follows the operation to its result within
/// `polling.timeLimit` (`ArmPipeline::awaitOperation`).
/// @throws ArmError when Azure refuses the action or a poll (403 AuthorizationFailed for a
///         principal without the right, 404 ResourceNotFound, ...), names no or a foreign
///         Location, or answers a body that is not a route list ("InvalidResponseBody");
///         TransportError when no answer is obtained.
COLLAB_EXPORT LearnedRoutes awaitLearnedRoutes(std::shared_ptr<TokenCredential> credential,
                                               const std::string& subscriptionId,
                                               const std::string& resourceGroup,
                                               const std::string& gatewayName,
                                               const OperationPolling& polling = {},
                                               ArmPipelineOptions options = {},
                                               std::shared_ptr<Transport> transport = nullptr);

}  // namespace collab::azure
