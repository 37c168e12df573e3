#pragma once
// Common: configuration, naming and logging operations of the Azure discovery, and the
// Azure reference data (region display names, reserved subnet names) read from the
// installation's azure_data/input.json.
//
// Conventions of the operations below:
//  - a configuration map is the loaded configuration as nested maps and lists (a
//    ConfigDocument's data()); lookups the operations make without a presence test fail with
//    collab::MissingKeyError naming the key, or collab::WrongTypeError when what should be a
//    map or list is something else; positions past the end of a list fail with
//    collab::IndexRangeError;
//  - a VNet option map is a JSON map owned by the caller and written in place; JSON null in
//    it, and in configuration values handed back, is the absent value;
//  - operations that hand back a value found in the configuration return it as collab::Json
//    (null when absent); those that compute a text return std::optional<std::string>;
//  - every line is logged through the "basekit" logger; "the text form" of a value is
//    collab::textForm (True/False, None, ['a', 'b']).
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "basekit/export.hpp"
#include "collab/azure/virtual_network.hpp"
#include "collab/config.hpp"
#include "collab/cross_cloud_common.hpp"
#include "collab/json.hpp"
#include "collab/logconf.hpp"
#include "collab/ordered_map.hpp"

namespace basekit {

class BASEKIT_EXPORT Common : public collab::CrossCloudBasekit::Common {
 public:
  static constexpr const char* CONFIG_RTB_NAME = "configure_route_table_name";
  static constexpr const char* CONFIG_SHARED_RTB_NAME = "configure_shared_route_table_name";

  // Positions of the components of an Azure resource id split at "/".  PEER_I counts from
  // the end: the last component.
  static constexpr int SUB_I = 2;
  static constexpr int RG_I = 4;
  static constexpr int NSG_I = 8;
  static constexpr int RT_I = 8;
  static constexpr int PEER_I = -1;
  static constexpr int VNET_I = 8;
  static constexpr int IP_I = 8;
  static constexpr int SUBNET_I = 10;

  /// Azure region name (eastus) to the text written as a route table's region ("East US").
  /// Empty until loadInputJson runs.
  static collab::OrderedMap<std::string> REGION;

  static constexpr const char* DEFAULT_MODULE_SOURCE = "../module_azure_brownfield_spoke_vnet";

  /// Global option key to its type word ("boolean", "string" or "int"), in the order the
  /// global options are read.
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 7>
      GLOBAL_ATTRIBUTE_LIST{{
          {"configure_gw_name", "boolean"},
          {"configure_staging_attachment", "boolean"},
          {"configure_spoke_advertisement", "boolean"},
          {"enable_spoke_split_cidr", "boolean"},
          {"configure_private_subnet", "boolean"},
          {"configure_subnet_groups", "boolean"},
          {"configure_shared_route_table_replication", "int"},
      }};

  /// Subnet names Azure reserves for its own services.  Empty until loadInputJson runs.
  static std::vector<std::string> AZURE_SUBNET;

  /// Reads <data path>/azure_data/input.json into REGION and AZURE_SUBNET.  Called once by the
  /// driver before anything else of basekit is used; nothing is read at load time.
  /// @throws std::runtime_error naming the path when the file cannot be read or parsed, and
  ///         collab::MissingKeyError naming the path and member when a member is missing.
  ///         On failure REGION and AZURE_SUBNET are left as they were.
  static void loadInputJson();

  /// True when `subnetName` is one of AZURE_SUBNET.
  static bool isAzureReservedSubnet(const std::string& subnetName);
  // ---- Configuration access and validation -------------------------------------------------

  /// Loads the YAML configuration at `file_path` and returns it as nested maps and lists,
  /// exactly as the configuration loader gives it.
  static collab::Json convert_yaml_to_json(const std::string& file_path);

  /// Returns when the document's label is `expectYamlFile`.  Otherwise writes
  /// "**Alert** Expect YAML for <expected>, got <label> instead!" to standard output and ends
  /// the process with status 1: a configuration of the wrong kind is a failed run.
  static void expectYamlType(const collab::ConfigDocument& accounts_data,
                             const std::string& expectYamlFile);
  static void expectYamlType(const collab::YamlContext& accounts_data,
                             const std::string& expectYamlFile);

  /// Logs at error "Invalid <scope> option <name>. Valid input is an integer" when `input` is
  /// not an integer (a boolean counts as one).  Never fails.
  static void validateInt(std::string_view scope, std::string_view name, const collab::Json& input);

  /// Writes the run-wide options into the VNet option map `YAML`: the options of
  /// GLOBAL_ATTRIBUTE_LIST from `config` (validated, stored as configured; absent booleans
  /// and texts stored as false and "", absent integers not stored), the two naming transform
  /// lists as tag records, and tf_controller_access, tf_cloud, module_name,
  /// check_gateway_existence and manage_propagate_gateway_routes.
  static void readGlobalConfigOption(const collab::Json& data, collab::Json& YAML);

  /// Writes one account entry's options into `YAML`: subscriptionId, provider (the "alias" of
  /// the subscription record found through YAML["subscriptionMap"]), vwan, and turbo and
  /// max_turbo_performance as lower-case texts (the latter null when absent).
  /// @throws MissingKeyError naming the subscription id when no record is found, or "alias"
  ///         when the record has none; YAML then holds only the new subscriptionId.
  static void readAccountOption(const collab::Json& account, collab::Json& YAML);

  /// Writes one VNet's options into `YAML` from its entry `vnetInYaml[vnet.name]`, in this
  /// order: spoke_gw_name, transit_gw_name, spoke_gw_tags (base class); crvt_gw_size (from
  /// spoke_gw_size, only when set); turbo (only when given); inspection; vnet_name; domain;
  /// max_turbo_performance and spoke_ha (only when given); copy_quad_zero_route,
  /// subnet_groups_inspected, subnet_groups; subnet_in_subnet_groups (their subnet_name
  /// values); spoke_advertisement, spoke_routes (comma-joined); migrate_non_associated_subnet;
  /// filter_service_tags ([] when null).  turbo, inspection, max_turbo_performance and
  /// spoke_ha are stored as lower-case texts.  Every listed key of the entry must be present
  /// (null when unset), or MissingKeyError names it; keys written before stay written.  Logs "
  /// **Error** max_turbo_performance can only be set when turbo is set to True" at error when turbo
  /// is "false" and max_turbo_performance is set.
  static void readVnetOption(const collab::Json& vnetInYaml,
                             const collab::azure::VirtualNetwork& vnet, collab::Json& YAML);

  // ---- Route-table naming ------------------------------------------------------------------

  /// The name the run's configuration prescribes under `key` (CONFIG_RTB_NAME or
  /// CONFIG_SHARED_RTB_NAME) for a copy of table `rtbName` of subnet `subnetName` in VNet
  /// `vnetName`; nullopt when no transform is configured.
  static std::optional<std::string> getCustomizedPathbookName(const std::string& key,
                                                              const std::string& vnetName,
                                                              const std::string& subnetName,
                                                              const std::string& rtbName);
  /// The configured main-route-table prefix of VNet `vnetName`, or nullopt.
  static std::optional<std::string> getMainTablePrefix(const std::string& vnetName);

  /// Applies a transform list ("base" templates with {placeholder}s filled from `iDict`, in
  /// its order, and "search,replacement" entries) and returns the text.
  /// @throws MissingKeyError for an entry without "key", or a base/replace entry without
  ///         "value"; IndexRangeError for a replace value without a comma; WrongTypeError for
  ///         a base/replace value that is not a text.
  static std::string transformName(const collab::Json& transforms,
                                   const collab::OrderedMap<std::string>& iDict);

  /// The transform list as tag records [{"Key": key, "Value": value}, ...]; an empty list
  /// when `transformList` is not a list or any entry lacks "key" or "value".  Never fails.
  static collab::Json getPathbookNameConfig(const collab::Json& transformList);

  /// prestage.default_route_table, or null when either lookup fails.  Never fails.
  static collab::Json getPreStageDefaultPathbook(const collab::Json& yamlObj);

  /// True when an account_info entry of subscription `subsId` has a true onboard_account, or
  /// when terraform.enable_s3_backend is the boolean true.
  static bool isMainTfRequired(const collab::Json& accounts_data, const std::string& subsId);

  // ---- Accounts, subscriptions and per-VNet options ----------------------------------------

  /// The subscription map built from the azure_cred section: per listed subscription id (and
  /// "corvanta" for the entry of that name) a record with secret_env, secret_data_src ("" when
  /// not configured), app_id, dir_id, sub_id and apps (the entry's name).  An entry that names
  /// another sign-in method (arm_auth_method) adds auth_method and whichever of
  /// certificate_path, certificate_password_env, federated_token_file and
  /// managed_identity_client_id it gives; of secret_env, app_id and dir_id it needs only those
  /// its method reads (null when absent).  A missing or malformed section, a non-list
  /// arm_subscription_id, an unknown method or an entry lacking a key its method needs is
  /// logged at error and ends the process with status 1.
  static collab::Json getAzureSubscriptionInfo(const collab::Json& yamlObj);
  /// The subscription map built from terraform.azurerm.
  static collab::Json getAzurermSubscriptionInfo(const collab::Json& yamlObj);
  /// The subscription map built from vnet_cidr.
  static collab::Json getVnetCidrSubscriptionInfo(const collab::Json& yamlObj);

  /// A copy of the record of `subscriptionId`, else of the "corvanta" record with that
  /// sub_id, else nullopt.  An account entry (null for none) sets account_name and alias.
  static std::optional<collab::Json> getSubscription(const collab::Json& subscriptionMap,
                                                     const std::string& subscriptionId,
                                                     const collab::Json& account = {});

  /// terraform.corvanta_account.account_name, or "VeridAve" (logged at error) when unreadable.
  static collab::Json getArmAccountName(const collab::Json& yamlObj);
  /// The entry's account_name when it is a text; otherwise logs at error and returns nullopt.
  static std::optional<std::string> getAccountName(const collab::Json& account);
  /// The entry's vnets, or an empty map when missing, empty or without a size.
  static collab::Json getSubscriptionVnets(const collab::Json& subscription);
  /// corvanta.controller_private_ip, or null.
  static collab::Json getControllerPrivateIp(const collab::Json& yamlObj);
  /// switch_traffic.transit_peerings, or an empty map when missing or null.
  static collab::Json getTransitPeeringMap(const collab::Json& yamlObj);
  /// The VNet's spoke_routes joined with ",", or nullopt when unset or not all texts.
  static std::optional<std::string> getSpokeRoutes(const collab::Json& vnetInYaml,
                                                   const collab::azure::VirtualNetwork& vnet);
  /// The VNet's spoke_advertisement joined with ",", or nullopt when unset or not all texts.
  static std::optional<std::string> getSpokeAdvertisement(
      const collab::Json& vnetInYaml, const collab::azure::VirtualNetwork& vnet);
  /// The entry's filter_cidrs as configured, or an empty list when missing.
  static collab::Json getFilterCidrs(const collab::Json& account);
  /// switch_traffic.delete_vnet_lock: false when missing, or (logged at error) not a boolean.
  static bool getSWDeleteVnetLock(const collab::Json& accounts_data);
  /// cleanup.delete_vnet_lock: false when missing, or (logged at error) not a boolean.
  static bool getCUDeleteVnetLock(const collab::Json& accounts_data);

  // ---- Output folders and log layout -------------------------------------------------------

  /// log_output, or "./" (logged at warning) when it cannot be read.
  static collab::Json getLogFolder(const collab::Json& yamlObj);
  /// Creates <log_output>/log when missing and points the run's logging configuration's main
  /// and alert handlers at kx.log and kx.alert.log in it.  The caller applies it.
  /// @throws MissingKeyError when log_output or a handler is missing;
  ///         std::filesystem::filesystem_error when the folder cannot be created.
  static collab::logconf& intLogLocationMgmtVnetCidr(const collab::Json& accounts_data);
  /// terraform_output + "/" + the account name or subscription id, as account_folder says.
  static std::string getTargetLocation(const collab::Json& subscriptionInfo,
                                       const collab::Json& accounts_data);
  /// The temporary folder's name as terraform.tmp_folder_id says ("VNET_ID": the first VNet
  /// of the first account; "YAML_ID": the file name with "." turned into "-"), or nullopt.
  static std::optional<std::string> getTmpFolderId(const collab::Json& data,
                                                   const std::string& yamlFileName);
  /// The subscription banner, seven lines at warning.
  static void logSubscription(const std::string& id);
  /// The VNet banner, ten lines at info.
  /// @throws IndexRangeError when the VNet id has no resource-group component.
  static void logVnetHeader(const collab::azure::VirtualNetwork& vnet);
  /// The route-table banner, seven lines at info.
  static void logPathbookHeader();
};

}  // namespace basekit
