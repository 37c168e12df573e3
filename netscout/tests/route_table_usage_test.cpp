// Which subnets of a VNet use a route table, and the region's tables no subnet uses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collab/azure/curl_transport.hpp"
#include "collab/text_compare.hpp"
#include "netscout/net_scout.hpp"
#include "support/arm_json.hpp"
#include "support/captured_log.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"

namespace netscout {
namespace {

namespace az = collab::azure;
using ::testing::ElementsAre;

std::string subnetId(const std::string& vnet, const std::string& subnet) {
  return "/subscriptions/s1/resourceGroups/rg1/providers/Microsoft.Network/virtualNetworks/" +
         vnet + "/subnets/" + subnet;
}

az::RouteTable tableUsedBy(std::vector<std::pair<std::string, std::string>> vnetSubnets) {
  az::RouteTable rt;
  rt.name = "rt";
  rt.subnets.emplace();
  for (const auto& [vnet, subnet] : vnetSubnets) rt.subnets->push_back({subnetId(vnet, subnet)});
  return rt;
}

az::VirtualNetwork vnetNamed(std::string name) {
  az::VirtualNetwork vnet;
  vnet.name = std::move(name);
  return vnet;
}

TEST(RouteTableUsage, SubnetsOfTheVnetInTableOrderWithAlternatingGroups) {
  const auto rt =
      tableUsedBy({{"east", "web"}, {"west", "db"}, {"east", "app"}, {"east", "batch"}});
  const auto east = vnetNamed("east");
  EXPECT_EQ(NetScout::getSubnetUsedInVnet(rt, east), "web");
  EXPECT_THAT(NetScout::getGwGroup2SubnetInfo(rt, east),
              ElementsAre(collab::SubnetGwInfo("web", "1"), collab::SubnetGwInfo("app", "2"),
                          collab::SubnetGwInfo("batch", "1")));
  EXPECT_TRUE(NetScout::isPathbookUsedInVnet(rt, east));
  EXPECT_EQ(NetScout::getSubnetUsedInVnet(rt, vnetNamed("west")), "db");
  EXPECT_FALSE(NetScout::isPathbookUsedInVnet(rt, vnetNamed("north")));
}

TEST(RouteTableUsage, AbsentAndEmptySubnetListsAnswerAlike) {
  az::RouteTable absent;
  az::RouteTable empty = tableUsedBy({});
  for (const auto* rt : {&absent, &empty}) {
    EXPECT_EQ(NetScout::getSubnetUsedInVnet(*rt, vnetNamed("east")), std::nullopt);
    EXPECT_TRUE(NetScout::getGwGroup2SubnetInfo(*rt, vnetNamed("east")).empty());
    EXPECT_FALSE(NetScout::isPathbookUsedInVnet(*rt, vnetNamed("east")));
  }
}

TEST(RouteTableUsage, OnlyTheUsageTestIgnoresLetterCase) {
  const auto rt = tableUsedBy({{"prod", "web"}});
  EXPECT_EQ(NetScout::getSubnetUsedInVnet(rt, vnetNamed("Prod")), std::nullopt);
  EXPECT_TRUE(NetScout::getGwGroup2SubnetInfo(rt, vnetNamed("Prod")).empty());
  EXPECT_TRUE(NetScout::isPathbookUsedInVnet(rt, vnetNamed("Prod")));
  EXPECT_TRUE(collab::ci_equal("AzureFirewallSubnet", "azurefirewallsubnet"));
  EXPECT_FALSE(collab::ci_equal("vnet-a", "vnet-b"));
  EXPECT_FALSE(collab::ci_equal("vnet", "vnet1"));
}

TEST(RouteTableUsage, ASubnetIdTooShortToNameAVnetFails) {
  az::RouteTable rt;
  rt.subnets = std::vector<az::SubResource>{{"/subscriptions/s1/resourceGroups/rg1"}};
  EXPECT_THROW(NetScout::getSubnetUsedInVnet(rt, vnetNamed("east")), collab::IndexRangeError);
}

TEST(RouteTableUsage, TablesOfTheRegionWithoutSubnetsAreAlerted) {
  const std::string sub = "0a1b2c3d-sub";
  collab::Json used = kx::test::routeTableJson(sub, "rg-a", "rt-used", 1);
  collab::Json noSubnets = kx::test::routeTableJson(sub, "rg-b", "rt-idle", 1);
  noSubnets["properties"].erase("subnets");
  collab::Json emptySubnets = kx::test::routeTableJson(sub, "rg-c", "rt-empty", 0);
  emptySubnets["properties"]["subnets"] = collab::Json::array();
  collab::Json otherRegion = noSubnets;
  otherRegion["name"] = "rt-far";
  otherRegion["location"] = "eastus";
  collab::Json otherCase = noSubnets;
  otherCase["name"] = "rt-case";
  otherCase["location"] = "WestUS";

  kx::test::LoopbackServer server;
  const std::string page =
      kx::test::listPage({used, noSubnets, otherRegion, emptySubnets, otherCase}, std::nullopt)
          .dump();
  server.server().Get("/subscriptions/" + sub + "/providers/Microsoft.Network/routeTables",
                      [&](const httplib::Request&, httplib::Response& res) {
                        res.set_content(page, "application/json");
                      });
  server.start();
  kx::test::ScopedEndpoints endpoints(kx::test::loopbackEndpoints(server.baseUrl()));
  kx::test::ScopedDefaultTransport transport(std::make_shared<az::CurlTransport>());
  auto credential = std::make_shared<az::StaticTokenCredential>("token");
  az::NetworkManagementClient client(credential, sub);

  kx::test::CapturedLog log("netscout");
  NetScout::discover_route_table_without_subnet_in_region(client, "westus");
  NetScout::discover_route_table_without_subnet_in_region(client, "northeurope");
  std::vector<std::pair<spdlog::level::level_enum, std::string>> lines;
  for (const auto& line : log.lines()) lines.emplace_back(line.level, line.text);
  using L = spdlog::level::level_enum;
  EXPECT_THAT(
      lines,
      ElementsAre(
          std::pair{L::info, "- Discover route table without subnet association in region westus"},
          std::pair{L::warn, "  **Alert** westus rt-idle (rg-b) has no subnet association"},
          std::pair{L::warn, "  **Alert** westus rt-empty (rg-c) has no subnet association"},
          std::pair{L::info,
                    "- Discover route table without subnet association in region northeurope"}));
}

}  // namespace
}  // namespace netscout
