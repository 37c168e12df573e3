#pragma once
// What the signed-in principal may do at a subscription, as Resource Manager reports it:
// `GET /subscriptions/{id}/providers/Microsoft.Authorization/permissions`, the actions and
// not-actions of every role it holds there (or above).  Reading it changes nothing, so a
// missing permission can be told before the call that needs it is made.
#include <string>
#include <string_view>
#include <vector>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab::azure {

inline constexpr const char* kPermissionsApiVersion = "2022-04-01";

/// True when the action pattern `pattern` covers `action`: letter case is ignored and `*`
/// stands for any text, "/" included ("*/read", "Microsoft.Network/*",
/// "Microsoft.Network/virtualNetworkGateways/*/action").
COLLAB_EXPORT bool actionMatches(std::string_view pattern, std::string_view action) noexcept;

class COLLAB_EXPORT EffectivePermissions {
 public:
  /// From the entries of the answer's "value" list, each with "actions" and "notActions"
  /// (missing lists count as empty; data actions are not looked at).
  /// @throws WrongTypeError when `entries` is not a list of objects of lists of texts.
  explicit EffectivePermissions(const Json& entries);

  /// Reads every page of the subscription's permissions list through `arm`.
  /// @throws ArmError, TransportError as the pipeline does.
  static EffectivePermissions ofSubscription(ArmPipeline& arm, const std::string& subscriptionId);

  /// The same at a resource group: the roles held there and those inherited from above (a
  /// role given on one group only shows here, not at the subscription).
  static EffectivePermissions ofResourceGroup(ArmPipeline& arm, const std::string& subscriptionId,
                                              const std::string& resourceGroup);

  /// True when one entry's actions cover `action` and none of that entry's not-actions do:
  /// a role's not-actions only take from that role, another role may still grant the action.
  bool allows(std::string_view action) const;

 private:
  struct Grant {
    std::vector<std::string> actions;
    std::vector<std::string> notActions;
  };
  std::vector<Grant> grants_;
};

}  // namespace collab::azure
