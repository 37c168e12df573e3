// Loading good configuration files: scalar typing, document order, defaults, warnings, the
// shipped example and the run's context.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "collab/config.hpp"
#include "collab/log.hpp"
#include "config_test_support.hpp"

namespace collab {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class ConfigLoaderTest : public testing::ConfigFileTest {};

std::vector<std::string> keysOf(const Json& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map.items()) keys.push_back(key);
  return keys;
}

TEST_F(ConfigLoaderTest, ScalarsFollowTheYaml12CoreSchema) {
  struct Case {
    const char* yaml;
    Json expected;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"true", true},
      {"True", true},
      {"TRUE", true},
      {"false", false},
      {"False", false},
      {"FALSE", false},
      {"yes", "yes"},
      {"No", "No"},
      {"on", "on"},
      {"off", "off"},
      {"y", "y"},
      {"tRUE", "tRUE"},
      {"null", nullptr},
      {"Null", nullptr},
      {"NULL", nullptr},
      {"~", nullptr},
      {"", nullptr},
      {"nuLL", "nuLL"},
      {"12", 12},
      {"-7", -7},
      {"+5", 5},
      {"017", 17},
      {"0o17", 15},
      {"0x1F", 31},
      {"0x1f", 31},
      {"0o8", "0o8"},
      {"1_000", "1_000"},
      {"0b101", "0b101"},
      {"12:30", "12:30"},
      {"2024-01-01", "2024-01-01"},
      {"18446744073709551615", 18446744073709551615ull},
      {"-9223372036854775808", INT64_MIN},
      {"1.5", 1.5},
      {"-0.25", -0.25},
      {"1e3", 1000.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"1.5E-1", 0.15},
      {".inf", inf},
      {"-.Inf", -inf},
      {"+.INF", inf},
      {"1e", "1e"},
      {"inf", "inf"},
      {"\"true\"", "true"},
      {"'12'", "12"},
      {"\"\"", ""},
      {"\"null\"", "null"},
      {"!!str 12", "12"},
      {"!!int \"12\"", 12},
      {"!!float 3", 3.0},
      {"!!bool \"true\"", true},
      {"!!null ''", nullptr},
      {"|\n  block\n", "block\n"},
      {">-\n  folded\n  text\n", "folded text"},
      {"1e999", inf},
      {"-1e999", -inf},
      {"1e-999", 0.0},
      {"1.0e+400", inf},
      {"10.1.0.0/16", "10.1.0.0/16"},
      {"Standard_D3_v2", "Standard_D3_v2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.yaml);
    const auto path = write(std::string("kind: scratch\nvalue: ") + c.yaml + "\n");
    const Json data = dump_to_dict(load_from_yaml(path));
    const Json& value = data.at("value");
    EXPECT_EQ(value.type(), c.expected.type()) << value.dump();
    EXPECT_EQ(value, c.expected);
  }
  // Past the range of a double without an exponent: by magnitude, not by the exponent alone.
  const auto longNumbers = write("kind: scratch\nbig: " + std::string(400, '1') + ".5\ntiny: 0." +
                                 std::string(400, '0') + "1\n");
  const Json numbers = dump_to_dict(load_from_yaml(longNumbers));
  EXPECT_EQ(numbers.at("big"), inf);
  EXPECT_EQ(numbers.at("tiny"), 0.0);

  const auto path = write("kind: scratch\nvalue: .NaN\n");
  const Json nan = dump_to_dict(load_from_yaml(path)).at("value");
  ASSERT_TRUE(nan.is_number_float());
  EXPECT_TRUE(std::isnan(nan.get<double>()));
}

TEST_F(ConfigLoaderTest, UnknownKindLoadsUncheckedWithAWarning) {
  const auto path = write("kind: cleanup\nanything: [1, {a: b}]\n");
  const ConfigDocument doc = load_from_yaml(path);
  EXPECT_EQ(doc.getLabel(), "cleanup");
  EXPECT_EQ(doc.data().at("anything"), Json::parse(R"([1, {"a": "b"}])"));
  ASSERT_EQ(doc.warnings().size(), 1u);
  EXPECT_EQ(doc.warnings()[0].keyPath, "kind");
  EXPECT_THAT(doc.warnings()[0].message, HasSubstr("not checked"));
  EXPECT_FALSE(doc.data().contains("config"));  // no defaults without a schema
}

TEST_F(ConfigLoaderTest, DocumentOrderIsKeptAndDefaultsFollow) {
  const auto path = write(
      "account_info:\n"
      "  - vnets:\n"
      "      vnet-z: {turbo: true}\n"
      "      vnet-a: {}\n"
      "      vnet-m:\n"
      "    subscription_id: s1\n"
      "log_output: /var/out\n"
      "kind: discovery\n"
      "config:\n"
      "  configure_subnet_groups: true\n"
      "  configure_gw_name: true\n");
  const Json data = dump_to_dict(load_from_yaml(path));
  const auto top = keysOf(data);
  ASSERT_GE(top.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(top.begin(), top.begin() + 4),
              ElementsAre("account_info", "log_output", "kind", "config"));
  EXPECT_THAT(keysOf(data["account_info"][0]["vnets"]), ElementsAre("vnet-z", "vnet-a", "vnet-m"));
  const auto account = keysOf(data["account_info"][0]);
  EXPECT_EQ(account[0], "vnets");
  EXPECT_EQ(account[1], "subscription_id");
  const auto config = keysOf(data["config"]);
  EXPECT_EQ(config[0], "configure_subnet_groups");
  EXPECT_EQ(config[1], "configure_gw_name");
  EXPECT_EQ(config[2], "configure_staging_attachment");  // first default, in schema order
  EXPECT_EQ(data["account_info"][0]["vnets"]["vnet-z"]["turbo"], true);
}

TEST_F(ConfigLoaderTest, MinimalConfigurationGetsEveryDefault) {
  const ConfigDocument doc = load_from_yaml(write("kind: discovery\n"));
  EXPECT_EQ(doc.getLabel(), "discovery");
  EXPECT_TRUE(doc.warnings().empty());
  const Json expected = Json::parse(R"({
    "kind": "discovery",
    "log_output": "./",
    "config": {
      "configure_gw_name": false, "configure_staging_attachment": false,
      "configure_spoke_advertisement": false, "enable_spoke_split_cidr": false,
      "configure_private_subnet": false, "configure_subnet_groups": false,
      "configure_route_table_name": [], "configure_shared_route_table_name": [],
      "configure_main_route_table_prefix": [], "gateway_instance_size": "Standard_D3_v2"
    },
    "corvanta": {"tf_controller_access": false},
    "terraform": {
      "tf_cloud": false, "module_name": null, "terraform_output": "./terraform",
      "tmp_folder_id": null, "enable_s3_backend": false, "azurerm": []
    },
    "alert": {"check_gateway_existence": true},
    "switch_traffic": {"manage_propagate_gateway_routes": false},
    "cleanup": {},
    "prestage": {},
    "vnet_cidr": [],
    "account_info": []
  })");
  EXPECT_EQ(doc.data(), expected) << doc.data().dump(2);
  // Keys whose absence the readers handle themselves stay absent.
  EXPECT_FALSE(doc.data()["config"].contains("configure_shared_route_table_replication"));
  EXPECT_FALSE(doc.data().contains("azure_cred"));
}

TEST_F(ConfigLoaderTest, AccountAndVnetEntriesGetTheirDefaults) {
  const auto path = write(
      "kind: discovery\n"
      "alert:\n"  // a section whose keys are all commented out
      "  # check_gateway_existence: false\n"
      "account_info:\n"
      "  - subscription_id: s1\n"
      "    filter_cidrs:\n"  // empty list value
      "    vnets:\n"
      "      vnet1:\n");  // a VNet without options
  const Json data = dump_to_dict(load_from_yaml(path));
  EXPECT_EQ(data["alert"], Json::parse(R"({"check_gateway_existence": true})"));
  const Json& account = data["account_info"][0];
  EXPECT_EQ(account, Json::parse(R"({
    "subscription_id": "s1", "filter_cidrs": [],
    "vnets": {"vnet1": {
      "vnet_name": "vnet1", "spoke_gw_size": null, "turbo": null, "max_turbo_performance": null, "inspection": null,
      "spoke_ha": null, "domain": null, "copy_quad_zero_route": false, "subnet_groups": null,
      "subnet_groups_inspected": false, "spoke_routes": null, "spoke_advertisement": null,
      "migrate_non_associated_subnet": false, "filter_service_tags": [], "route_table_tags": []
    }},
    "vwan": false, "turbo": false, "max_turbo_performance": null
  })"))
      << account.dump(2);
}

TEST_F(ConfigLoaderTest, NullableOptionsKeepAnExplicitNull) {
  // An empty subnet-group list is not the same as none: the subnet-group check runs for [].
  const auto path = write(
      "kind: discovery\n"
      "account_info:\n"
      "  - subscription_id: s1\n"
      "    vnets:\n"
      "      a: {subnet_groups: [], turbo: false}\n"
      "      b: {subnet_groups: ~, turbo: ~}\n");
  const Json vnets = dump_to_dict(load_from_yaml(path))["account_info"][0]["vnets"];
  EXPECT_EQ(vnets["a"]["subnet_groups"], Json::array());
  EXPECT_EQ(vnets["a"]["turbo"], false);
  EXPECT_TRUE(vnets["b"]["subnet_groups"].is_null());
  EXPECT_TRUE(vnets["b"]["turbo"].is_null());
}

TEST_F(ConfigLoaderTest, FarUnknownKeysAreKeptAndWarnedAboutAtEveryLevel) {
  std::ostringstream logged;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(logged);
  auto logger = getLogger("basekit");
  logger->sinks().push_back(sink);

  const auto path = write(
      "kind: discovery\n"
      "owner_team: network\n"  // line 2
      "terraform:\n"
      "  workspace_notes: [a, b]\n"  // line 4
      "account_info:\n"
      "  - subscription_id: s1\n"
      "    cost_centre: 42\n"  // line 7
      "    vnets:\n"
      "      \"hub.prod\":\n"
      "        description: main hub\n");  // line 10
  const ConfigDocument doc = load_from_yaml(path);
  logger->sinks().pop_back();

  struct Expected {
    const char* keyPath;
    int line;
  };
  const Expected expected[] = {{"owner_team", 2},
                               {"terraform.workspace_notes", 4},
                               {"account_info[0].cost_centre", 7},
                               {"account_info[0].vnets[\"hub.prod\"].description", 10}};
  ASSERT_EQ(doc.warnings().size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(expected[i].keyPath);
    const ConfigWarning& w = doc.warnings()[i];
    EXPECT_EQ(w.file, path.string());
    EXPECT_EQ(w.keyPath, expected[i].keyPath);
    EXPECT_EQ(w.line, expected[i].line);
    EXPECT_THAT(w.message, HasSubstr("unknown key"));
    const std::string where = path.string() + ":" + std::to_string(expected[i].line) + ":";
    EXPECT_THAT(w.text(), ::testing::StartsWith(where));
    EXPECT_THAT(logged.str(), HasSubstr(w.text()));
  }
  EXPECT_THAT(logged.str(), HasSubstr("[warning]"));

  const Json& data = doc.data();
  EXPECT_EQ(data["owner_team"], "network");
  EXPECT_EQ(data["terraform"]["workspace_notes"], Json::parse(R"(["a", "b"])"));
  EXPECT_EQ(data["account_info"][0]["cost_centre"], 42);
  EXPECT_EQ(data["account_info"][0]["vnets"]["hub.prod"]["description"], "main hub");
}

TEST_F(ConfigLoaderTest, AdvisoryTransformKeyWarnsWhenFarFromAnyChoice) {
  const auto path = write(
      "kind: discovery\n"
      "config:\n"
      "  configure_route_table_name:\n"
      "    - {key: owner, value: ops}\n");
  const ConfigDocument doc = load_from_yaml(path);
  ASSERT_EQ(doc.warnings().size(), 1u);
  EXPECT_EQ(doc.warnings()[0].keyPath, "config.configure_route_table_name[0].key");
  EXPECT_THAT(doc.warnings()[0].message, HasSubstr("no effect"));
}

TEST_F(ConfigLoaderTest, CorvantaCredentialNeedsNoSubscriptionList) {
  const auto path = write(
      "kind: discovery\n"
      "azure_cred:\n"
      "  corvanta:\n"
      "    arm_application_secret_env: E\n"
      "    arm_application_id: a\n"
      "    arm_directory_id: d\n");
  const Json cred = dump_to_dict(load_from_yaml(path))["azure_cred"]["corvanta"];
  EXPECT_FALSE(cred.contains("arm_subscription_id"));
  EXPECT_EQ(cred["arm_directory_id"], "d");
}

TEST_F(ConfigLoaderTest, ACredentialNeedsOnlyTheKeysItsSignInMethodReads) {
  struct Case {
    const char* entry;
    const char* missing;  // the key reported, or "" when the entry loads
  };
  const Case cases[] = {
      {"arm_application_secret_env: E\n    arm_application_id: a\n    arm_directory_id: d\n", ""},
      {"arm_application_id: a\n    arm_directory_id: d\n", "arm_application_secret_env'"},
      {"arm_auth_method: client-secret\n    arm_application_id: a\n    arm_directory_id: d\n",
       "arm_application_secret_env' (arm_auth_method 'client-secret' needs it)"},
      {"arm_auth_method: azure-cli\n", ""},
      {"arm_auth_method: managed-identity\n    arm_managed_identity_client_id: c\n", ""},
      {"arm_auth_method: workload-identity\n    arm_application_id: a\n    arm_directory_id: d\n",
       ""},
      {"arm_auth_method: client-certificate\n    arm_application_id: a\n"
       "    arm_directory_id: d\n    arm_client_certificate_path: app.pem\n",
       ""},
      {"arm_auth_method: client-certificate\n    arm_application_id: a\n    arm_directory_id: d\n",
       "arm_client_certificate_path' (arm_auth_method 'client-certificate' needs it)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const auto path =
        write(std::string("kind: discovery\nazure_cred:\n  corvanta:\n    ") + c.entry);
    if (*c.missing == '\0') {
      EXPECT_NO_THROW(load_from_yaml(path));
      continue;
    }
    try {
      load_from_yaml(path);
      ADD_FAILURE() << "loaded";
    } catch (const ConfigError& e) {
      EXPECT_THAT(e.what(), ::testing::EndsWith("missing required key '" + std::string(c.missing)));
    }
  }
}

TEST_F(ConfigLoaderTest, ShippedExampleLoads) {
  const std::filesystem::path example = std::string(KX_SOURCE_DIR) + "/examples/discovery.yaml";
  const ConfigDocument doc = load_from_yaml(example);
  EXPECT_EQ(doc.getLabel(), "discovery");
  for (const auto& w : doc.warnings()) ADD_FAILURE() << w.text();
  const Json data = dump_to_dict(doc);

  EXPECT_EQ(data["log_output"], "./out");
  EXPECT_EQ(data["config"]["configure_shared_route_table_replication"], 2);
  EXPECT_EQ(data["config"]["configure_route_table_name"], Json::parse(R"([
    {"key": "base", "value": "{vnet}-{snet}-rt"}, {"key": "replace", "value": "_,-"}])"));
  EXPECT_EQ(data["corvanta"]["controller_private_ip"], "10.10.0.4");
  EXPECT_EQ(data["terraform"]["account_folder"], "name");
  EXPECT_EQ(data["terraform"]["azurerm"][0]["alias"], "prod");
  EXPECT_THAT(keysOf(data["azure_cred"]), ElementsAre("corvanta", "prod"));
  EXPECT_EQ(data["azure_cred"]["prod"]["arm_subscription_id"],
            Json::parse(R"(["11111111-2222-3333-4444-555555555555"])"));
  EXPECT_EQ(data["prestage"]["default_route_table"], "corvanta-default");

  const Json& account = data["account_info"][0];
  EXPECT_EQ(account["turbo"], true);
  EXPECT_EQ(account["max_turbo_performance"], false);
  EXPECT_EQ(account["filter_cidrs"], Json::parse(R"(["100.64.0.0/10"])"));
  EXPECT_THAT(keysOf(account["vnets"]), ElementsAre("hub-vnet", "spoke-vnet"));
  const Json& hub = account["vnets"]["hub-vnet"];
  EXPECT_EQ(hub["spoke_routes"], Json::parse(R"(["10.1.0.0/16", "10.2.0.0/16"])"));
  EXPECT_EQ(hub["subnet_groups"],
            Json::parse(R"([{"subnet_name": "web"}, {"subnet_name": "app"}])"));
  EXPECT_EQ(hub["route_table_tags"], Json::parse(R"([{"Key": "owner", "Value": "network-team"}])"));
  EXPECT_TRUE(hub["turbo"].is_null());
  const Json& spoke = account["vnets"]["spoke-vnet"];
  EXPECT_EQ(spoke["copy_quad_zero_route"], false);
  EXPECT_EQ(spoke["filter_service_tags"], Json::array());
}

TEST_F(ConfigLoaderTest, ContextAnswersTheTransformLists) {
  auto& context = YamlContext::get();
  context.set(load_from_yaml(std::string(KX_SOURCE_DIR) + "/examples/discovery.yaml"));
  EXPECT_EQ(context.getLabel(), "discovery");
  EXPECT_EQ(context.getGlobalContext("configure_route_table_name").size(), 2u);
  EXPECT_EQ(context.getGlobalContext("configure_shared_route_table_name"),
            Json::parse(R"([{"key": "base", "value": "{vnet}-shared-{rtb}"}])"));
  EXPECT_EQ(context.getGlobalContext("configure_main_route_table_prefix")[0]["value"],
            "{vnet}-main-");

  context.set(load_from_yaml(write("kind: discovery\nconfig:\n  configure_gw_name: true\n")));
  for (const char* key : {"configure_route_table_name", "configure_shared_route_table_name",
                          "configure_main_route_table_prefix"}) {
    SCOPED_TRACE(key);
    const Json list = context.getGlobalContext(key);
    EXPECT_TRUE(list.is_array());
    EXPECT_TRUE(list.empty());
  }
}

TEST(ConfigSchemaDocs, EveryKeyIsDocumented) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/docs/configuration.md");
  ASSERT_TRUE(in) << "docs/configuration.md is missing";
  const std::string docs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto keys = configSchemaKeys("discovery");
  ASSERT_GT(keys.size(), 60u);
  EXPECT_EQ(keys.front(), "kind");
  for (const auto& key : keys)
    EXPECT_THAT(docs, HasSubstr("`" + key + "`")) << "undocumented key " << key;
  EXPECT_TRUE(configSchemaKeys("no-such-kind").empty());
}

TEST_F(ConfigLoaderTest, MinimalExampleOfTheDocsLoads) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/docs/configuration.md");
  const std::string docs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto start = docs.find("```yaml\n");
  ASSERT_NE(start, std::string::npos);
  const auto end = docs.find("```", start + 8);
  ASSERT_NE(end, std::string::npos);
  const ConfigDocument doc = load_from_yaml(write(docs.substr(start + 8, end - start - 8)));
  EXPECT_TRUE(doc.warnings().empty());
  EXPECT_EQ(doc.data()["account_info"][0]["vnets"]["hub-vnet"]["copy_quad_zero_route"], false);
}

}  // namespace
}  // namespace collab
