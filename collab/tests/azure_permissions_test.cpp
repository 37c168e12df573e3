// Effective permissions: Azure RBAC's action patterns, and not-actions that take only from
// their own role.
#include <gtest/gtest.h>

#include "collab/azure/effective_permissions.hpp"
#include "collab/errors.hpp"

namespace collab::azure {
namespace {

TEST(EffectivePermissionsTest, ActionPatternsMatchAsAzureRbacDoes) {
  const struct {
    const char* pattern;
    const char* action;
    bool matches;
  } cases[] = {
      {"*", "Microsoft.Network/virtualNetworks/read", true},
      {"*/read", "Microsoft.Network/virtualNetworks/read", true},
      {"*/read", "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action", false},
      {"Microsoft.Network/*", "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action",
       true},
      {"microsoft.network/virtualnetworkgateways/*/action",
       "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action", true},
      {"Microsoft.Network/virtualNetworkGateways/*/action",
       "Microsoft.Network/virtualNetworkGateways/read", false},
      {"Microsoft.Network/*/read", "Microsoft.Compute/locations/vmSizes/read", false},
      {"Microsoft.Network/routeTables/read", "Microsoft.Network/routeTables/read/extra", false},
      {"Microsoft.Network/routeTables/read*", "Microsoft.Network/routeTables/read", true},
      {"*read*write*", "a/read/b/write/c", true},
      {"*read*write", "a/write/read", false},
      {"", "", true},
      {"", "x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.action);
    EXPECT_EQ(actionMatches(c.pattern, c.action), c.matches);
  }
}

TEST(EffectivePermissionsTest, NotActionsTakeOnlyFromTheirOwnRole) {
  const EffectivePermissions reader(
      Json::parse(R"([{"actions": ["*/read"], "notActions": [], "dataActions": []}])"));
  const EffectivePermissions contributorWithoutNetwork(
      Json::parse(R"([{"actions": ["*"], "notActions": ["Microsoft.Network/*"]}])"));
  const EffectivePermissions twoRoles(Json::parse(
      R"([{"actions": ["*"], "notActions": ["Microsoft.Network/*"]},
          {"actions": ["Microsoft.Network/virtualNetworkGateways/*"]}])"));
  const EffectivePermissions none(Json::parse("[]"));
  const std::string learned = "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action";
  const std::string vnets = "Microsoft.Network/virtualNetworks/read";
  EXPECT_TRUE(reader.allows(vnets));
  EXPECT_FALSE(reader.allows(learned));
  EXPECT_FALSE(contributorWithoutNetwork.allows(learned));
  EXPECT_FALSE(contributorWithoutNetwork.allows(vnets));
  EXPECT_TRUE(contributorWithoutNetwork.allows("Microsoft.Compute/locations/vmSizes/read"));
  EXPECT_TRUE(twoRoles.allows(learned));
  EXPECT_FALSE(twoRoles.allows(vnets));
  EXPECT_FALSE(none.allows(vnets));
  EXPECT_THROW(EffectivePermissions(Json::parse(R"({"value": []})")), WrongTypeError);
  EXPECT_THROW(EffectivePermissions(Json::parse(R"([{"actions": "*"}])")), WrongTypeError);
}

}  // namespace
}  // namespace collab::azure
