// Accounts and subscriptions: the subscription maps built from the credential sections, and
// the per-account and per-VNet settings the driver asks for.
#include <string>

#include "basekit/common.hpp"
#include "collab/azure/sign_in_method.hpp"
#include "json_access.hpp"

namespace basekit {

using collab::Json;
using collab::textForm;
using detail::at;
using detail::has;
using detail::log;

namespace {

[[noreturn]] void credentialFailure(const std::string& message) {
  log()->error(message);
  detail::exitProcess(1);
}

// How the entry signs in: its arm_auth_method, the client secret when it names none.
collab::azure::SignInMethod signInMethodOf(const std::string& key, const Json& entry) {
  namespace az = collab::azure;
  if (!has(entry, az::credential_keys::kAuthMethod)) return az::SignInMethod::ClientSecret;
  const Json& given = entry[az::credential_keys::kAuthMethod];
  const auto method = given.is_string() ? az::parseSignInMethod(given.get<std::string>())
                                        : std::optional<az::SignInMethod>();
  if (!method) {
    std::string names;
    for (auto name : az::signInMethodNames())
      names += (names.empty() ? "" : ", ") + std::string(name);
    credentialFailure("**Error** YAML azure_cred: '" + key + "' arm_auth_method - one of " + names +
                      " expected");
  }
  return *method;
}

// The credential fields shared by the corvanta record and the per-subscription ones.  The four
// of every entry come first; a key the entry's sign-in method needs must be there, one it does
// not need is null when absent.  The keys of the other methods follow, only when given, so a
// record of an entry that signs in with its secret is what it always was.
Json credentialRecord(const std::string& key, const Json& entry) {
  namespace keys = collab::azure::credential_keys;
  const auto& needed = collab::azure::requiredCredentialKeys(signInMethodOf(key, entry));
  auto field = [&](std::string_view name) -> Json {
    if (std::find(needed.begin(), needed.end(), name) != needed.end()) return at(entry, name);
    return has(entry, name) ? entry[std::string(name)] : Json();
  };
  Json record = Json::object();
  record["secret_env"] = field(keys::kSecretEnv);
  record["secret_data_src"] = has(entry, "arm_application_secret_data_src")
                                  ? entry["arm_application_secret_data_src"]
                                  : Json("");
  record["app_id"] = field(keys::kApplicationId);
  record["dir_id"] = field(keys::kDirectoryId);
  const std::pair<const char*, std::string_view> others[] = {
      {"auth_method", keys::kAuthMethod},
      {"certificate_path", keys::kCertificatePath},
      {"certificate_password_env", keys::kCertificatePasswordEnv},
      {"federated_token_file", keys::kFederatedTokenFile},
      {"managed_identity_client_id", keys::kManagedIdentityClientId}};
  for (const auto& [name, configKey] : others) {
    const Json value = field(configKey);
    if (!value.is_null()) record[name] = value;
  }
  return record;
}

std::optional<std::string> joinedList(const Json& vnetInYaml, const std::string& vnetName,
                                      const char* key) {
  const Json& v = at(vnetInYaml, vnetName);
  if (!has(v, key)) return std::nullopt;
  const Json& value = v[key];
  if (value.is_null()) return std::nullopt;
  // A single text is one route, not a list of its characters.
  if (value.is_string()) return value.get<std::string>();
  if (!value.is_array()) return std::nullopt;
  std::string joined;
  for (const Json& element : value) {
    if (!element.is_string()) return std::nullopt;
    if (&element != &value.front()) joined += ',';
    joined += element.get_ref<const std::string&>();
  }
  return joined;
}

bool deleteVnetLock(const Json& accounts_data, const char* section) {
  Json value;
  try {
    value = at(at(accounts_data, section), "delete_vnet_lock");
  } catch (const std::exception&) {
    return false;
  }
  if (!value.is_boolean()) {
    log()->error("**Error** expect a boolean value for delete_vnet_lock, False by default");
    return false;
  }
  return value.get<bool>();
}

}  // namespace

Json Common::getAzureSubscriptionInfo(const Json& yamlObj) {
  if (!has(yamlObj, "azure_cred") || !yamlObj["azure_cred"].is_object())
    credentialFailure("**Error** YAML missing 'azure_cred' definition");

  Json subscriptions = Json::object();
  for (const auto& [key, val] : yamlObj["azure_cred"].items()) {
    try {
      if (key == "corvanta") {
        Json record = credentialRecord(key, val);
        record["sub_id"] = "corvanta";
        record["apps"] = "corvanta";
        subscriptions["corvanta"] = std::move(record);
        continue;
      }
      const Json& ids = at(val, "arm_subscription_id");
      if (!ids.is_array())
        credentialFailure("**Error** YAML azure_cred: '" + key +
                          "' arm_subscription_id - list of subscription Id strings expected");
      for (const Json& id : ids) {
        Json record = credentialRecord(key, val);
        record["sub_id"] = id;
        record["apps"] = key;
        // A subscription listed by two entries keeps the later entry's record.
        subscriptions[textForm(id)] = std::move(record);
      }
    } catch (const collab::MissingKeyError& e) {
      credentialFailure("**Error** YAML azure_cred: '" + key + "' missing '" + e.key() + "'");
    }
  }
  return subscriptions;
}

Json Common::getAzurermSubscriptionInfo(const Json& yamlObj) {
  Json subscriptions = Json::object();
  for (const Json& entry : at(at(yamlObj, "terraform"), "azurerm")) {
    const Json& subId = at(entry, "arm_subscription_id");
    Json record = Json::object();
    record["secret_env"] = at(entry, "arm_application_secret_env");
    record["app_id"] = at(entry, "arm_application_id");
    record["dir_id"] = at(entry, "arm_directory_id");
    record["alias"] = at(entry, "alias");
    record["account_name"] = at(entry, "account_name");
    record["sub_id"] = subId;
    subscriptions[textForm(subId)] = std::move(record);
  }
  return subscriptions;
}

Json Common::getVnetCidrSubscriptionInfo(const Json& yamlObj) {
  Json subscriptions = Json::object();
  for (const Json& entry : at(yamlObj, "vnet_cidr")) {
    const Json& subId = at(entry, "arm_subscription_id");
    const Json& secretEnv = at(entry, "arm_application_secret_env");
    const Json& appId = at(entry, "arm_application_id");
    const Json& dirId = at(entry, "arm_directory_id");
    subscriptions[textForm(subId)] = {
        {"secret_env", secretEnv}, {"app_id", appId}, {"dir_id", dirId}};
  }
  return subscriptions;
}

std::optional<Json> Common::getSubscription(const Json& subscriptionMap,
                                            const std::string& subscriptionId,
                                            const Json& account) {
  Json record;
  if (has(subscriptionMap, subscriptionId)) {
    record = subscriptionMap[subscriptionId];
  } else if (has(subscriptionMap, "corvanta")) {
    record = subscriptionMap["corvanta"];
    record["sub_id"] = subscriptionId;
  } else {
    return std::nullopt;
  }
  if (account.is_null()) return record;
  if (has(account, "account_name")) {
    record["account_name"] = account["account_name"];
    record["alias"] = account["account_name"];
  }
  if (has(account, "tf_provider_alias") && !account["tf_provider_alias"].is_null())
    record["alias"] = account["tf_provider_alias"];
  return record;
}

Json Common::getArmAccountName(const Json& yamlObj) {
  try {
    return at(at(at(yamlObj, "terraform"), "corvanta_account"), "account_name");
  } catch (const std::exception&) {
    log()->error("**Error** failed to read account name from yaml. Use default VeridAve");
    return "VeridAve";
  }
}

std::optional<std::string> Common::getAccountName(const Json& account) {
  if (!has(account, "account_name")) {
    log()->error("**Error** missing 'account_name' for {} in 'account_info'",
                 textForm(at(account, "subscription_id")));
    return std::nullopt;
  }
  const Json& name = account["account_name"];
  if (!name.is_string()) {
    log()->error("**Error** expect 'account_name' to be a string but got {}", textForm(name));
    return std::nullopt;
  }
  return name.get<std::string>();
}

Json Common::getSubscriptionVnets(const Json& subscription) {
  if (!has(subscription, "vnets")) return Json::object();
  const Json& vnets = subscription["vnets"];
  // Only collections and texts have a size; anything else counts as no VNets.
  const bool sized = vnets.is_object() || vnets.is_array() || vnets.is_string();
  if (!sized || !detail::truthy(vnets)) return Json::object();
  return vnets;
}

Json Common::getControllerPrivateIp(const Json& yamlObj) {
  try {
    return at(at(yamlObj, "corvanta"), "controller_private_ip");
  } catch (const std::exception&) {
    return nullptr;
  }
}

Json Common::getTransitPeeringMap(const Json& yamlObj) {
  try {
    const Json& peerings = at(at(yamlObj, "switch_traffic"), "transit_peerings");
    return peerings.is_null() ? Json::object() : peerings;
  } catch (const collab::MissingKeyError&) {
    return Json::object();
  }
}

std::optional<std::string> Common::getSpokeRoutes(const Json& vnetInYaml,
                                                  const collab::azure::VirtualNetwork& vnet) {
  return joinedList(vnetInYaml, vnet.name, "spoke_routes");
}

std::optional<std::string> Common::getSpokeAdvertisement(
    const Json& vnetInYaml, const collab::azure::VirtualNetwork& vnet) {
  return joinedList(vnetInYaml, vnet.name, "spoke_advertisement");
}

Json Common::getFilterCidrs(const Json& account) {
  try {
    return at(account, "filter_cidrs");
  } catch (const std::exception&) {
    return Json::array();
  }
}

bool Common::getSWDeleteVnetLock(const Json& accounts_data) {
  return deleteVnetLock(accounts_data, "switch_traffic");
}

bool Common::getCUDeleteVnetLock(const Json& accounts_data) {
  return deleteVnetLock(accounts_data, "cleanup");
}

}  // namespace basekit
