// From a configuration file to the VNet option maps, the way the driver goes: load and check
// the file, build the subscription map, then fill one option map per VNet in three layers
// (run, account, VNet).  Runs the shipped example and a minimal file through the loader and
// the readers together, so a default the loader leaves out, or a shape the readers do not
// expect, shows up here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "basekit/common.hpp"
#include "collab/config.hpp"
#include "collab/config_error.hpp"
#include "collab/logconf.hpp"
#include "log_capture.hpp"

namespace basekit {
namespace {

namespace fs = std::filesystem;
using collab::Json;

const std::string kExample = std::string(KX_SOURCE_DIR) + "/examples/discovery.yaml";
const std::string kMinimal =
    std::string(KX_SOURCE_DIR) + "/basekit/tests/data/minimal_discovery.yaml";

// Kinds of value that must not be confused in an option map: "true" is not true, 2 is not 2.0.
std::string kindOf(const Json& v) {
  if (v.is_number_integer()) return "integer";  // signed and unsigned alike
  return v.type_name();
}

// Reports every difference between two option maps: keys missing or extra, values or kinds
// that differ.  Map order is not compared; list order is.
void expectSameValue(const Json& actual, const Json& expected, const std::string& where) {
  if (kindOf(actual) != kindOf(expected)) {
    ADD_FAILURE() << where << ": " << kindOf(actual) << " " << actual.dump() << ", expected "
                  << kindOf(expected) << " " << expected.dump();
    return;
  }
  if (expected.is_object()) {
    for (const auto& [key, value] : expected.items()) {
      if (!actual.contains(key))
        ADD_FAILURE() << where << ": missing key '" << key << "' (expected " << value.dump() << ")";
      else
        expectSameValue(actual[key], value, where + "." + key);
    }
    for (const auto& [key, value] : actual.items())
      if (!expected.contains(key))
        ADD_FAILURE() << where << ": unexpected key '" << key << "' = " << value.dump();
  } else if (expected.is_array()) {
    if (actual.size() != expected.size()) {
      ADD_FAILURE() << where << ": " << actual.dump() << ", expected " << expected.dump();
      return;
    }
    for (std::size_t i = 0; i < expected.size(); ++i)
      expectSameValue(actual[i], expected[i], where + "[" + std::to_string(i) + "]");
  } else if (actual != expected) {
    ADD_FAILURE() << where << ": " << actual.dump() << ", expected " << expected.dump();
  }
}

collab::azure::VirtualNetwork vnetNamed(const std::string& name) {
  collab::azure::VirtualNetwork vnet;
  vnet.name = name;
  return vnet;
}

// The driver's per-VNet sequence on a fresh option map, for every VNet of every account.
// Result: VNet name to its option map.
std::map<std::string, Json> fillOptionMaps(const Json& data, const Json& subscriptionMap) {
  std::map<std::string, Json> maps;
  for (const Json& account : data["account_info"]) {
    const Json vnets = Common::getSubscriptionVnets(account);
    for (const auto& [name, entry] : vnets.items()) {
      Json YAML = Json::object();
      Common::readGlobalConfigOption(data, YAML);
      YAML["subscriptionMap"] = subscriptionMap;
      Common::readAccountOption(account, YAML);
      Common::readVnetOption(vnets, vnetNamed(name), YAML);
      maps[name] = std::move(YAML);
    }
  }
  return maps;
}

class ConfigToOptionsTest : public testing::CommonTest {
 protected:
  void SetUp() override {
    CommonTest::SetUp();
    scratch_ = fs::temp_directory_path() /
               ("kx-config-to-options-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(scratch_);
    fs::create_directories(scratch_);
    savedLogging_ = collab::logconf::get().logging_config;
  }
  void TearDown() override {
    collab::logconf::get().logging_config = savedLogging_;
    fs::remove_all(scratch_);
  }

  std::string write(const std::string& name, const std::string& text) {
    const fs::path path = scratch_ / name;
    std::ofstream(path) << text;
    return path.string();
  }

  fs::path scratch_;
  Json savedLogging_;
};

// The run-wide layer of the example, the same for every VNet.
Json exampleGlobalOptions() {
  return Json::parse(R"({
    "configure_gw_name": true,
    "configure_staging_attachment": false,
    "configure_spoke_advertisement": true,
    "enable_spoke_split_cidr": false,
    "configure_private_subnet": true,
    "configure_subnet_groups": false,
    "configure_shared_route_table_replication": 2,
    "configure_route_table_name": [
      {"Key": "base", "Value": "{vnet}-{snet}-rt"}, {"Key": "replace", "Value": "_,-"}],
    "configure_main_route_table_prefix": [{"Key": "base", "Value": "{vnet}-main-"}],
    "tf_controller_access": false,
    "tf_cloud": false,
    "module_name": "corvanta-spoke",
    "check_gateway_existence": true,
    "manage_propagate_gateway_routes": false
  })");
}

Json exampleSubscriptionMap() {
  return Json::parse(R"({
    "corvanta": {
      "secret_env": "ARM_CLIENT_SECRET_CORVANTA", "secret_data_src": "",
      "app_id": "aaaaaaaa-0000-0000-0000-00000000000c",
      "dir_id": "dddddddd-0000-0000-0000-000000000001", "sub_id": "corvanta", "apps": "corvanta"},
    "11111111-2222-3333-4444-555555555555": {
      "secret_env": "ARM_CLIENT_SECRET_PROD", "secret_data_src": "vault",
      "app_id": "aaaaaaaa-0000-0000-0000-000000000001",
      "dir_id": "dddddddd-0000-0000-0000-000000000001",
      "sub_id": "11111111-2222-3333-4444-555555555555", "apps": "prod"}
  })");
}

// Hand-checked option maps of the example's three VNets (the global layer added below).
std::map<std::string, Json> exampleVnetOptions() {
  std::map<std::string, Json> maps;
  // Account prod: turbo true, max_turbo_performance false, alias from tf_provider_alias.
  maps["hub-vnet"] = Json::parse(R"({
    "subscriptionId": "11111111-2222-3333-4444-555555555555",
    "provider": "prod",
    "vwan": false,
    "turbo": "true",
    "max_turbo_performance": "false",
    "spoke_gw_name": "hub-vnet-spoke-gw",
    "transit_gw_name": "hub-vnet-transit-gw",
    "spoke_gw_tags": {"owner": "network-team", "env": "prod"},
    "crvt_gw_size": "Standard_D3_v2",
    "inspection": "true",
    "vnet_name": "hub-vnet",
    "domain": "prod",
    "spoke_ha": "true",
    "copy_quad_zero_route": false,
    "subnet_groups_inspected": false,
    "subnet_groups": [{"subnet_name": "web"}, {"subnet_name": "app"}],
    "subnet_in_subnet_groups": ["web", "app"],
    "spoke_advertisement": "10.1.0.0/16",
    "spoke_routes": "10.1.0.0/16,10.2.0.0/16",
    "migrate_non_associated_subnet": true,
    "filter_service_tags": ["AzureCloud"]
  })");
  // No options of its own: the account's turbo settings, no size, no spoke_ha key at all.
  maps["spoke-vnet"] = Json::parse(R"({
    "subscriptionId": "11111111-2222-3333-4444-555555555555",
    "provider": "prod",
    "vwan": false,
    "turbo": "true",
    "max_turbo_performance": "false",
    "spoke_gw_name": "spoke-vnet-spoke-gw",
    "transit_gw_name": "spoke-vnet-transit-gw",
    "spoke_gw_tags": {},
    "inspection": null,
    "vnet_name": "spoke-vnet",
    "domain": null,
    "copy_quad_zero_route": false,
    "subnet_groups_inspected": false,
    "subnet_groups": null,
    "subnet_in_subnet_groups": [],
    "spoke_advertisement": null,
    "spoke_routes": null,
    "migrate_non_associated_subnet": false,
    "filter_service_tags": []
  })");
  // Account dev: served by the corvanta credentials, alias from account_name, turbo false;
  // the VNet turns turbo on and sets its own maximum.
  maps["dev-vnet"] = Json::parse(R"({
    "subscriptionId": "66666666-7777-8888-9999-000000000000",
    "provider": "dev-account",
    "vwan": false,
    "turbo": "true",
    "max_turbo_performance": "true",
    "spoke_gw_name": "dev-spoke",
    "transit_gw_name": "transit-eastus",
    "spoke_gw_tags": {},
    "inspection": "false",
    "vnet_name": "dev-vnet",
    "domain": "dev",
    "copy_quad_zero_route": true,
    "subnet_groups_inspected": true,
    "subnet_groups": [{"subnet_name": "build"}],
    "subnet_in_subnet_groups": ["build"],
    "spoke_advertisement": "10.30.0.0/16,10.31.0.0/16",
    "spoke_routes": null,
    "migrate_non_associated_subnet": false,
    "filter_service_tags": ["Storage", "Sql"]
  })");
  return maps;
}

TEST_F(ConfigToOptionsTest, ExampleFillsEveryVnetOptionMap) {
  const Json data = Common::convert_yaml_to_json(kExample);
  const collab::ConfigDocument doc = collab::load_from_yaml(kExample);
  EXPECT_EQ(data, doc.data());  // handed on exactly as loaded
  Common::expectYamlType(doc, std::string(collab::kDiscoveryConfigKind));

  const Json subscriptionMap = Common::getAzureSubscriptionInfo(data);
  expectSameValue(subscriptionMap, exampleSubscriptionMap(), "subscriptionMap");

  const auto maps = fillOptionMaps(data, subscriptionMap);
  auto expected = exampleVnetOptions();
  ASSERT_EQ(maps.size(), expected.size());
  for (auto& [name, options] : expected) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(maps.count(name));
    options.update(exampleGlobalOptions());
    options["subscriptionMap"] = subscriptionMap;
    expectSameValue(maps.at(name), options, name);
  }
  // A consistent example: no warning from the loader, no error from the readers.
  EXPECT_EQ(log_.lines(), std::vector<std::string>{});
}

TEST_F(ConfigToOptionsTest, ExampleFoldersAndAccountQuestions) {
  Json data = Common::convert_yaml_to_json(kExample);
  const Json subscriptionMap = Common::getAzureSubscriptionInfo(data);
  const Json& accounts = data["account_info"];

  // account_folder "name": the folder is named by the account name getSubscription sets.
  const struct {
    const Json& account;
    const char* folder;
    bool mainTf;
  } cases[] = {{accounts[0], "./out/terraform/prod-account", true},
               {accounts[1], "./out/terraform/dev-account", false}};
  for (const auto& c : cases) {
    const auto sub = c.account["subscription_id"].get<std::string>();
    SCOPED_TRACE(sub);
    const auto record = Common::getSubscription(subscriptionMap, sub, c.account);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ((*record)["sub_id"], sub);
    EXPECT_EQ(Common::getTargetLocation(*record, data), c.folder);
    EXPECT_EQ(Common::isMainTfRequired(data, sub), c.mainTf);
  }
  EXPECT_EQ(Common::getAccountName(accounts[1]), "dev-account");
  EXPECT_EQ(Common::getFilterCidrs(accounts[0]), Json::parse(R"(["100.64.0.0/10"])"));
  EXPECT_EQ(Common::getFilterCidrs(accounts[1]), Json::array());
  EXPECT_EQ(Common::getControllerPrivateIp(data), "10.10.0.4");
  EXPECT_EQ(Common::getTransitPeeringMap(data), Json::parse(R"({"transit-eastus": ["hub-vnet"]})"));
  EXPECT_FALSE(Common::getSWDeleteVnetLock(data));
  EXPECT_TRUE(Common::getCUDeleteVnetLock(data));
  EXPECT_EQ(Common::getArmAccountName(data), "corvanta-azure");
  EXPECT_EQ(Common::getPreStageDefaultPathbook(data), "corvanta-default");

  EXPECT_EQ(Common::getTmpFolderId(data, kExample), "discovery-yaml");
  // By VNet: the first VNet the file lists for the first account, read from the loaded map.
  data["terraform"]["tmp_folder_id"] = "VNET_ID";
  EXPECT_EQ(Common::getTmpFolderId(data, kExample), "hub-vnet");

  EXPECT_EQ(Common::getLogFolder(data), "./out");
  // The example's log folder is relative to the working folder; point it at scratch space.
  data["log_output"] = (scratch_ / "out").string();
  auto& conf = Common::intLogLocationMgmtVnetCidr(data);
  const std::string logFolder = (scratch_ / "out" / "log").string();
  EXPECT_TRUE(fs::is_directory(logFolder));
  EXPECT_EQ(conf.logging_config["handlers"]["logConsoleHandler"]["filename"],
            logFolder + "/kx.log");
  EXPECT_EQ(conf.logging_config["handlers"]["alertHandler"]["filename"],
            logFolder + "/kx.alert.log");
  EXPECT_EQ(log_.lines(), std::vector<std::string>{});
}

TEST_F(ConfigToOptionsTest, MinimalConfigurationRunsOnDefaults) {
  const Json data = Common::convert_yaml_to_json(kMinimal);
  Common::expectYamlType(collab::load_from_yaml(kMinimal), "discovery");
  const Json subscriptionMap = Common::getAzureSubscriptionInfo(data);
  const auto maps = fillOptionMaps(data, subscriptionMap);
  ASSERT_EQ(maps.size(), 1u);
  Json expected = Json::parse(R"({
    "configure_gw_name": false,
    "configure_staging_attachment": false,
    "configure_spoke_advertisement": false,
    "enable_spoke_split_cidr": false,
    "configure_private_subnet": false,
    "configure_subnet_groups": false,
    "configure_route_table_name": [],
    "configure_main_route_table_prefix": [],
    "tf_controller_access": false,
    "tf_cloud": false,
    "module_name": null,
    "check_gateway_existence": true,
    "manage_propagate_gateway_routes": false,
    "subscriptionId": "99999999-0000-0000-0000-000000000009",
    "provider": "lab",
    "vwan": false,
    "turbo": "false",
    "max_turbo_performance": null,
    "spoke_gw_name": "lab-vnet-spoke-gw",
    "transit_gw_name": "lab-vnet-transit-gw",
    "spoke_gw_tags": {},
    "inspection": null,
    "vnet_name": "lab-vnet",
    "domain": null,
    "copy_quad_zero_route": false,
    "subnet_groups_inspected": false,
    "subnet_groups": null,
    "subnet_in_subnet_groups": [],
    "spoke_advertisement": null,
    "spoke_routes": null,
    "migrate_non_associated_subnet": false,
    "filter_service_tags": []
  })");
  expected["subscriptionMap"] = subscriptionMap;
  expectSameValue(maps.at("lab-vnet"), expected, "lab-vnet");

  const auto record = Common::getSubscription(
      subscriptionMap, data["account_info"][0]["subscription_id"].get<std::string>(),
      data["account_info"][0]);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(Common::getTargetLocation(*record, data),
            "./terraform/99999999-0000-0000-0000-000000000009");
  EXPECT_EQ(Common::getTmpFolderId(data, kMinimal), std::nullopt);
  EXPECT_EQ(Common::getLogFolder(data), "./");
  EXPECT_FALSE(Common::isMainTfRequired(data, "99999999-0000-0000-0000-000000000009"));
  EXPECT_EQ(Common::getTransitPeeringMap(data), Json::object());
  EXPECT_EQ(log_.lines(), std::vector<std::string>{});
}

TEST_F(ConfigToOptionsTest, TmpFolderByVnetTakesTheFirstVnetTheFileLists) {
  // Not in name order, and the first account's first VNet has no options (an empty entry).
  const std::string path = write("order.yaml",
                                 "kind: discovery\n"
                                 "terraform:\n"
                                 "  tmp_folder_id: VNET_ID\n"
                                 "account_info:\n"
                                 "  - subscription_id: s1\n"
                                 "    vnets:\n"
                                 "      zeta-vnet:\n"
                                 "      alpha-vnet: {turbo: true}\n"
                                 "  - subscription_id: s2\n"
                                 "    vnets:\n"
                                 "      aaa-vnet:\n");
  const Json data = Common::convert_yaml_to_json(path);
  EXPECT_EQ(Common::getTmpFolderId(data, path), "zeta-vnet");
  EXPECT_EQ(data["account_info"][0]["vnets"]["alpha-vnet"]["vnet_name"], "alpha-vnet");

  // An account without VNets has no first VNet.
  const Json none =
      Common::convert_yaml_to_json(write("none.yaml",
                                         "kind: discovery\nterraform: {tmp_folder_id: VNET_ID}\n"
                                         "account_info:\n  - subscription_id: s1\n"));
  EXPECT_THROW(Common::getTmpFolderId(none, "none.yaml"), collab::IndexRangeError);
}

TEST_F(ConfigToOptionsTest, UnusableFilesFailNamingTheFile) {
  const std::string vnetHead =
      "kind: discovery\n"
      "account_info:\n"
      "  - subscription_id: s1\n"
      "    vnets:\n"
      "      hub:\n";
  const struct {
    const char* what;
    std::string text;  // empty: no file at all
    const char* keyPath;
    int line;
  } cases[] = {
      {"missing file", "", "", 0},
      {"not YAML", "kind: discovery\nconfig: [unclosed\n", "", 0},
      // The base class hands gateway tags on as a map; a list of tag records would only fail
      // later, in readVnetOption.
      {"gateway tags as tag records",
       vnetHead + "        spoke_gw_tags:\n          - {Key: owner, Value: ops}\n",
       "account_info[0].vnets.hub.spoke_gw_tags", 7},
      {"vnet_name other than the entry's name", vnetHead + "        vnet_name: spoke\n",
       "account_info[0].vnets.hub.vnet_name", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path =
        c.text.empty() ? (scratch_ / "absent.yaml").string() : write("bad.yaml", c.text);
    try {
      Common::convert_yaml_to_json(path);
      ADD_FAILURE() << "no ConfigError";
    } catch (const collab::ConfigError& e) {
      EXPECT_EQ(e.file(), path);
      EXPECT_EQ(std::string(e.what()).rfind(path + ":", 0), 0u) << e.what();
      EXPECT_EQ(e.keyPath(), c.keyPath) << e.what();
      if (c.line) {
        EXPECT_EQ(e.line(), c.line) << e.what();
      }
    }
  }
  // Giving vnet_name as the entry's own name is allowed.
  const Json data =
      Common::convert_yaml_to_json(write("ok.yaml", vnetHead + "        vnet_name: hub\n"));
  EXPECT_EQ(data["account_info"][0]["vnets"]["hub"]["vnet_name"], "hub");
}

}  // namespace
}  // namespace basekit
