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

class AccountsTest : public CommonTest {};

Json credentials() {
  return Json::parse(R"({"azure_cred": {
    "corvanta": {"arm_application_secret_env": "CRVT_SECRET", "arm_application_id": "app-c",
                 "arm_directory_id": "dir-c", "arm_application_secret_data_src": "vault"},
    "prod": {"arm_subscription_id": ["sub-1", "sub-2"], "arm_application_secret_env": "PROD",
             "arm_application_id": "app-p", "arm_directory_id": "dir-p"},
    "dev": {"arm_subscription_id": ["sub-2"], "arm_application_secret_env": "DEV",
            "arm_application_id": "app-d", "arm_directory_id": "dir-d"}
  }})");
}

TEST_F(AccountsTest, AzureCredentialsGiveOneRecordPerSubscription) {
  const Json map = Common::getAzureSubscriptionInfo(credentials());
  EXPECT_EQ(map, Json::parse(R"({
    "corvanta": {"secret_env": "CRVT_SECRET", "secret_data_src": "vault", "app_id": "app-c",
                 "dir_id": "dir-c", "sub_id": "corvanta", "apps": "corvanta"},
    "sub-1": {"secret_env": "PROD", "secret_data_src": "", "app_id": "app-p", "dir_id": "dir-p",
              "sub_id": "sub-1", "apps": "prod"},
    "sub-2": {"secret_env": "DEV", "secret_data_src": "", "app_id": "app-d", "dir_id": "dir-d",
              "sub_id": "sub-2", "apps": "dev"}
  })"));
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(AccountsTest, AnEntryNeedsOnlyTheKeysItsSignInMethodReads) {
  const Json map = Common::getAzureSubscriptionInfo(Json::parse(R"({"azure_cred": {
    "corvanta": {"arm_auth_method": "azure-cli"},
    "cert": {"arm_subscription_id": ["sub-1"], "arm_auth_method": "client-certificate",
             "arm_application_id": "app-1", "arm_directory_id": "dir-1",
             "arm_client_certificate_path": "app.pem",
             "arm_client_certificate_password_env": "PEM_PASSWORD"},
    "ci": {"arm_subscription_id": ["sub-2"], "arm_auth_method": "workload-identity",
           "arm_application_id": "app-2", "arm_directory_id": "dir-2",
           "arm_federated_token_file": "/var/run/token", "arm_application_secret_env": "KEPT"},
    "vm": {"arm_subscription_id": ["sub-3"], "arm_auth_method": "managed-identity",
           "arm_managed_identity_client_id": "mi-3"}
  }})"));
  EXPECT_EQ(map, Json::parse(R"({
    "corvanta": {"secret_env": null, "secret_data_src": "", "app_id": null, "dir_id": null,
                 "auth_method": "azure-cli", "sub_id": "corvanta", "apps": "corvanta"},
    "sub-1": {"secret_env": null, "secret_data_src": "", "app_id": "app-1", "dir_id": "dir-1",
              "auth_method": "client-certificate", "certificate_path": "app.pem",
              "certificate_password_env": "PEM_PASSWORD", "sub_id": "sub-1", "apps": "cert"},
    "sub-2": {"secret_env": "KEPT", "secret_data_src": "", "app_id": "app-2", "dir_id": "dir-2",
              "auth_method": "workload-identity", "federated_token_file": "/var/run/token",
              "sub_id": "sub-2", "apps": "ci"},
    "sub-3": {"secret_env": null, "secret_data_src": "", "app_id": null, "dir_id": null,
              "auth_method": "managed-identity", "managed_identity_client_id": "mi-3",
              "sub_id": "sub-3", "apps": "vm"}
  })"));
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(AccountsTest, MalformedAzureCredentialsEndTheRunWithStatusOne) {
  struct Case {
    const char* what;
    Json config;
    std::string line;
  };
  Json single = credentials();
  single["azure_cred"]["prod"]["arm_subscription_id"] = "sub-1";
  Json noDir = credentials();
  noDir["azure_cred"]["prod"].erase("arm_directory_id");
  Json noIds = credentials();
  noIds["azure_cred"]["dev"].erase("arm_subscription_id");
  Json corvantaNoEnv = credentials();
  corvantaNoEnv["azure_cred"]["corvanta"].erase("arm_application_secret_env");
  Json certNoFile = credentials();
  certNoFile["azure_cred"]["prod"]["arm_auth_method"] = "client-certificate";
  Json unknownMethod = credentials();
  unknownMethod["azure_cred"]["dev"]["arm_auth_method"] = "password";
  const std::vector<Case> cases = {
      {"no section", Json::object(), "error|**Error** YAML missing 'azure_cred' definition"},
      {"certificate without its file", certNoFile,
       "error|**Error** YAML azure_cred: 'prod' missing 'arm_client_certificate_path'"},
      {"unknown method", unknownMethod,
       "error|**Error** YAML azure_cred: 'dev' arm_auth_method - one of client-secret, "
       "client-certificate, workload-identity, managed-identity, azure-cli expected"},
      {"not a map",
       {{"azure_cred", Json::array()}},
       "error|**Error** YAML missing 'azure_cred' definition"},
      {"single id", single,
       "error|**Error** YAML azure_cred: 'prod' arm_subscription_id - list of subscription Id "
       "strings expected"},
      {"missing key", noDir, "error|**Error** YAML azure_cred: 'prod' missing 'arm_directory_id'"},
      {"missing ids", noIds,
       "error|**Error** YAML azure_cred: 'dev' missing 'arm_subscription_id'"},
      {"corvanta missing key", corvantaNoEnv,
       "error|**Error** YAML azure_cred: 'corvanta' missing 'arm_application_secret_env'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string pattern;
    for (char ch : c.line) {
      if (std::string("\\^$.|?*+()[]{}").find(ch) != std::string::npos) pattern += '\\';
      pattern += ch;
    }
    EXPECT_EXIT(
        {
          logToStderr();
          Common::getAzureSubscriptionInfo(c.config);
        },
        ::testing::ExitedWithCode(1), "^" + pattern + "\n$");
  }
}

TEST_F(AccountsTest, AzurermAndVnetCidrSectionsGiveTheirRecords) {
  const Json config = Json::parse(R"({
    "terraform": {"azurerm": [
      {"arm_subscription_id": "sub-1", "arm_application_secret_env": "E1",
       "arm_application_id": "a1", "arm_directory_id": "d1", "alias": "p1", "account_name": "n1"}
    ]},
    "vnet_cidr": [
      {"arm_subscription_id": "sub-7", "arm_application_secret_env": "E7",
       "arm_application_id": "a7", "arm_directory_id": "d7"}
    ]
  })");
  EXPECT_EQ(Common::getAzurermSubscriptionInfo(config), Json::parse(R"({"sub-1":
    {"secret_env": "E1", "app_id": "a1", "dir_id": "d1", "alias": "p1", "account_name": "n1",
     "sub_id": "sub-1"}})"));
  EXPECT_EQ(Common::getVnetCidrSubscriptionInfo(config),
            Json::parse(R"({"sub-7": {"secret_env": "E7", "app_id": "a7", "dir_id": "d7"}})"));

  Json noAlias = config;
  noAlias["terraform"]["azurerm"][0].erase("alias");
  EXPECT_THROW(Common::getAzurermSubscriptionInfo(noAlias), collab::MissingKeyError);
  Json noDir = config;
  noDir["vnet_cidr"][0].erase("arm_directory_id");
  EXPECT_THROW(Common::getVnetCidrSubscriptionInfo(noDir), collab::MissingKeyError);
  EXPECT_THROW(Common::getVnetCidrSubscriptionInfo(Json::object()), collab::MissingKeyError);
}

TEST_F(AccountsTest, SubscriptionLookupFallsBackToCorvantaAndTakesTheAccountNames) {
  const Json map = Common::getAzureSubscriptionInfo(credentials());
  struct Case {
    const char* what;
    std::string id;
    Json account;
    Json subId, alias, accountName;  // null: the field is not there
  };
  const std::vector<Case> cases = {
      {"own record", "sub-1", nullptr, "sub-1", nullptr, nullptr},
      {"corvanta record", "sub-9", nullptr, "sub-9", nullptr, nullptr},
      {"account name and alias",
       "sub-9",
       {{"account_name", "acct"}, {"tf_provider_alias", "p1"}},
       "sub-9",
       "p1",
       "acct"},
      {"null alias uses the name",
       "sub-1",
       {{"account_name", "acct"}, {"tf_provider_alias", nullptr}},
       "sub-1",
       "acct",
       "acct"},
      {"alias alone", "sub-1", {{"tf_provider_alias", "p2"}}, "sub-1", "p2", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto record = Common::getSubscription(map, c.id, c.account);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ((*record)["sub_id"], c.subId);
    EXPECT_EQ(record->value("alias", Json()), c.alias);
    EXPECT_EQ(record->value("account_name", Json()), c.accountName);
  }
  // The map itself is never changed.
  EXPECT_EQ(map, Common::getAzureSubscriptionInfo(credentials()));

  Json noCorvanta = map;
  noCorvanta.erase("corvanta");
  EXPECT_EQ(Common::getSubscription(noCorvanta, "sub-9", {{"account_name", "acct"}}), std::nullopt);
}

TEST_F(AccountsTest, AccountNames) {
  EXPECT_EQ(Common::getArmAccountName(
                {{"terraform", {{"corvanta_account", {{"account_name", "crvt-acct"}}}}}}),
            "crvt-acct");
  EXPECT_TRUE(log_.lines().empty());
  for (const Json& config : {Json::object(), Json{{"terraform", {{"corvanta_account", nullptr}}}},
                             Json{{"terraform", {{"corvanta_account", Json::object()}}}}}) {
    SCOPED_TRACE(config.dump());
    EXPECT_EQ(Common::getArmAccountName(config), "VeridAve");
    EXPECT_EQ(log_.lines(),
              Lines{"error|**Error** failed to read account name from yaml. Use default VeridAve"});
  }

  EXPECT_EQ(Common::getAccountName({{"account_name", "prod"}}), "prod");
  EXPECT_EQ(Common::getAccountName({{"subscription_id", "1234"}}), std::nullopt);
  EXPECT_EQ(Common::getAccountName({{"subscription_id", 1234}}), std::nullopt);
  EXPECT_EQ(Common::getAccountName({{"account_name", Json::array({"a"})}}), std::nullopt);
  EXPECT_EQ(log_.lines(),
            (Lines{"error|**Error** missing 'account_name' for 1234 in 'account_info'",
                   "error|**Error** missing 'account_name' for 1234 in 'account_info'",
                   "error|**Error** expect 'account_name' to be a string but got "
                   "['a']"}));
  EXPECT_THROW(Common::getAccountName(Json::object()), collab::MissingKeyError);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(AccountsTest, PerRunLookupsWithTheirDefaults) {
  const Json vnets = {{"vn1", {{"spoke_routes", {"10.0.0.0/8"}}}}};
  EXPECT_EQ(Common::getSubscriptionVnets({{"vnets", vnets}}), vnets);
  for (const Json& account :
       {Json::object(), Json{{"vnets", nullptr}}, Json{{"vnets", Json::object()}},
        Json{{"vnets", Json::array()}}, Json{{"vnets", 3}}, Json()}) {
    SCOPED_TRACE(account.dump());
    EXPECT_EQ(Common::getSubscriptionVnets(account), Json::object());
  }

  EXPECT_EQ(Common::getControllerPrivateIp({{"corvanta", nullptr}}), nullptr);

  const Json peerings = {{"transit-1", "transit-2"}};
  EXPECT_EQ(Common::getTransitPeeringMap({{"switch_traffic", {{"transit_peerings", peerings}}}}),
            peerings);
  EXPECT_EQ(Common::getTransitPeeringMap({{"switch_traffic", {{"transit_peerings", nullptr}}}}),
            Json::object());
  EXPECT_EQ(Common::getTransitPeeringMap({{"switch_traffic", Json::object()}}), Json::object());
  EXPECT_EQ(Common::getTransitPeeringMap(Json::object()), Json::object());
  // A section that is not a map is a configuration fault, not a missing value.
  EXPECT_THROW(Common::getTransitPeeringMap({{"switch_traffic", "on"}}), collab::WrongTypeError);

  EXPECT_EQ(Common::getFilterCidrs({{"filter_cidrs", {"10.0.0.0/8"}}}), Json({"10.0.0.0/8"}));
  EXPECT_EQ(Common::getFilterCidrs({{"filter_cidrs", nullptr}}), nullptr);
  EXPECT_EQ(Common::getFilterCidrs(Json::object()), Json::array());
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(AccountsTest, SpokeRoutesAndAdvertisementsAreCommaJoined) {
  collab::azure::VirtualNetwork vn1;
  vn1.name = "vn1";
  struct Case {
    const char* what;
    Json value;  // "missing": the key is left out
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"two", {"10.1.0.0/16", "10.2.0.0/16"}, "10.1.0.0/16,10.2.0.0/16"},
      {"empty list", Json::array(), ""},
      {"number", {"10.1.0.0/16", 3}, std::nullopt},
      {"null", nullptr, std::nullopt},
      {"missing", "missing", std::nullopt},
      {"single text is one route", "10.9.0.0/16", "10.9.0.0/16"},
      {"map", {{"a", "b"}}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json entry = Json::object();
    if (c.value != "missing") {
      entry["spoke_routes"] = c.value;
      entry["spoke_advertisement"] = c.value;
    }
    const Json vnets = {{"vn1", entry}};
    EXPECT_EQ(Common::getSpokeRoutes(vnets, vn1), c.expected);
    EXPECT_EQ(Common::getSpokeAdvertisement(vnets, vn1), c.expected);
  }
  collab::azure::VirtualNetwork other;
  other.name = "vn2";
  EXPECT_THROW(Common::getSpokeRoutes(Json{{"vn1", Json::object()}}, other),
               collab::MissingKeyError);
}

TEST_F(AccountsTest, DeleteLocksMustBeBooleans) {
  const std::string error =
      "error|**Error** expect a boolean value for delete_vnet_lock, False by default";
  struct Case {
    const char* what;
    Json config;
    bool sw, cu;
    Lines logged;
  };
  const std::vector<Case> cases = {
      {"both set",
       {{"switch_traffic", {{"delete_vnet_lock", true}}},
        {"cleanup", {{"delete_vnet_lock", false}}}},
       true,
       false,
       {}},
      {"text true",
       {{"switch_traffic", {{"delete_vnet_lock", "true"}}}, {"cleanup", {{"delete_vnet_lock", 1}}}},
       false,
       false,
       {error, error}},
      {"null", {{"switch_traffic", {{"delete_vnet_lock", nullptr}}}}, false, false, {error}},
      {"sections missing", Json::object(), false, false, {}},
      {"section not a map", {{"cleanup", "yes"}}, false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Common::getSWDeleteVnetLock(c.config), c.sw);
    EXPECT_EQ(Common::getCUDeleteVnetLock(c.config), c.cu);
    EXPECT_EQ(log_.lines(), c.logged);
  }
}

}  // namespace
}  // namespace basekit
