// VNet and subnet discovery against a loopback subscription: the log lines with their levels,
// the subnet records, main_rt_count, the subnet-group check and the alerts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "basekit/common.hpp"
#include "collab/azure/arm_error.hpp"
#include "collab/errors.hpp"
#include "collab/logconf.hpp"
#include "netscout/net_scout.hpp"
#include "support/subscription_server.hpp"

namespace netscout {
namespace {

using collab::Json;
// The loopback subscription, its JSON builders and the captured log lines.
using namespace kx::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace az = collab::azure;
const std::string kRule = "  " + std::string(63, '.');

// Common::AZURE_SUBNET as the installed input file gives it, for the life of a test.
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

// A VNet "vn" whose subnet sn<i> uses the route table tables[i] (none when absent).
az::VirtualNetwork vnetUsingTables(const std::vector<std::optional<std::string>>& tables) {
  az::VirtualNetwork vnet;
  vnet.name = "vn";
  vnet.id = networkId("s1", "rg1", "virtualNetworks", "vn");
  for (std::size_t i = 0; i < tables.size(); ++i) {
    az::Subnet sn;
    sn.name = "sn" + std::to_string(i);
    sn.id = vnet.id + "/subnets/" + sn.name;
    sn.address_prefix = "10.0." + std::to_string(i) + ".0/24";
    if (tables[i])
      sn.route_table = az::SubResource{networkId("s1", "rg1", "routeTables", *tables[i])};
    vnet.subnets.push_back(sn);
  }
  return vnet;
}

class VnetDiscoveryTest : public ::testing::Test {
 protected:
  // collab's fixture subscription: vnet-hub (three subnets, one reserved; one peering; two
  // gateways in rg-net-prod) and vnet-isolated (no subnets, no peerings).
  void serveFixture() {
    azure_.vnets = armFixture("virtual_networks.json")["value"];
    azure_.groups = {"rg-net-prod", "rg-lab"};
    azure_.gateways["rg-net-prod"] = armFixture("virtual_network_gateways.json")["value"];
    azure_.gateways["rg-lab"] = Json::array();
  }

  SubscriptionServer azure_;
  ScopedReservedSubnets reserved_{{"GatewaySubnet", "AzureFirewallSubnet"}};
};

TEST_F(VnetDiscoveryTest, FixtureSubscriptionLogsEveryLineAtInfo) {
  serveFixture();
  auto client = azure_.networkClient();
  const auto vnets = azure_.listVnets();
  ASSERT_EQ(vnets.size(), 2u);
  Json options = vnetOptions();
  CapturedLog log("netscout");
  CapturedLog alerts("alert");

  NetScout::list_vnet(client, {"vnet-isolated", "vnet-hub", "vnet-elsewhere"});
  NetScout::discoverVnet(vnets[0], azure_.credential());
  NetScout::discoverVnet(vnets[1], azure_.credential());
  const collab::Subnets subnets = NetScout::discoverSubnets(vnets[0], options);

  std::vector<std::string> expected = {
      "- Discover Vnets:", kRule, "  Vnet cidr                Vnet name (rg)           ", kRule,
      "  10.10.0.0/16             vnet-hub  (rg-net-prod)",
      "  192.168.0.0/24           vnet-isolated  (rg-lab)",
      // vnet-hub: two gateways name it; the last listed wins.
      "- Discover peerings",
      "  hub-to-shared vnet-shared (9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d/rg-shared)",
      "- Discover VNG", "  ergw-hub ExpressRoute (rg-net-prod)",
      // vnet-isolated
      "- Discover peerings", "  peerings: None", "- Discover VNG", "  VNG not found",
      // subnets of vnet-hub
      "- Discover subnet: 3 subnet(s)", "  snet-app (rg-net-prod)",
      "    address_prefix: 10.10.1.0/24", "    address_prefixes: None",
      "    network_security_group: nsg-app (rg-sec)",
      "    route_table: rt-hub-egress (rg-net-prod)", "    delegation: webapp",
      "    service_endpoint: Microsoft.Storage", "    service_endpoint: Microsoft.KeyVault",
      "  Found Azure GatewaySubnet (rg-net-prod) -- skipped ", "  snet-dual (rg-net-prod)",
      "    address_prefix: None", "    address_prefixes: ['10.11.4.0/24', '10.11.5.0/24']",
      "    network_security_group: None", "    route_table: None", "    delegations: []"};
  std::vector<LevelLine> expectedLines;
  for (auto& text : expected) expectedLines.emplace_back(kInfo, std::move(text));
  EXPECT_EQ(levelLines(log), expectedLines);

  // One peering alert for vnet-hub; short names raise no length alert.
  EXPECT_THAT(levelLines(alerts),
              ElementsAre(LevelLine{kWarn,
                                    "**Alert** VNet vnet-hub (rg-net-prod) has 1 peering(s) to "
                                    "re-create after the migration"},
                          LevelLine{kWarn,
                                    "**Alert** VNet vnet-hub (rg-net-prod) peering hub-to-shared "
                                    "to vnet-shared (9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d/"
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
  EXPECT_EQ(dual.id, vnets[0].subnets[2].id);
  EXPECT_EQ(options["main_rt_count"], 1);

  // Resource groups once, then one gateway listing per group, for each discoverVnet call.
  EXPECT_EQ(azure_.paths("/resourcegroups").size(), 2u);
  EXPECT_EQ(azure_.paths("/virtualNetworkGateways").size(), 4u);
}

TEST_F(VnetDiscoveryTest, ListVnetLogsOnlyTheHeaderWhenNoConfiguredVnetIsFound) {
  serveFixture();
  auto client = azure_.networkClient();
  CapturedLog log("netscout");
  CapturedLog alerts("alert");
  NetScout::list_vnet(client, {"vnet-elsewhere", "VNET-HUB"});
  EXPECT_THAT(log.at(kInfo),
              ElementsAre("- Discover Vnets:", kRule,
                          "  Vnet cidr                Vnet name (rg)           ", kRule));
  EXPECT_EQ(log.lines().size(), 4u);
  EXPECT_THAT(alerts.lines(), IsEmpty());
}

TEST_F(VnetDiscoveryTest, LongVnetNamesAreAlertedWithTheGatewayNamesTheyWillGet) {
  using Base = collab::CrossCloudBasekit::Common;
  const std::string long40 = std::string(20, 'a') + std::string(20, 'b');  // transit cut only
  const std::string long42 = std::string(42, 'c');                         // both cut
  // 43 characters, but runs of "_" shrink to one "-": 39 left, nothing is cut.
  const std::string shrinks = std::string(19, 'd') + "_____" + std::string(19, 'e');
  const std::string wideCidr = "fd00:1234:5678:9abc::/64";  // longer than its column
  for (const auto& [name, cidr] :
       std::vector<std::pair<std::string, std::string>>{{std::string(39, 'f'), "10.1.0.0/16"},
                                                        {long40, "10.2.0.0/16"},
                                                        {long42, wideCidr},
                                                        {shrinks, "10.4.0.0/16"}})
    azure_.vnets.push_back(vnetJson(azure_.subscription(), "rg-long", name, "westus", {cidr}));
  auto client = azure_.networkClient();
  CapturedLog log("netscout");
  CapturedLog alerts("alert");

  NetScout::list_vnet(client, {std::string(39, 'f'), long40, long42, shrinks});

  const std::string cut =
      " (rg-long): name too long for derived gateway names of at most 50 characters";
  EXPECT_THAT(
      levelLines(alerts),
      ElementsAre(
          LevelLine{kWarn, "**Alert** VNet " + long40 + cut + "; transit gateway will be named " +
                               Base::getTransitGatewayName(Json::object(), long40)},
          LevelLine{kWarn, "**Alert** VNet " + long42 + cut + "; spoke gateway will be named " +
                               Base::getSpokeGatewayName(Json::object(), long42, 50) +
                               "; transit gateway will be named " +
                               Base::getTransitGatewayName(Json::object(), long42)}));
  // A cidr longer than its column is written whole, followed directly by the name.
  EXPECT_EQ(log.at(kInfo).at(6), "  " + wideCidr + " " + long42 + "  (rg-long)");
}

TEST_F(VnetDiscoveryTest, ResourceGroupOrGatewayFailurePropagatesBeforeAnyLine) {
  serveFixture();
  azure_.groups.push_back("rg-gone");  // listed, but its gateways answer 404
  const auto vnets = azure_.listVnets();
  CapturedLog log("netscout");
  CapturedLog alerts("alert");
  try {
    NetScout::discoverVnet(vnets[0], azure_.credential());
    FAIL() << "expected ArmError";
  } catch (const az::ArmError& error) {
    EXPECT_EQ(error.code(), "ResourceGroupNotFound");
  }
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_THAT(alerts.lines(), IsEmpty());
}

// The lines of a log file as "level|message", the time prefix checked and taken off.
std::vector<std::string> logFileLines(const std::filesystem::path& path) {
  static const std::regex prefixed(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\w+)\] (.*)$)");
  std::vector<std::string> out;
  std::ifstream in(path);
  std::smatch m;
  for (std::string text; std::getline(in, text);)
    out.push_back(std::regex_match(text, m, prefixed) ? m[1].str() + "|" + m[2].str()
                                                      : "unprefixed|" + text);
  return out;
}

TEST_F(VnetDiscoveryTest, AlertsReachTheAlertLogOnly) {
  serveFixture();
  const std::string longName = std::string(42, 'c');
  azure_.vnets.push_back(
      vnetJson(azure_.subscription(), "rg-long", longName, "westus", {"10.9.0.0/16"}));
  auto client = azure_.networkClient();
  const auto vnets = azure_.listVnets();

  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("kx-alert-log-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  collab::logconf conf;
  conf.logging_config["handlers"][collab::logconf::MAIN_HANDLER]["filename"] =
      (dir / "kx.log").string();
  conf.logging_config["handlers"][collab::logconf::ALERT_HANDLER]["filename"] =
      (dir / "kx.alert.log").string();
  struct Saved {
    std::shared_ptr<spdlog::logger> logger;
    std::vector<spdlog::sink_ptr> sinks;
    spdlog::level::level_enum level;
  };
  std::vector<Saved> saved;
  for (const auto& [name, entry] : conf.logging_config["loggers"].items()) {
    auto logger = collab::getLogger(name);
    saved.push_back({logger, logger->sinks(), logger->level()});
  }
  conf.apply();
  NetScout::list_vnet(client, {"vnet-hub", longName});
  NetScout::discoverVnet(vnets[0], azure_.credential());
  for (auto& s : saved) {
    s.logger->sinks() = s.sinks;
    s.logger->set_level(s.level);
  }

  const auto mainLines = logFileLines(dir / "kx.log");
  ASSERT_EQ(mainLines.size(), 10u);
  EXPECT_EQ(mainLines.front(), "info|- Discover Vnets:");
  EXPECT_EQ(mainLines.back(), "info|  ergw-hub ExpressRoute (rg-net-prod)");
  for (const auto& line : mainLines) EXPECT_EQ(line.find("**Alert**"), std::string::npos) << line;
  const auto alertLines = logFileLines(dir / "kx.alert.log");
  ASSERT_EQ(alertLines.size(), 3u);
  EXPECT_TRUE(
      alertLines[0].starts_with("warning|**Alert** VNet " + longName + " (rg-long): name too long"))
      << alertLines[0];
  EXPECT_TRUE(alertLines[1].starts_with("warning|**Alert** VNet vnet-hub (rg-net-prod) has 1 "))
      << alertLines[1];
  EXPECT_TRUE(alertLines[2].starts_with("warning|**Alert** VNet vnet-hub (rg-net-prod) peering "))
      << alertLines[2];
  fs::remove_all(dir);
}

TEST(SubnetDiscovery, MainRouteTableCount) {
  const ScopedReservedSubnets reserved({"GatewaySubnet"});
  struct Case {
    const char* name;
    std::vector<std::optional<std::string>> tables;
    Json defaultRouteTable;
    Json migrate;
    int expected;
  };
  const std::optional<std::string> none;
  const std::vector<Case> cases = {
      {"three without a table are capped at two", {none, none, none}, "main", true, 2},
      {"one without a table", {none, std::string("rt-own")}, "main", true, 1},
      {"not migrating counts nothing", {none, none, none}, "main", false, 0},
      {"unset migrate option counts nothing", {none}, "main", nullptr, 0},
      {"no subnets but the reserved one", {}, "main", true, 0},
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
    // Every VNet also has a gateway subnet without a route table: never a record, never counted.
    az::VirtualNetwork vnet = vnetUsingTables(c.tables);
    az::Subnet gateway = vnetUsingTables({none}).subnets[0];
    gateway.name = "GatewaySubnet";
    vnet.subnets.push_back(gateway);
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

TEST(SubnetDiscovery, DisabledLoggingIsSilentAndLeavesDebugAlsoAfterAFailure) {
  const ScopedReservedSubnets reserved({"GatewaySubnet"});
  const az::VirtualNetwork vnet = vnetUsingTables({std::nullopt, std::string("rt")});
  struct Case {
    const char* name;
    bool disable;
    const char* missingOption;  // nullptr: the call succeeds
    spdlog::level::level_enum levelAfter;
  };
  const std::vector<Case> cases = {
      {"enabled leaves the level alone", false, nullptr, spdlog::level::info},
      {"enabled failure leaves the level alone", false, "provider", spdlog::level::info},
      {"disabled ends at debug", true, nullptr, spdlog::level::debug},
      {"disabled failure inside the subnet loop ends at debug", true, "provider",
       spdlog::level::debug},
      {"disabled failure after the loop ends at debug", true, "migrate_non_associated_subnet",
       spdlog::level::debug},
  };
  auto logger = collab::getLogger("netscout");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log("netscout");
    logger->set_level(spdlog::level::info);
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
  az::Subnet web;
  web.name = "web";
  web.address_prefix = "10.0.1.0/24";
  az::Subnet bare;
  bare.name = "bare";  // neither prefix nor prefixes
  subnets.add(collab::Subnet(web));
  subnets.add(collab::Subnet(bare));

  struct Case {
    const char* name;
    Json groups;
    bool valid;
    std::vector<Json> cidrs;
    std::vector<std::string> errors;
  };
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
       {"**Error** subnet group - subnet db not found"}},
      {"names compared exactly",
       Json::array({{{"subnet_name", "Web"}}, {{"subnet_name", 7}}}),
       false,
       {nullptr, nullptr},
       {"**Error** subnet group - subnet Web not found",
        "**Error** subnet group - subnet 7 not found"}},
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
