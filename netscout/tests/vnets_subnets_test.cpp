// VNet and subnet discovery against a loopback subscription: the log lines with their levels,
// the alerts, the subnet records, main_rt_count and the subnet-group check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "basekit/common.hpp"
#include "collab/azure/arm_error.hpp"
#include "collab/errors.hpp"
#include "fake_azure.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {
namespace {

using namespace netscout::testing;
using kx::test::CapturedLog;
using LevelLine = std::pair<Level, std::string>;
constexpr Level kInfo = spdlog::level::info, kWarn = spdlog::level::warn,
                kError = spdlog::level::err;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
const std::string kRule = "  " + std::string(63, '.');
const std::vector<std::string> kListHeader = {
    "- Discover Vnets:", kRule, "  Vnet cidr                Vnet name (rg)           ", kRule};

// Common::AZURE_SUBNET as the input file would give it, for the life of a test.
class ScopedReservedSubnets {
 public:
  explicit ScopedReservedSubnets(std::vector<std::string> names)
      : saved_(std::exchange(basekit::Common::AZURE_SUBNET, std::move(names))) {}
  ~ScopedReservedSubnets() { basekit::Common::AZURE_SUBNET = saved_; }

 private:
  std::vector<std::string> saved_;
};

Json vnetOptions() {
  return {{"default_route_table", "main"},
          {"provider", "prod-alias"},
          {"migrate_non_associated_subnet", true},
          {"subnet_groups", nullptr}};
}

// A VNet "vn" whose subnet sn<i> uses the route table tables[i] (none when absent), then a
// GatewaySubnet without a route table.
az::VirtualNetwork vnetUsingTables(const std::vector<std::optional<std::string>>& tables) {
  const std::string group = "/subscriptions/s1/resourceGroups/rg1/providers/Microsoft.Network/";
  az::VirtualNetwork vnet{"vn", group + "virtualNetworks/vn", "westus", {}, {}, {}};
  for (std::size_t i = 0; i <= tables.size(); ++i) {
    az::Subnet sn;
    sn.name = i < tables.size() ? "sn" + std::to_string(i) : "GatewaySubnet";
    sn.id = vnet.id + "/subnets/" + sn.name;
    sn.address_prefix = "10.0." + std::to_string(i) + ".0/24";
    if (i < tables.size() && tables[i]) sn.route_table = {{group + "routeTables/" + *tables[i]}};
    vnet.subnets.push_back(sn);
  }
  return vnet;
}

// collab's fixture subscription: vnet-hub (three subnets, one reserved; one peering; two
// gateways in rg-net-prod) and vnet-isolated (no subnets, no peerings).
class VnetDiscoveryTest : public ::testing::Test {
 protected:
  VnetDiscoveryTest() {
    azure_.vnets = armFixture("virtual_networks.json")["value"];
    azure_.groups = {"rg-net-prod", "rg-lab"};
    azure_.gateways = armFixture("virtual_network_gateways.json")["value"];
    azure_.start();
  }

  // Built after start(): a client keeps the endpoints in force when it is made.
  az::NetworkManagementClient networkClient() const { return {azure_.credential().getCSC(), kSub}; }

  FakeAzure azure_;
  ScopedReservedSubnets reserved_{{"GatewaySubnet", "AzureFirewallSubnet"}};
};

TEST_F(VnetDiscoveryTest, FixtureSubscriptionLogsEveryLineAtInfo) {
  auto client = networkClient();
  const auto vnets = client.virtual_networks.list_all();
  ASSERT_EQ(vnets.size(), 2u);
  Json options = vnetOptions();
  CapturedLog log("netscout");
  CapturedLog alerts("alert");

  NetScout::list_vnet(client, {"vnet-elsewhere", "VNET-HUB"});  // names no VNet: header only
  NetScout::list_vnet(client, {"vnet-isolated", "vnet-hub", "vnet-elsewhere"});
  NetScout::discoverVnet(vnets[0], azure_.credential());
  NetScout::discoverVnet(vnets[1], azure_.credential());
  const collab::Subnets subnets = NetScout::discoverSubnets(vnets[0], options);

  std::vector<std::string> expected = kListHeader;
  expected.insert(expected.end(), kListHeader.begin(), kListHeader.end());
  for (const char* text :
       {"  10.10.0.0/16             vnet-hub  (rg-net-prod)",
        "  192.168.0.0/24           vnet-isolated  (rg-lab)",
        // vnet-hub: two gateways name it, the last listed wins
        "- Discover peerings",
        "  hub-to-shared vnet-shared (9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d/rg-shared)",
        "- Discover VNG", "  ergw-hub ExpressRoute (rg-net-prod)",
        // vnet-isolated
        "- Discover peerings", "  peerings: None", "- Discover VNG", "  VNG not found",
        // the subnets of vnet-hub
        "- Discover subnet: 3 subnet(s)", "  snet-app (rg-net-prod)",
        "    address_prefix: 10.10.1.0/24", "    address_prefixes: None",
        "    network_security_group: nsg-app (rg-sec)",
        "    route_table: rt-hub-egress (rg-net-prod)", "    delegation: webapp",
        "    service_endpoint: Microsoft.Storage", "    service_endpoint: Microsoft.KeyVault",
        "  Found Azure GatewaySubnet (rg-net-prod) -- skipped ", "  snet-dual (rg-net-prod)",
        "    address_prefix: None", "    address_prefixes: ['10.11.4.0/24', '10.11.5.0/24']",
        "    network_security_group: None", "    route_table: None", "    delegations: []"})
    expected.push_back(text);
  std::vector<LevelLine> expectedLines;
  for (auto& text : expected) expectedLines.emplace_back(kInfo, std::move(text));
  EXPECT_EQ(linesOf(log), expectedLines);

  // One peering alert for vnet-hub, none for vnet-isolated; short names raise no length alert.
  const std::string hub = "**Alert** VNet vnet-hub (rg-net-prod)";
  EXPECT_THAT(linesOf(alerts),
              ElementsAre(LevelLine{kWarn, hub + " has 1 peering(s) to re-create after the "
                                                 "migration"},
                          LevelLine{kWarn, hub + " peering hub-to-shared to vnet-shared "
                                                 "(9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d/"
                                                 "rg-shared) must be re-created"}));

  // The reserved subnet gets no record; a subnet with prefixes only takes the first.
  ASSERT_EQ(subnets.size(), 2u);
  EXPECT_EQ(subnets.getVnetName(), "vnet-hub");
  const auto& app = subnets.subnetMap().at("snet-app");
  EXPECT_EQ(app.cidr_block, "10.10.1.0/24");
  EXPECT_EQ(app.provider, "prod-alias");
  EXPECT_EQ(app.route_table_id, vnets[0].subnets[0].route_table->id);
  const auto& dual = subnets.subnetMap().at("snet-dual");
  EXPECT_EQ(dual.cidr_block, "10.11.4.0/24");
  EXPECT_EQ(dual.route_table_id, std::nullopt);
  EXPECT_EQ(options["main_rt_count"], 1);

  // Resource groups once, then one gateway listing per group, for each discoverVnet call.
  EXPECT_EQ(azure_.pathsTo("/resourcegroups").size(), 2u);
  EXPECT_EQ(azure_.pathsTo("/virtualNetworkGateways").size(), 4u);
}

TEST_F(VnetDiscoveryTest, LongVnetNamesAreAlertedWithTheGatewayNamesTheyWillGet) {
  using Base = collab::CrossCloudBasekit::Common;
  const std::string long40 = std::string(20, 'a') + std::string(20, 'b');  // transit cut only
  const std::string long42 = std::string(42, 'c');                         // both cut
  // 43 characters, but the run of "_" becomes one "-": 39 are left and nothing is cut.
  const std::string shrinks = std::string(19, 'd') + "_____" + std::string(19, 'e');
  const std::string wideCidr = "fd00:1234:5678:9abc::/64";  // longer than its column
  azure_.vnets = Json::array({vnetJson("rg-long", std::string(39, 'f'), "westus", "10.1.0.0/16"),
                              vnetJson("rg-long", long40, "westus", "10.2.0.0/16"),
                              vnetJson("rg-long", long42, "westus", wideCidr),
                              vnetJson("rg-long", shrinks, "westus", "10.4.0.0/16")});
  auto client = networkClient();
  CapturedLog log("netscout");
  CapturedLog alerts("alert");

  NetScout::list_vnet(client, {std::string(39, 'f'), long40, long42, shrinks});

  const std::string cut =
      " (rg-long): name too long for derived gateway names of at most 50 "
      "characters; ";
  const Json none = Json::object();
  EXPECT_THAT(
      linesOf(alerts),
      ElementsAre(
          LevelLine{kWarn, "**Alert** VNet " + long40 + cut + "transit gateway will be named " +
                               Base::getTransitGatewayName(none, long40)},
          LevelLine{kWarn, "**Alert** VNet " + long42 + cut + "spoke gateway will be named " +
                               Base::getSpokeGatewayName(none, long42, 50) +
                               "; transit gateway will be named " +
                               Base::getTransitGatewayName(none, long42)}));
  // A cidr longer than its column is written whole, followed directly by the name.
  EXPECT_EQ(log.at(kInfo).at(6), "  " + wideCidr + " " + long42 + "  (rg-long)");
}

TEST_F(VnetDiscoveryTest, ResourceGroupListingFailurePropagatesBeforeAnyLine) {
  azure_.groups.reset();  // listing them is refused
  auto client = networkClient();
  const auto vnets = client.virtual_networks.list_all();
  CapturedLog log("netscout");
  CapturedLog alerts("alert");
  EXPECT_THROW(NetScout::discoverVnet(vnets[0], azure_.credential()), az::ArmError);
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_THAT(alerts.lines(), IsEmpty());
}

TEST(SubnetDiscovery, MainRouteTableCount) {
  const ScopedReservedSubnets reserved({"GatewaySubnet"});
  struct Case {
    const char* name;
    std::vector<std::optional<std::string>> tables;
    Json defaultRouteTable, migrate;
    int expected;
  };
  const std::optional<std::string> none;
  const std::vector<Case> cases = {
      {"three without a table are capped at two", {none, none, none}, "main", true, 2},
      {"one without a table", {none, std::string("rt-own")}, "main", true, 1},
      {"not migrating counts nothing", {none, none, none}, "main", false, 0},
      {"unset migrate option counts nothing", {none}, "main", nullptr, 0},
      {"only the reserved subnet", {}, "main", true, 0},
      {"the default table counts, letter case counting",
       {std::string("vn-main"), std::string("vn-Main"), std::string("VN-main")},
       "main",
       true,
       1},
      {"absent default table matches only <vnet>-None",
       {std::string("vn-None"), std::string("vn-none"), std::string("vn-")},
       nullptr,
       true,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const az::VirtualNetwork vnet = vnetUsingTables(c.tables);
    Json options = vnetOptions();
    options["default_route_table"] = c.defaultRouteTable;
    options["migrate_non_associated_subnet"] = c.migrate;
    CapturedLog log("netscout");
    const collab::Subnets subnets = NetScout::discoverSubnets(vnet, options);
    EXPECT_EQ(options["main_rt_count"], c.expected);
    EXPECT_EQ(log.at(kInfo).front(),
              "- Discover subnet: " + std::to_string(c.tables.size() + 1) + " subnet(s)");
    EXPECT_EQ(log.at(kInfo).back(), "  Found Azure GatewaySubnet (rg1) -- skipped ");
    EXPECT_EQ(subnets.size(), c.tables.size());
  }
}

TEST(SubnetDiscovery, DisabledLoggingIsSilentAndEndsAtDebugAlsoAfterAFailure) {
  const ScopedReservedSubnets reserved({"GatewaySubnet"});
  const az::VirtualNetwork vnet = vnetUsingTables({std::nullopt, std::string("rt")});
  struct Case {
    bool disable;
    const char* missingOption;  // nullptr: the call succeeds
    spdlog::level::level_enum levelAfter;
  };
  const auto debug = spdlog::level::debug;
  const std::vector<Case> cases = {
      {false, nullptr, kInfo},
      {false, "provider", kInfo},
      {true, nullptr, debug},
      {true, "provider", debug},                       // fails inside the subnet loop
      {true, "migrate_non_associated_subnet", debug},  // fails after it
  };
  auto logger = collab::getLogger("netscout");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.disable ? "disabled, " : "enabled, ") +
                 (c.missingOption ? c.missingOption : "no option") + " missing");
    CapturedLog log("netscout");
    logger->set_level(kInfo);
    Json options = vnetOptions();
    if (c.missingOption) {
      options.erase(c.missingOption);
      EXPECT_THROW(NetScout::discoverSubnets(vnet, options, c.disable), collab::MissingKeyError);
    } else {
      NetScout::discoverSubnets(vnet, options, c.disable);
      EXPECT_EQ(options["main_rt_count"], 1);
    }
    EXPECT_EQ(logger->level(), c.levelAfter);
    EXPECT_EQ(log.lines().empty(), c.disable);
  }
}

TEST(SubnetGroups, EveryEntryIsFilledAndEachMissingSubnetLoggedOnce) {
  collab::Subnets subnets("vn");
  subnets.add(collab::Subnet(az::Subnet{"id-web", "web", "10.0.1.0/24", {}, {}, {}, {}, {}}));
  subnets.add(collab::Subnet(az::Subnet{"id-bare", "bare", {}, {}, {}, {}, {}, {}}));
  struct Case {
    const char* name;
    Json groups;
    bool valid;
    std::vector<Json> cidrs;
    std::vector<std::string> errors;
  };
  const std::string error = "**Error** subnet group - subnet ";
  const std::vector<Case> cases = {
      {"absent", nullptr, false, {}, {}},
      {"empty list", Json::array(), true, {}, {}},
      {"all found",
       Json::array({{{"subnet_name", "web"}}, {{"subnet_name", "bare"}, {"cidr", "stale"}}}),
       true,
       {"10.0.1.0/24", nullptr},
       {}},
      {"first missing, second still filled",
       Json::array({{{"subnet_name", "db"}, {"cidr", "stale"}}, {{"subnet_name", "web"}}}),
       false,
       {nullptr, "10.0.1.0/24"},
       {error + "db not found"}},
      {"names compared exactly",
       Json::array({{{"subnet_name", "Web"}}, {{"subnet_name", 7}}}),
       false,
       {nullptr, nullptr},
       {error + "Web not found", error + "7 not found"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json options = vnetOptions();
    options["subnet_groups"] = c.groups;
    CapturedLog log("netscout");
    EXPECT_EQ(NetScout::validateSubnetGroups(subnets.subnetMap(), options), c.valid);
    EXPECT_EQ(log.at(kError), c.errors);
    EXPECT_EQ(log.lines().size(), c.errors.size());
    for (std::size_t i = 0; i < c.cidrs.size(); ++i)
      EXPECT_EQ(options["subnet_groups"][i]["cidr"], c.cidrs[i]) << "entry " << i;
  }

  Json noGroups = vnetOptions();
  noGroups.erase("subnet_groups");
  EXPECT_THROW(NetScout::validateSubnetGroups(subnets.subnetMap(), noGroups),
               collab::MissingKeyError);
  Json unnamed = {{"cidr", "stale"}};
  EXPECT_THROW(NetScout::findCidrInSubnet(subnets.subnetMap(), unnamed), collab::MissingKeyError);
  EXPECT_EQ(unnamed["cidr"], nullptr);
}

}  // namespace
}  // namespace netscout
