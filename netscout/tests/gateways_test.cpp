// Gateways around a VNet against a loopback Azure: the gateway-type test, the search for spoke
// gateways of an earlier migration, the learned-routes request and the VNet-to-gateway map.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collab/azure/arm_error.hpp"
#include "collab/errors.hpp"
#include "fake_azure.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {
namespace {

using namespace netscout::testing;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
// The query texts as the discovery must send them, for names that need no escaping.
std::string gatewayQuery(const std::string& subnet) {
  return "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
         "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | "
         "where ipconfig.properties.subnet.id =~ '" +
         subnet + "' | project properties.gatewayType";
}
std::string nicQuery(const std::string& vnet, const std::string& subnet) {
  return "Resources | where type =~ 'Microsoft.Network/networkInterfaces' and tags contains "
         "'Corvanta-Created-Resource' | mvexpand ipconfig=properties.ipConfigurations | where "
         "ipconfig.properties.subnet.id has '/subscriptions/" +
         kSub + "/resourceGroups/rg-net/providers/Microsoft.Network/virtualNetworks/" + vnet +
         "/subnets/" + subnet + "'";
}
std::string vmQuery(const std::string& nicId) {
  return "Resources | where type =~ 'microsoft.compute/virtualMachines' and tags contains "
         "'Corvanta-Created-Resource' | mvexpand nics=properties.networkProfile | mvexpand "
         "nic=nics.networkInterfaces | where nic.id =~ '" +
         nicId + "'";
}

TEST(GatewayType, TheGatewayInTheVnetsGatewaySubnetDecides) {
  const std::string gwSubnet = subnetId("vnet1", "GatewaySubnet");
  const Json vpn = gatewayJson("vpngw", "rg-net", "Vpn", {gwSubnet});
  const Json er = gatewayJson("ergw", "rg-net", "ExpressRoute", {gwSubnet});
  const Json elsewhere =
      gatewayJson("vpngw2", "rg-net", "Vpn", {subnetId("vnet2", "GatewaySubnet")});
  const struct {
    std::vector<Json> gateways;
    std::string asked;
    bool answer;
    std::string line;
  } cases[] = {
      {{vpn}, "Vpn", true, "- vnet vnet1 has VNG - Vpn"},
      {{er}, "Vpn", false, "- vnet vnet1 has VNG but NOT type Vpn"},
      {{vpn, er}, "ExpressRoute", true, "- vnet vnet1 has VNG - ExpressRoute"},
      {{elsewhere}, "Vpn", false, "- vnet vnet1 has no VNG"},
      {{}, "Vpn", false, "- vnet vnet1 has no VNG"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    FakeAzure azure;
    azure.gateways = c.gateways;
    azure.start();
    kx::test::CapturedLog log("netscout");
    EXPECT_EQ(NetScout::isVnetWithVng(azure.credential(), vnetObject("vnet1"), c.asked), c.answer);
    EXPECT_THAT(linesOf(log), ElementsAre(std::pair{Level::info, c.line}));
    EXPECT_THAT(azure.graphQueries(), ElementsAre(gatewayQuery(gwSubnet)));
  }
}

TEST(SpokeGateway, SearchesEachSpokeSubnetUntilATaggedMachineIsFound) {
  const NicSpec gwNic{.name = "gw-nic", .subnetId = subnetId("vnet1", "corvanta-spoke-gw")};
  const NicSpec haNic{.name = "hagw-nic", .subnetId = subnetId("vnet1", "corvanta-spoke-hagw")};
  const NicSpec hpNic{.name = "hp-nic", .subnetId = subnetId("vnet1", "cvt-gwhp-subnet-2")};
  const std::string noneFound = "  no spoke gateway found";
  const struct {
    const char* what;
    std::vector<NicSpec> nics;
    std::vector<VmSpec> vms;
    std::vector<std::string> queries;
    bool found;
    std::pair<Level, std::string> last;
  } cases[] = {
      {"nothing anywhere",
       {},
       {},
       {nicQuery("vnet1", "corvanta-spoke-gw"), nicQuery("vnet1", "corvanta-spoke-hagw"),
        nicQuery("vnet1", "cvt-gwhp-subnet-")},
       false,
       {Level::info, noneFound}},
      {"untagged interface, and a tagged one whose machine is not tagged",
       {{"plain-nic", gwNic.subnetId, false}, gwNic},
       {{"gw-vm", gwNic.id(), false}},
       {nicQuery("vnet1", "corvanta-spoke-gw"), vmQuery(gwNic.id()),
        nicQuery("vnet1", "corvanta-spoke-hagw"), nicQuery("vnet1", "cvt-gwhp-subnet-")},
       false,
       {Level::info, noneFound}},
      {"first name without machine, second with one: the third is not asked",
       {gwNic, haNic, hpNic},
       {{.name = "hagw-vm", .nicId = haNic.id()}, {.name = "hp-vm", .nicId = hpNic.id()}},
       {nicQuery("vnet1", "corvanta-spoke-gw"), vmQuery(gwNic.id()),
        nicQuery("vnet1", "corvanta-spoke-hagw"), vmQuery(haNic.id())},
       true,
       {Level::err, "  **Error** Vnet vnet1 already migrated, found an corvanta gateway hagw-vm"}},
      {"high-performance subnet found by its name prefix",
       {hpNic},
       {{.name = "hp-vm", .nicId = hpNic.id()}},
       {nicQuery("vnet1", "corvanta-spoke-gw"), nicQuery("vnet1", "corvanta-spoke-hagw"),
        nicQuery("vnet1", "cvt-gwhp-subnet-"), vmQuery(hpNic.id())},
       true,
       {Level::err, "  **Error** Vnet vnet1 already migrated, found an corvanta gateway hp-vm"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeAzure azure;
    azure.nics = c.nics;
    azure.vms = c.vms;
    azure.start();
    kx::test::CapturedLog log("netscout");
    EXPECT_EQ(NetScout::discoverSpokeGw(azure.credential(), vnetObject("vnet1")), c.found);
    EXPECT_THAT(linesOf(log),
                ElementsAre(std::pair{Level::info, "- check if vnet1 has been migrated"}, c.last));
    EXPECT_THAT(azure.graphQueries(), ElementsAreArray(c.queries));
  }
}

// A quote or backslash in a name would end the query's literal and make the rest query text:
// names go in as KQL literals, each quote and backslash escaped, and are found as themselves.
TEST(GatewayType, NamesEnterTheQueriesAsLiteralsWhateverTheyHold) {
  const std::string name = R"(it's\mine)";
  const std::string escaped = R"(it\'s\\mine)";
  const std::string gwSubnet = subnetId(name, "GatewaySubnet");
  FakeAzure azure;
  azure.gateways = {gatewayJson("vpngw", "rg-net", "Vpn", {gwSubnet})};
  const NicSpec nic{.name = "gw-nic", .subnetId = subnetId(name, "corvanta-spoke-gw")};
  azure.nics = {nic};
  azure.vms = {{.name = "gw-vm", .nicId = nic.id()}};
  azure.start();
  EXPECT_TRUE(NetScout::isVnetWithVng(azure.credential(), vnetObject(name), "Vpn"));
  EXPECT_TRUE(NetScout::discoverSpokeGw(azure.credential(), vnetObject(name)));
  EXPECT_THAT(azure.graphQueries(),
              ElementsAre(gatewayQuery(subnetId(escaped, "GatewaySubnet")),
                          nicQuery(escaped, "corvanta-spoke-gw"), vmQuery(nic.id())));
}

TEST(SpokeGateway, AnAnswerThatCountsRecordsButHoldsNoRowFails) {
  FakeAzure azure;
  azure.nics = {{.name = "gw-nic", .subnetId = subnetId("vnet1", "corvanta-spoke-gw")}};
  azure.rowlessAnswers = true;
  azure.start();
  EXPECT_THROW(NetScout::discoverSpokeGw(azure.credential(), vnetObject("vnet1")),
               collab::IndexRangeError);
  EXPECT_EQ(azure.graphQueries().size(), 1u);
}

// The request itself is collab's (see its tests); here: what reaches Azure, and that an
// accepted request is success while a refusal is not.
TEST(LearnedRoutes, PostedWhateverTheGatewayAndARefusalPropagates) {
  for (const int status : {202, 404}) {
    SCOPED_TRACE(status);
    FakeAzure azure;
    azure.server().server().Post(
        ".*/getLearnedRoutes", [&](const httplib::Request&, httplib::Response& res) {
          res.status = status;
          if (status == 404)
            res.set_content(R"({"error": {"code": "ResourceNotFound", "message": "not found"}})",
                            "application/json");
        });
    azure.start();
    kx::test::CapturedLog log("netscout");
    const Json cred = {{"subscription_id", kSub}, {"accessToken", "learned-token"}};
    if (status == 202) {
      EXPECT_NO_THROW(NetScout::getVngLearnedRoutes(cred, "rg(net)", "ergw"));
    } else {
      EXPECT_THROW(NetScout::getVngLearnedRoutes(cred, "rg(net)", "ergw"), az::ArmError);
    }
    const auto seen = azure.server().requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target,
              "/subscriptions/" + kSub +
                  "/resourceGroups/rg%28net%29/providers/Microsoft.Network/"
                  "virtualNetworkGateways/ergw/getLearnedRoutes?api-version=2020-11-01");
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer learned-token");
    EXPECT_EQ(seen[0].body, "");
    EXPECT_TRUE(log.lines().empty());
  }
}

TEST(VnetToGateway, OneListingPerGroupAndOnlyTheListedGroups) {
  FakeAzure azure;
  const std::string vnet1 = subnetId("vnet1", "GatewaySubnet");
  const std::string vnet2 = subnetId("vnet2", "GatewaySubnet");
  azure.gateways = {
      // Active-active: two configurations in one VNet give one entry.
      gatewayJson("vpngw", "rg-net", "Vpn", {vnet1, vnet1}),
      gatewayJson("ergw", "rg-er", "ExpressRoute", {vnet2}),
      gatewayJson("hidden", "rg-unlisted", "Vpn", {subnetId("vnet3", "GatewaySubnet")}),
      // Met last, so it wins vnet2.
      gatewayJson("ergw2", "rg-er2", "ExpressRoute", {vnet2}),
      // Being provisioned: no type yet, and a configuration without its subnet (which places
      // the gateway nowhere) beside one in vnet4.
      gatewayJson("newgw", "rg-er2", "", {"", subnetId("vnet4", "GatewaySubnet")}),
  };
  Json& provisioning = azure.gateways.back()["properties"];
  provisioning.erase("gatewayType");
  provisioning["ipConfigurations"][0]["properties"].erase("subnet");
  azure.start();
  const auto map =
      NetScout::deduceVnet2VngMap(azure.credential(), {"rg-net", "rg-er", "rg-empty", "rg-er2"});
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map.at("vnet1").name, "vpngw");
  EXPECT_EQ(map.at("vnet2").name, "ergw2");
  EXPECT_EQ(map.at("vnet2").gateway_type, "ExpressRoute");
  EXPECT_EQ(map.at("vnet4").name, "newgw");
  EXPECT_EQ(map.at("vnet4").gateway_type, std::nullopt);
  EXPECT_EQ(azure.requestsTo("GET", "/virtualNetworkGateways"), 4u);
  EXPECT_EQ(azure.requestCount(), 4u);
}

}  // namespace
}  // namespace netscout
