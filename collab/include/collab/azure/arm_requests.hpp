#pragma once
// The two plain requests on the Resource Manager endpoint that take a bearer token as text
// rather than a credential: the subscriptions the token can see, and a virtual network
// gateway's learned routes.
//
// Both go through `ArmPipeline` (token header, request id, throttling retries).  A non-2xx
// answer is an `ArmError` carrying Azure's error code and message; a 2xx answer whose body is
// needed but is not JSON is an `ArmError` with code "InvalidResponseBody".
#include <memory>
#include <optional>
#include <string>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/transport.hpp"
#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab::azure {

inline constexpr const char* kSubscriptionsApiVersion = "2015-01-01";
inline constexpr const char* kLearnedRoutesApiVersion = "2020-11-01";

/// GET "/subscriptions/?api-version=2015-01-01" with `accessToken`, following next links.
/// @returns the entries of the pages' "value" lists, in Azure's order, as Azure sent them.
/// @throws ArmError for a non-2xx or non-JSON answer; MissingKeyError for an answer without
///         "value"; WrongTypeError when "value" is not a list.
COLLAB_EXPORT Json requestSubscriptions(const std::string& accessToken,
                                        ArmPipelineOptions options = {},
                                        std::shared_ptr<Transport> transport = nullptr);

/// POST ".../virtualNetworkGateways/{gatewayName}/getLearnedRoutes?api-version=2020-11-01"
/// without a body.  Azure runs the request as a long-running operation; it is not polled.
/// @returns the decoded body of a 200 answer, or absent when Azure accepted the request
///          (202, or 204) and no result was waited for.
/// @throws ArmError for a non-2xx answer (e.g. 401 InvalidAuthenticationToken, 404
///         ResourceNotFound) or a 200 answer that is not JSON.
COLLAB_EXPORT std::optional<Json> requestLearnedRoutes(
    const std::string& accessToken, const std::string& subscriptionId,
    const std::string& resourceGroup, const std::string& gatewayName,
    ArmPipelineOptions options = {}, std::shared_ptr<Transport> transport = nullptr);

/// The same with the credential map of the driver: "subscription_id" and "accessToken".
/// @throws MissingKeyError when either key is missing; WrongTypeError when one is not text.
COLLAB_EXPORT std::optional<Json> requestLearnedRoutes(const Json& credential,
                                                       const std::string& resourceGroup,
                                                       const std::string& gatewayName);

}  // namespace collab::azure
