#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basekit/common.hpp"
#include "collab/errors.hpp"
#include "log_capture.hpp"

namespace basekit {
namespace {

using collab::Json;
using testing::CommonTest;
using testing::logToStderr;
using Lines = std::vector<std::string>;

class ConfigTest : public CommonTest {};

Json globalConfig() {
  return Json::parse(R"({
    "config": {
      "configure_gw_name": true,
      "configure_staging_attachment": "yes",
      "enable_spoke_split_cidr": false,
      "configure_private_subnet": true,
      "configure_subnet_groups": false,
      "configure_shared_route_table_replication": 2,
      "configure_route_table_name": [{"key": "base", "value": "{vnet}-{rtb}"}],
      "configure_main_route_table_prefix": [{"key": "replace"}]
    },
    "corvanta": {"tf_controller_access": {"mode": "SSM"}},
    "terraform": {"tf_cloud": null, "module_name": "mod"},
    "alert": {"check_gateway_existence": true},
    "switch_traffic": {"manage_propagate_gateway_routes": false}
  })");
}

TEST_F(ConfigTest, ExpectYamlTypeWithMatchingLabelHasNoEffect) {
  const collab::ConfigDocument doc("discovery", Json::object());
  Common::expectYamlType(doc, "discovery");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ConfigTest, ExpectYamlTypeEndsTheRunWithStatusOneOnAnotherLabel) {
  const collab::ConfigDocument doc("cleanup", Json::object());
  EXPECT_EXIT(
      {
        logToStderr();
        Common::expectYamlType(doc, "discovery");
      },
      ::testing::ExitedWithCode(1),
      "^\\*\\*Alert\\*\\* Expect YAML for discovery, got cleanup instead!\n$");
}

TEST_F(ConfigTest, ValidateIntAcceptsIntegersAndBooleansOnly) {
  const std::vector<std::pair<Json, bool>> cases = {
      {3, true},    {-1, true},   {true, true},     {false, true},
      {"3", false}, {2.5, false}, {nullptr, false}, {Json::array({1}), false},
  };
  for (const auto& [value, valid] : cases) {
    SCOPED_TRACE(value.dump());
    Common::validateInt("Global", "configure_shared_route_table_replication", value);
    EXPECT_EQ(log_.lines(),
              valid ? Lines{}
                    : Lines{"error|Invalid Global option configure_shared_route_table_replication. "
                            "Valid input is an integer"});
  }
}

TEST_F(ConfigTest, GlobalOptionsAreValidatedDefaultedAndCopied) {
  Json YAML = Json::object();
  Common::readGlobalConfigOption(globalConfig(), YAML);
  EXPECT_EQ(YAML, Json::parse(R"({
    "configure_gw_name": true,
    "configure_staging_attachment": "yes",
    "configure_spoke_advertisement": false,
    "enable_spoke_split_cidr": false,
    "configure_private_subnet": true,
    "configure_subnet_groups": false,
    "configure_shared_route_table_replication": 2,
    "configure_route_table_name": [{"Key": "base", "Value": "{vnet}-{rtb}"}],
    "configure_main_route_table_prefix": [],
    "tf_controller_access": {"mode": "SSM"},
    "tf_cloud": null,
    "module_name": "mod",
    "check_gateway_existence": true,
    "manage_propagate_gateway_routes": false
  })"));
  EXPECT_EQ(log_.lines(), Lines{"error|Invalid Global option configure_staging_attachment: "
                                "'yes'. Valid input is a boolean"});
}

TEST_F(ConfigTest, AbsentIntegerOptionIsNotWrittenAndOddValuesAreReportedButKept) {
  struct Case {
    const char* what;
    Json configured;  // null: the key is left out
    Json stored;
    Lines logged;
  };
  const std::vector<Case> cases = {
      {"absent keeps the earlier value", nullptr, 5, {}},
      {"text",
       "two",
       "two",
       {"error|Invalid Global option configure_shared_route_table_replication. Valid input is "
        "an integer"}},
      {"boolean passes", true, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json data = globalConfig();
    data["config"].erase("configure_shared_route_table_replication");
    data["config"].erase("configure_staging_attachment");
    if (!c.configured.is_null())
      data["config"]["configure_shared_route_table_replication"] = c.configured;
    Json YAML = {{"configure_shared_route_table_replication", 5}};
    Common::readGlobalConfigOption(data, YAML);
    EXPECT_EQ(YAML["configure_shared_route_table_replication"], c.stored);
    EXPECT_EQ(YAML["configure_staging_attachment"], false);
    EXPECT_EQ(log_.lines(), c.logged);
  }

  Json data = globalConfig();
  data["config"].erase("configure_shared_route_table_replication");
  Json fresh = Json::object();
  Common::readGlobalConfigOption(data, fresh);
  EXPECT_FALSE(fresh.contains("configure_shared_route_table_replication"));
}

TEST_F(ConfigTest, GlobalOptionsFailOnMissingSectionsKeepingWhatWasWritten) {
  for (const char* section : {"corvanta", "alert", "config"}) {
    SCOPED_TRACE(section);
    Json data = globalConfig();
    data.erase(section);
    Json YAML = Json::object();
    try {
      Common::readGlobalConfigOption(data, YAML);
      ADD_FAILURE() << "expected a failure";
    } catch (const collab::MissingKeyError& e) {
      EXPECT_EQ(e.key(), section);
    }
    // Whatever came before the failing lookup stays written.
    EXPECT_EQ(YAML.contains("configure_gw_name"), std::string(section) != "config");
    EXPECT_EQ(YAML.contains("tf_cloud"), std::string(section) == "alert");
  }
  Json data = globalConfig();
  data["config"].erase("configure_route_table_name");
  Json YAML = Json::object();
  EXPECT_THROW(Common::readGlobalConfigOption(data, YAML), collab::MissingKeyError);
}

Json subscriptionMap() {
  return Json::parse(R"({
    "sub-1": {"secret_env": "S1", "app_id": "a1", "dir_id": "d1", "sub_id": "sub-1",
              "alias": "p-sub1"},
    "sub-2": {"secret_env": "S2", "app_id": "a2", "dir_id": "d2", "sub_id": "sub-2"}
  })");
}

TEST_F(ConfigTest, AccountOptionsLowerCaseTheTurboFlags) {
  struct Case {
    const char* what;
    Json account;
    Json provider, turbo, max;
  };
  const std::vector<Case> cases = {
      {"record alias",
       {{"subscription_id", "sub-1"},
        {"vwan", false},
        {"turbo", true},
        {"max_turbo_performance", nullptr}},
       "p-sub1",
       "true",
       nullptr},
      {"account name as alias",
       {{"subscription_id", "sub-1"},
        {"vwan", "hub"},
        {"turbo", false},
        {"max_turbo_performance", true},
        {"account_name", "acct"}},
       "acct",
       "false",
       "true"},
      {"provider alias wins",
       {{"subscription_id", "sub-2"},
        {"vwan", nullptr},
        {"turbo", "TRUE"},
        {"max_turbo_performance", 8},
        {"account_name", "acct"},
        {"tf_provider_alias", "p1"}},
       "p1",
       "true",
       "8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json YAML = {{"subscriptionMap", subscriptionMap()}, {"max_turbo_performance", "stale"}};
    Common::readAccountOption(c.account, YAML);
    EXPECT_EQ(YAML["subscriptionId"], c.account["subscription_id"]);
    EXPECT_EQ(YAML["provider"], c.provider);
    EXPECT_EQ(YAML["vwan"], c.account["vwan"]);
    EXPECT_EQ(YAML["turbo"], c.turbo);
    EXPECT_EQ(YAML["max_turbo_performance"], c.max);
  }
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ConfigTest, AccountWithoutSubscriptionRecordOrAliasFailsAfterTheId) {
  const Json noRecord = {{"subscription_id", "sub-9"},
                         {"vwan", false},
                         {"turbo", true},
                         {"max_turbo_performance", nullptr}};
  Json YAML = {{"subscriptionMap", subscriptionMap()}};
  try {
    Common::readAccountOption(noRecord, YAML);
    FAIL() << "expected a failure";
  } catch (const collab::MissingKeyError& e) {
    EXPECT_EQ(e.key(), "sub-9");
  }
  EXPECT_EQ(YAML, (Json{{"subscriptionMap", subscriptionMap()}, {"subscriptionId", "sub-9"}}));

  Json noAlias = noRecord;
  noAlias["subscription_id"] = "sub-2";
  YAML = {{"subscriptionMap", subscriptionMap()}};
  try {
    Common::readAccountOption(noAlias, YAML);
    FAIL() << "expected a failure";
  } catch (const collab::MissingKeyError& e) {
    EXPECT_EQ(e.key(), "alias");
  }
  EXPECT_FALSE(YAML.contains("provider"));

  Json noMap = Json::object();
  EXPECT_THROW(Common::readAccountOption(noRecord, noMap), collab::MissingKeyError);
}

collab::azure::VirtualNetwork vnet(const std::string& name) {
  collab::azure::VirtualNetwork v;
  v.name = name;
  return v;
}

Json vnetEntry() {
  return Json::parse(R"({
    "spoke_gw_size": null, "turbo": null, "inspection": null, "domain": null,
    "max_turbo_performance": null, "spoke_ha": null, "copy_quad_zero_route": null,
    "subnet_groups_inspected": null, "subnet_groups": null,
    "spoke_routes": null, "spoke_advertisement": null,
    "migrate_non_associated_subnet": null, "filter_service_tags": null
  })");
}

TEST_F(ConfigTest, VnetOptionsFillTheMapInOrder) {
  Json entry = vnetEntry();
  entry.update(Json::parse(R"({
    "spoke_gw_name": "spoke-1", "spoke_gw_size": "Standard_D3_v2", "inspection": true,
    "domain": "prod", "spoke_ha": false, "copy_quad_zero_route": true,
    "subnet_groups_inspected": ["a"],
    "subnet_groups": [{"subnet_name": "a", "group": 1}, {"subnet_name": "b", "group": 2}],
    "spoke_routes": ["10.1.0.0/16", "10.2.0.0/16"], "spoke_advertisement": [],
    "migrate_non_associated_subnet": false, "filter_service_tags": ["AzureCloud"]
  })"));
  const Json vnets = {{"vn1", entry}};
  Json YAML = {{"turbo", "true"}, {"max_turbo_performance", nullptr}};
  Common::readVnetOption(vnets, vnet("vn1"), YAML);
  EXPECT_EQ(YAML, Json::parse(R"({
    "turbo": "true",
    "max_turbo_performance": null,
    "spoke_gw_name": "spoke-1",
    "transit_gw_name": "vn1-transit-gw",
    "spoke_gw_tags": {},
    "crvt_gw_size": "Standard_D3_v2",
    "inspection": "true",
    "vnet_name": "vn1",
    "domain": "prod",
    "spoke_ha": "false",
    "copy_quad_zero_route": true,
    "subnet_groups_inspected": ["a"],
    "subnet_groups": [{"subnet_name": "a", "group": 1}, {"subnet_name": "b", "group": 2}],
    "subnet_in_subnet_groups": ["a", "b"],
    "spoke_advertisement": "",
    "spoke_routes": "10.1.0.0/16,10.2.0.0/16",
    "migrate_non_associated_subnet": false,
    "filter_service_tags": ["AzureCloud"]
  })"));
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ConfigTest, VnetOptionsOverrideOrKeepTheAccountValues) {
  const Lines turboError = {
      "error|  **Error** max_turbo_performance can only be set when turbo is set to True"};
  struct Case {
    const char* what;
    Json accountTurbo, accountMax;  // as readAccountOption left them
    Json vnetValues;                // merged into the VNet entry
    Json turbo, max, gwSize, spokeHa;
    Lines logged;
  };
  const std::vector<Case> cases = {
      {"account turbo kept",
       "true",
       nullptr,
       Json::object(),
       "true",
       nullptr,
       "old-size",
       "kept-ha",
       {}},
      {"vnet turbo wins",
       "true",
       nullptr,
       {{"turbo", false}},
       "false",
       nullptr,
       "old-size",
       "kept-ha",
       {}},
      {"account max with turbo off", "false", "4", Json::object(), "false", "4", "old-size",
       "kept-ha", turboError},
      {"vnet max with turbo off",
       "true",
       nullptr,
       {{"turbo", false}, {"max_turbo_performance", 2}},
       "false",
       "2",
       "old-size",
       "kept-ha",
       turboError},
      {"empty size keeps the old one",
       "true",
       nullptr,
       {{"spoke_gw_size", ""}},
       "true",
       nullptr,
       "old-size",
       "kept-ha",
       {}},
      {"zero size keeps the old one",
       "true",
       nullptr,
       {{"spoke_gw_size", 0}},
       "true",
       nullptr,
       "old-size",
       "kept-ha",
       {}},
      {"vnet spoke_ha",
       "true",
       nullptr,
       {{"spoke_ha", true}, {"spoke_gw_size", "D2"}},
       "true",
       nullptr,
       "D2",
       "true",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json entry = vnetEntry();
    entry.update(c.vnetValues);
    Json YAML = {{"turbo", c.accountTurbo},
                 {"max_turbo_performance", c.accountMax},
                 {"crvt_gw_size", "old-size"},
                 {"spoke_ha", "kept-ha"}};
    Common::readVnetOption(Json{{"vn1", entry}}, vnet("vn1"), YAML);
    EXPECT_EQ(YAML["turbo"], c.turbo);
    EXPECT_EQ(YAML["max_turbo_performance"], c.max);
    EXPECT_EQ(YAML["crvt_gw_size"], c.gwSize);
    EXPECT_EQ(YAML["spoke_ha"], c.spokeHa);
    EXPECT_EQ(YAML["inspection"], nullptr);
    EXPECT_EQ(YAML["subnet_in_subnet_groups"], Json::array());
    EXPECT_EQ(YAML["filter_service_tags"], Json::array());
    EXPECT_EQ(YAML["spoke_routes"], nullptr);
    EXPECT_EQ(log_.lines(), c.logged);
  }
}

TEST_F(ConfigTest, VnetOptionsFailOnAMissingVnetOrKey) {
  Json YAML = {{"turbo", "true"}, {"max_turbo_performance", nullptr}};
  try {
    Common::readVnetOption(Json{{"vn1", vnetEntry()}}, vnet("vn2"), YAML);
    FAIL() << "expected a failure";
  } catch (const collab::MissingKeyError& e) {
    EXPECT_EQ(e.key(), "vn2");
  }

  Json entry = vnetEntry();
  entry.erase("copy_quad_zero_route");
  YAML = {{"turbo", "true"}, {"max_turbo_performance", nullptr}};
  try {
    Common::readVnetOption(Json{{"vn1", entry}}, vnet("vn1"), YAML);
    FAIL() << "expected a failure";
  } catch (const collab::MissingKeyError& e) {
    EXPECT_EQ(e.key(), "copy_quad_zero_route");
  }
  EXPECT_EQ(YAML["vnet_name"], "vn1");  // written before the failing step
  EXPECT_FALSE(YAML.contains("subnet_groups"));

  entry = vnetEntry();
  entry["subnet_groups"] = Json::array({{{"group", 1}}});
  EXPECT_THROW(Common::readVnetOption(Json{{"vn1", entry}}, vnet("vn1"), YAML),
               collab::MissingKeyError);
}

}  // namespace
}  // namespace basekit
