// Route-table discovery against a loopback Azure.  The scenarios in data/route_tables/ hold
// real-shaped ARM route tables and gateways, and per run the VNet, its configuration file (the
// option map is filled from it the way the driver fills it), the expected log lines
// ("level|text") and a summary of every table returned.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "basekit/common.hpp"
#include "collab/azure/arm_error.hpp"
#include "collab/config.hpp"
#include "collab/errors.hpp"
#include "fake_azure.hpp"
#include "netscout/net_scout.hpp"
#include "support/arm_json.hpp"

namespace netscout {
namespace {

using namespace netscout::testing;
using basekit::Common;
using Result = std::map<std::string, pathbook::CvtPathbooks>;

const std::string kData = std::string(KX_SOURCE_DIR) + "/netscout/tests/data/route_tables/";

// The option map of VNet `vnet` as the driver fills it from the configuration file `path`,
// which becomes the run's context: the run, account and VNet layers, then the three options
// discovery reads that no reader writes.
Json optionMap(const std::string& path, const std::string& vnet) {
  collab::ConfigDocument doc = collab::load_from_yaml(path);
  const Json& data = doc.data();
  Json options = Json::object();
  Common::readGlobalConfigOption(data, options);
  options["subscriptionMap"] = Common::getAzureSubscriptionInfo(data);
  const Json& account = data["account_info"][0];
  Common::readAccountOption(account, options);
  const Json vnets = Common::getSubscriptionVnets(account);
  Common::readVnetOption(vnets, vnetObject(vnet), options);
  options["filter_cidrs"] = Common::getFilterCidrs(account);
  options["route_table_tags"] = vnets[vnet]["route_table_tags"];
  options["default_route_table"] = Common::getPreStageDefaultPathbook(data);
  collab::YamlContext::get().set(std::move(doc));
  return options;
}

// What the migration needs of a discovered table, compactly.
Json summary(const pathbook::Pathbook& pb) {
  Json groups = Json::array();
  for (const auto& info : pb.getSubnetGwGroupInfos())
    groups.push_back(info.subnetName + ":" + info.group);
  Json routes = Json::array();
  for (const auto& [id, r] : pb.routes)
    routes.push_back(id + " " + r.dest + " " + r.type + " " + r.target.value_or("None"));
  Json tags = Json::object();
  for (const auto& [key, value] : pb.tags) tags[key] = value;
  return {{"subnet", pb.subnet.value_or("None")},
          {"region", pb.region.value_or("None")},
          {"gw_groups", groups},
          {"disable_bgp_propagation", pb.disableBgpPropagation},
          {"subnet_group_use_only", pb.subnet_group_use_only},
          {"routes", routes},
          {"tags", tags}};
}

class RouteTableDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    savedReserved_ = Common::AZURE_SUBNET;
    Common::AZURE_SUBNET = {"GatewaySubnet", "AzureFirewallSubnet", "AzureBastionSubnet"};
  }
  void TearDown() override { Common::AZURE_SUBNET = savedReserved_; }

  std::vector<std::string> savedReserved_;
};

class RouteTableScenario : public RouteTableDiscovery,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(RouteTableScenario, LogAndTablesAsExpected) {
  const Json scenario = Json::parse(std::ifstream(kData + GetParam() + ".json"));
  FakeAzure azure;
  azure.tables = scenario.at("tables");
  azure.gateways = scenario.value("gateways", Json::array());
  azure.start();
  for (const Json& run : scenario.at("runs")) {
    const std::string vnet = run.at("vnet");
    SCOPED_TRACE(vnet + " with " + run.at("config").dump() + " " +
                 run.value("options", Json()).dump());
    // No configuration: an empty option map, which only a run reading no option survives.
    Json options = run.at("config").is_null()
                       ? Json::object()
                       : optionMap(kData + run.at("config").get<std::string>(), vnet);
    options.update(run.value("options", Json::object()));  // a hand-made map

    kx::test::CapturedLog log("netscout");
    const Result result =
        NetScout::discover_route_tables(azure.credential(), options, vnetObject(vnet));
    std::vector<std::string> lines;
    for (const auto& [level, text] : linesOf(log))
      lines.push_back(std::string(spdlog::level::to_string_view(level).data()) + "|" + text);
    EXPECT_THAT(lines, ::testing::ElementsAreArray(run.at("log").get<std::vector<std::string>>()));

    Json tables = Json::object();
    for (const auto& [key, books] : result) {
      EXPECT_EQ(key, vnet);
      books.forEach([&](const pathbook::Pathbook& pb) { tables[pb.getId()] = summary(pb); });
    }
    EXPECT_EQ(tables.dump(2), run.at("tables").dump(2));
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RouteTableScenario,
                         ::testing::Values("skips", "empty_subscription", "shared_table",
                                           "bgp_propagation", "routes", "private_subnet",
                                           "subnet_groups", "dual_stack", "incomplete"));

TEST_F(RouteTableDiscovery, AFailurePartWayEndsTheCallWithNothingReturned) {
  const Json good = kx::test::routeTableJson(kSub, "rg-net", "rt-good", 2);
  const Json twin = kx::test::routeTableJson(kSub, "rg-other", "rt-good", 0);
  const Json plain = optionMap(kData + "plain.yaml", "vnet1");
  Json badFilter = plain;
  badFilter["filter_cidrs"] = Json::array({"10.0.0.1/8"});  // host bits set
  Json noTags = plain;
  noTags.erase("route_table_tags");
  const struct {
    const char* what;
    Json tables;
    std::optional<std::size_t> refusedPage;
    const Json& options;
    std::size_t linesBefore;  // logged before the failure
  } cases[] = {
      {"second list page refused", {good, good}, 2, plain, 0},
      {"a filter that is not a network", {good}, std::nullopt, badFilter, 3},
      {"an option missing from the map", {good}, std::nullopt, noTags, 3},
      {"two tables of one name in two groups", {good, twin}, std::nullopt, plain, 13},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeAzure azure;
    azure.tables = c.tables;
    azure.pageSize = 1;
    azure.refusedPage = c.refusedPage;
    azure.start();
    kx::test::CapturedLog log("netscout");
    Result result;
    try {
      result = NetScout::discover_route_tables(azure.credential(), c.options, vnetObject("vnet1"));
      ADD_FAILURE() << "no failure";
    } catch (const az::ArmError& e) {
      EXPECT_EQ(e.code(), "AuthorizationFailed");
    } catch (const collab::MissingKeyError& e) {
      EXPECT_EQ(e.key(), "route_table_tags");
    } catch (const collab::InvalidValueError&) {
    }
    EXPECT_TRUE(result.empty());
    EXPECT_EQ(log.lines().size(), c.linesBefore);
  }
}

TEST_F(RouteTableDiscovery, OneListingAndOneGraphQueryPerCallWhateverTheTables) {
  FakeAzure azure;
  for (int t = 0; t < 12; ++t)
    azure.tables.push_back(kx::test::routeTableJson(kSub, "rg-net", "rt-" + std::to_string(t), 20));
  azure.pageSize = 5;  // three pages
  azure.gateways = {gatewayJson("vpngw", "rg-net", "Vpn", {subnetId("vnet1", "GatewaySubnet")})};
  azure.start();
  const Json options = optionMap(kData + "plain.yaml", "vnet1");
  for (int call = 0; call < 2; ++call) {  // nothing is kept between calls
    azure.clearRequests();
    const Result result =
        NetScout::discover_route_tables(azure.credential(), options, vnetObject("vnet1"));
    ASSERT_EQ(result.at("vnet1").size(), 12u);
    EXPECT_EQ(result.at("vnet1").get("rt-11")->routes.size(), 20u);
    EXPECT_EQ(azure.requestsTo("GET", "/routeTables") + azure.requestsTo("GET", "/rt-page"), 3u);
    EXPECT_EQ(azure.requestsTo("POST", "/providers/Microsoft.ResourceGraph/resources"), 1u);
    EXPECT_EQ(azure.requestCount(), 4u);
  }
}

}  // namespace
}  // namespace netscout
