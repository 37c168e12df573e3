// Bad configuration files: each must give one ConfigError that names the file, the place and
// what is wrong.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collab/config.hpp"
#include "collab/config_error.hpp"
#include "config_test_support.hpp"

namespace collab {
namespace {

using ::testing::HasSubstr;

struct BadConfig {
  const char* name;
  std::string text;
  int line;                           // expected 1-based line; 0: the error has no line
  int column;                         // expected column; 0: not checked
  const char* keyPath;                // expected key path
  std::vector<const char*> mentions;  // texts the message must hold
};

// A valid account entry to build the deeper cases on.
const std::string kHead = "kind: discovery\n";
const std::string kAccount =
    "account_info:\n"
    "  - subscription_id: sub-1\n"  // line 3
    "    vnets:\n"                  // line 4
    "      vnet1:\n";               // line 5

std::vector<BadConfig> badConfigs() {
  return {
      // --- not YAML at all, or not one map --------------------------------------------------
      {"UnclosedFlowList",
       kHead + "config: [1, 2\nterraform: {}\n",
       3,
       0,
       "",
       {"YAML syntax error", "end of sequence flow not found"}},
      {"TabIndentation",
       kHead + "config:\n\tconfigure_gw_name: true\n",
       3,
       0,
       "",
       {"YAML syntax error", "tabs are not allowed"}},
      {"BadIndentation",
       kHead + "config:\n  configure_gw_name: true\n   tf_cloud: false\n",
       4,
       0,
       "",
       {"YAML syntax error"}},
      {"EmptyFile", "", 1, 1, "", {"is empty"}},
      {"OnlyComments", "# nothing here yet\n\n   \n", 1, 1, "", {"is empty"}},
      {"BinaryGarbage",
       std::string("\x7f"
                   "ELF\x02\x01\x01\0\0\0",
                   10),
       1,
       1,
       "",
       {"not YAML text", "0x7F"}},
      {"NulByteInsideText",
       kHead + std::string("log_output: a\0b\n", 16),
       2,
       14,
       "",
       {"control character 0x00", "binary data"}},
      {"Latin1NotUtf8", kHead + "log_output: caf\xE9\n", 2, 16, "", {"not UTF-8", "0xE9"}},
      {"TopLevelList", "- kind: discovery\n", 1, 1, "", {"top level must be a map", "a list"}},
      {"TopLevelText", "discovery\n", 1, 1, "", {"top level must be a map", "text 'discovery'"}},
      {"TwoDocuments", kHead + "---\nkind: discovery\n", 3, 0, "", {"more than one YAML document"}},

      // --- the kind -------------------------------------------------------------------------
      {"MissingKind", "config: {}\n", 1, 1, "kind", {"missing required key 'kind'"}},
      {"KindIsAList", "kind: [discovery]\n", 1, 7, "kind", {"expected text", "a list"}},
      {"KindMisspelt", "kind: discovry\n", 1, 7, "kind", {"did you mean 'discovery'"}},

      // --- wrong types at every level -------------------------------------------------------
      {"SectionIsAList",
       kHead + "config: [configure_gw_name]\n",
       2,
       9,
       "config",
       {"expected a map of 'config' options", "found a list"}},
      {"LogOutputIsAMap",
       kHead + "log_output: {path: x}\n",
       2,
       13,
       "log_output",
       {"expected text", "found a map"}},
      {"YamlOneOneBoolean",
       kHead + "config:\n  configure_gw_name: yes\n",
       3,
       22,
       "config.configure_gw_name",
       {"expected a boolean", "found text 'yes'", "YAML 1.2 reads 'yes' as text"}},
      {"QuotedInteger",
       kHead + "config:\n  configure_shared_route_table_replication: \"2\"\n",
       3,
       45,
       "config.configure_shared_route_table_replication",
       {"expected an integer", "found text '2'", "leave out the quotes"}},
      {"AccountInfoIsAMap",
       kHead + "account_info:\n  subscription_id: sub-1\n",
       3,
       3,
       "account_info",
       {"expected a list of account entries", "found a map"}},
      {"QuotedBooleanOnAccount",
       kHead + kAccount + "    turbo: \"true\"\n",
       6,
       12,
       "account_info[0].turbo",
       {"expected a boolean", "found text 'true'"}},
      {"VnetsIsAList",
       kHead + "account_info:\n  - subscription_id: sub-1\n    vnets: [vnet1]\n",
       4,
       12,
       "account_info[0].vnets",
       {"expected a map from VNet name to its options", "a list"}},
      {"VnetEntryIsText",
       kHead + kAccount.substr(0, kAccount.size() - 1) + " fast\n",
       5,
       14,
       "account_info[0].vnets.vnet1",
       {"expected a map of VNet options", "found text 'fast'"}},
      {"VnetOptionWrongType",
       kHead + kAccount + "        copy_quad_zero_route: off\n",
       6,
       31,
       "account_info[0].vnets.vnet1.copy_quad_zero_route",
       {"expected a boolean", "'off'"}},
      {"FilterCidrHoldsANumber",
       kHead + kAccount + "    filter_cidrs: [10.0.0.0/8, 42]\n",
       6,
       32,
       "account_info[0].filter_cidrs[1]",
       {"expected text", "the integer 42", "quotes"}},
      {"TagValueIsANumber",
       kHead + kAccount +
           "        route_table_tags:\n          - Key: year\n            Value: 2024\n",
       8,
       20,
       "account_info[0].vnets.vnet1.route_table_tags[0].Value",
       {"expected text", "the integer 2024"}},
      {"SubscriptionListIsText",
       kHead + "azure_cred:\n  prod:\n    arm_subscription_id: sub-1\n",
       4,
       26,
       "azure_cred.prod.arm_subscription_id",
       {"expected a list of subscription id texts", "text 'sub-1'"}},
      {"ChoiceOutsideTheList",
       kHead + "terraform:\n  tmp_folder_id: VNET\n",
       3,
       18,
       "terraform.tmp_folder_id",
       {"one of 'VNET_ID' or 'YAML_ID'", "text 'VNET'"}},

      // --- unknown keys that are near misses: errors ----------------------------------------
      {"TopLevelNearMiss",
       kHead + "terrafrom:\n  tf_cloud: true\n",
       2,
       1,
       "terrafrom",
       {"unknown key 'terrafrom'", "did you mean 'terraform'"}},
      {"SectionNearMiss",
       kHead + "terraform:\n  terraform_ouptut: ./out\n",
       3,
       3,
       "terraform.terraform_ouptut",
       {"did you mean 'terraform_output'"}},
      {"AccountNearMiss",
       kHead + kAccount + "    subscripton_name: x\n    turbbo: true\n",
       7,
       5,
       "account_info[0].turbbo",
       {"did you mean 'turbo'"}},
      {"VnetOptionNearMiss",
       kHead + kAccount + "        trubo: true\n",
       6,
       9,
       "account_info[0].vnets.vnet1.trubo",
       {"unknown key 'trubo'", "did you mean 'turbo'"}},
      {"HyphenatedOption",
       kHead + kAccount + "        copy-quad-zero-route: true\n",
       6,
       9,
       "account_info[0].vnets.vnet1.copy-quad-zero-route",
       {"did you mean 'copy_quad_zero_route'"}},
      {"TransformKeyNearMiss",
       kHead + "config:\n  configure_route_table_name:\n    - key: bsae\n      value: x\n",
       4,
       12,
       "config.configure_route_table_name[0].key",
       {"did you mean 'base'"}},

      // --- missing required keys and cross-field rules --------------------------------------
      {"AccountWithoutSubscription",
       kHead + "account_info:\n  - account_name: prod\n",
       3,
       5,
       "account_info[0].subscription_id",
       {"missing required key 'subscription_id'"}},
      {"SubnetGroupWithoutName",
       kHead + kAccount + "        subnet_groups:\n          - subnet: web\n",
       7,
       13,
       "account_info[0].vnets.vnet1.subnet_groups[0].subnet_name",
       {"missing required key 'subnet_name'"}},
      {"CredentialWithoutSubscriptions",
       kHead + "azure_cred:\n  prod:\n    arm_application_secret_env: S\n"
               "    arm_application_id: a\n    arm_directory_id: d\n",
       4,
       5,
       "azure_cred.prod.arm_subscription_id",
       {"missing required key 'arm_subscription_id'"}},
      {"CertificateCredentialWithoutItsFile",
       kHead + "azure_cred:\n  prod:\n    arm_subscription_id: [s]\n"
               "    arm_auth_method: client-certificate\n    arm_application_id: a\n"
               "    arm_directory_id: d\n",
       4,
       5,
       "azure_cred.prod.arm_client_certificate_path",
       {"missing required key 'arm_client_certificate_path' (arm_auth_method "
        "'client-certificate' needs it)"}},
      {"WorkloadIdentityWithoutApplication",
       kHead + "azure_cred:\n  corvanta:\n    arm_auth_method: workload-identity\n"
               "    arm_directory_id: d\n",
       4,
       5,
       "azure_cred.corvanta.arm_application_id",
       {"missing required key 'arm_application_id' (arm_auth_method 'workload-identity' needs "
        "it)"}},
      {"SignInMethodNearMiss",
       kHead + "azure_cred:\n  corvanta:\n    arm_auth_method: azure_cli\n",
       4,
       22,
       "azure_cred.corvanta.arm_auth_method",
       {"unknown value 'azure_cli'; did you mean 'azure-cli'?"}},
      {"ProviderWithoutDirectory",
       kHead + "terraform:\n  azurerm:\n    - arm_subscription_id: s\n"
               "      arm_application_secret_env: E\n      arm_application_id: a\n",
       4,
       7,
       "terraform.azurerm[0].arm_directory_id",
       {"missing required key 'arm_directory_id'"}},
      {"ReplaceWithoutComma",
       kHead + "config:\n  configure_route_table_name:\n    - key: replace\n      value: ab\n",
       5,
       14,
       "config.configure_route_table_name[0].value",
       {"expected text of the form 'search,replacement'", "text 'ab'"}},

      // --- YAML features the configuration does not use -------------------------------------
      {"DuplicateKey",
       kHead + "log_output: a\nlog_output: b\n",
       3,
       1,
       "log_output",
       {"appears twice", "first at line 2"}},
      {"ApplicationTag",
       kHead + "log_output: !path ./out\n",
       2,
       13,
       "log_output",
       {"unsupported YAML tag '!path'"}},
      {"IntegerOutOfRange",
       kHead + "config:\n  configure_shared_route_table_replication: "
               "123456789012345678901234567890\n",
       3,
       45,
       "config.configure_shared_route_table_replication",
       {"out of range"}},
      {"MergeKey",
       kHead + kAccount.substr(0, kAccount.size() - 1) + " &base {turbo: true}\n" +
           "      vnet2:\n        <<: *base\n",
       7,
       9,
       "account_info[0].vnets.vnet2[\"<<\"]",
       {"merge keys ('<<') are not supported"}},
      {"ComplexKey", kHead + "? [a, b]\n: c\n", 2, 3, "", {"a map key must be a name"}},
      {"AliasBomb",
       kHead + "bomb:\n"
               "  a: &a [x, x, x, x, x, x, x, x, x, x]\n"
               "  b: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a, *a]\n"
               "  c: &c [*b, *b, *b, *b, *b, *b, *b, *b, *b, *b]\n"
               "  d: &d [*c, *c, *c, *c, *c, *c, *c, *c, *c, *c]\n"
               "  e: &e [*d, *d, *d, *d, *d, *d, *d, *d, *d, *d]\n"
               "  f: &f [*e, *e, *e, *e, *e, *e, *e, *e, *e, *e]\n",
       0,
       0,
       nullptr,
       {"more than 200000 values"}},
      {"SelfReferencingAlias",
       kHead + "loop: &y [*y]\n",
       0,
       0,
       nullptr,
       {"nests deeper than 64 levels"}},
  };
}

class BadConfigTest : public testing::ConfigFileTest {};

TEST_F(BadConfigTest, EachGivesOneClearError) {
  for (const auto& bad : badConfigs()) {
    SCOPED_TRACE(bad.name);
    const auto path = write(bad.text, std::string(bad.name) + ".yaml");
    try {
      (void)load_from_yaml(path);
      ADD_FAILURE() << "loaded without an error";
    } catch (const ConfigError& e) {
      const std::string message = e.what();
      EXPECT_EQ(e.file(), path.string());
      EXPECT_THAT(message, ::testing::StartsWith(path.string() + ":"));
      if (bad.line) {
        EXPECT_EQ(e.line(), bad.line) << message;
        EXPECT_THAT(message, HasSubstr(path.string() + ":" + std::to_string(bad.line) + ":"));
      } else {
        EXPECT_GT(e.line(), 0) << message;
      }
      if (bad.column) {
        EXPECT_EQ(e.column(), bad.column) << message;
      }
      if (bad.keyPath) {
        EXPECT_EQ(e.keyPath(), bad.keyPath) << message;
        if (*bad.keyPath) {
          EXPECT_THAT(message, HasSubstr(std::string("'") + bad.keyPath + "'"));
        }
      }
      EXPECT_FALSE(e.expected().empty()) << message;
      EXPECT_FALSE(e.found().empty()) << message;
      for (const char* text : bad.mentions) EXPECT_THAT(message, HasSubstr(text));
    }
  }
}

TEST_F(BadConfigTest, MissingFileAndDirectoryNameThePath) {
  struct Case {
    const char* name;
    std::filesystem::path path;
    const char* mention;
  };
  std::filesystem::create_directories(dir_ / "folder.yaml");
  const Case cases[] = {
      {"missing file", dir_ / "absent.yaml", "no such file"},
      {"missing folder on the way", dir_ / "absent" / "config.yaml", "no such file"},
      {"directory", dir_ / "folder.yaml", "it is a directory"},
      {"device", "/dev/null", "not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      (void)load_from_yaml(c.path);
      ADD_FAILURE() << "loaded without an error";
    } catch (const ConfigError& e) {
      EXPECT_EQ(e.file(), c.path.string());
      EXPECT_EQ(e.line(), 0);
      EXPECT_THAT(e.what(), ::testing::StartsWith(c.path.string() + ": "));
      EXPECT_THAT(e.what(), HasSubstr(c.mention));
    }
  }
}

TEST_F(BadConfigTest, TooLargeFileIsRefusedBeforeParsing) {
  const auto path = write(kHead + "# " + std::string(17u * 1024u * 1024u, 'x') + "\n");
  try {
    (void)load_from_yaml(path);
    FAIL() << "loaded without an error";
  } catch (const ConfigError& e) {
    EXPECT_THAT(e.what(), HasSubstr("too large"));
  }
}

TEST_F(BadConfigTest, SecretsAreNotRepeatedInMessages) {
  // A secret pasted where the name of its environment variable belongs.
  const auto path = write(kHead +
                          "azure_cred:\n  corvanta:\n    arm_application_secret_env: 12345"
                          "\n    arm_application_id: a\n    arm_directory_id: d\n");
  try {
    (void)load_from_yaml(path);
    FAIL() << "loaded without an error";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.keyPath(), "azure_cred.corvanta.arm_application_secret_env");
    EXPECT_THAT(e.what(), HasSubstr("expected text"));
    EXPECT_THAT(e.what(), ::testing::Not(HasSubstr("12345")));
  }
}

TEST_F(BadConfigTest, ErrorIsCatchableAsRuntimeError) {
  const auto path = write("kind: [x]\n");
  EXPECT_THROW((void)load_from_yaml(path), std::runtime_error);
}

}  // namespace
}  // namespace collab
