#include "config/config_schema.hpp"

#include <algorithm>
#include <utility>

#include "collab/azure/sign_in_method.hpp"

namespace collab::config {

namespace {

// Small builders so that the schema below reads like the table in docs/configuration.md.

SchemaPtr scalar(unsigned kinds, std::string expected) {
  auto node = std::make_shared<SchemaNode>();
  node->shape = Shape::kScalar;
  node->kinds = kinds;
  node->expected = std::move(expected);
  return node;
}

SchemaPtr boolean() { return scalar(kBool, "a boolean (true or false)"); }
SchemaPtr optBoolean() { return scalar(kBool | kNull, "a boolean (true or false) or null"); }
SchemaPtr integer() { return scalar(kInt, "an integer"); }
SchemaPtr text() { return scalar(kText, "text"); }
SchemaPtr optText() { return scalar(kText | kNull, "text or null"); }

SchemaPtr choice(std::vector<std::string> values, bool ignoreCase, bool nullable) {
  std::string expected = "one of ";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) expected += i + 1 == values.size() ? " or " : ", ";
    expected += "'" + values[i] + "'";
  }
  if (ignoreCase) expected += " (in any case)";
  if (nullable) expected += ", or null";
  auto node = std::make_shared<SchemaNode>();
  node->kinds = kText | (nullable ? kNull : 0u);
  node->expected = std::move(expected);
  node->choices = std::move(values);
  node->choicesIgnoreCase = ignoreCase;
  return node;
}

struct ListOptions {
  bool nullable = false;     // null is kept as null (absent list)
  bool nullIsEmpty = false;  // null is stored as []
};

SchemaPtr listOf(SchemaPtr element, std::string expected, ListOptions options = {}) {
  auto node = std::make_shared<SchemaNode>();
  node->shape = Shape::kList;
  node->element = std::move(element);
  node->nullIsEmpty = options.nullIsEmpty;
  node->kinds = options.nullable ? kNull : 0u;
  node->expected = std::move(expected);
  if (options.nullable) node->expected += " or null";
  return node;
}

SchemaPtr record(std::string expected, std::vector<FieldSpec> fields, bool nullIsEmpty,
                 std::vector<RecordRule> rules = {}) {
  auto node = std::make_shared<SchemaNode>();
  node->shape = Shape::kRecord;
  node->expected = std::move(expected);
  node->fields = std::move(fields);
  node->nullIsEmpty = nullIsEmpty;
  node->rules = std::move(rules);
  return node;
}

SchemaPtr dictionary(std::string expected, SchemaPtr element, bool nullable, bool nullIsEmpty) {
  auto node = std::make_shared<SchemaNode>();
  node->shape = Shape::kDictionary;
  node->expected = std::move(expected);
  node->element = std::move(element);
  node->kinds = nullable ? kNull : 0u;
  node->nullIsEmpty = nullIsEmpty;
  return node;
}

FieldSpec required(std::string key, SchemaPtr type) {
  return FieldSpec{std::move(key), std::move(type), true, std::nullopt, {}, false, {}};
}
FieldSpec optional(std::string key, SchemaPtr type) {
  return FieldSpec{std::move(key), std::move(type), false, std::nullopt, {}, false, {}};
}
FieldSpec withDefault(std::string key, SchemaPtr type, Json value) {
  return FieldSpec{std::move(key), std::move(type), false, std::move(value), {}, false, {}};
}
// A section: a map that is always present after loading, with the defaults of its keys.
FieldSpec section(std::string key, std::vector<FieldSpec> fields) {
  return withDefault(key, record("a map of '" + key + "' options", std::move(fields), true),
                     Json::object());
}

SchemaPtr textList() { return listOf(text(), "a list of texts", {.nullIsEmpty = true}); }
SchemaPtr optTextList() { return listOf(text(), "a list of texts", {.nullable = true}); }

// {Key: ..., Value: ...}: the form in which route tables and gateways take extra tags.
SchemaPtr tagRecords(ListOptions options) {
  auto tag = record("a tag record with 'Key' and 'Value'",
                    {required("Key", text()), required("Value", text())}, false);
  return listOf(tag, "a list of tag records", options);
}

// A naming transform list: {key: base, value: template} and {key: replace, value: "from,to"}.
SchemaPtr transformList() {
  auto key = choice({"base", "replace"}, false, false);
  auto advisory = std::make_shared<SchemaNode>(*key);
  advisory->choicesAdvisory = true;
  RecordRule replaceNeedsComma = [](const Json& entry) -> std::optional<RuleViolation> {
    auto k = entry.find("key");
    auto v = entry.find("value");
    if (k != entry.end() && v != entry.end() && k->is_string() && v->is_string() &&
        *k == "replace" && v->get_ref<const std::string&>().find(',') == std::string::npos)
      return RuleViolation{"value", "text of the form 'search,replacement'"};
    return std::nullopt;
  };
  auto entry =
      record("a transform entry with 'key' and 'value'",
             {required("key", advisory), required("value", text())}, false, {replaceNeedsComma});
  return listOf(entry, "a list of transform entries", {.nullIsEmpty = true});
}

// The four keys every credential entry carries.
std::vector<FieldSpec> credentialFields(bool subscriptionListed) {
  std::vector<FieldSpec> fields;
  if (subscriptionListed) fields.push_back(required("arm_subscription_id", text()));
  fields.push_back(required("arm_application_secret_env", text()));
  fields.push_back(required("arm_application_id", text()));
  fields.push_back(required("arm_directory_id", text()));
  return fields;
}

// The entry's own name, filled in when absent: readers that take the first VNet of an account
// (the temporary folder's name) read it from the entry, not from the map key.
FieldSpec entryName(std::string key) {
  FieldSpec field{std::move(key), text(), false, std::nullopt, {}, true, {}};
  return field;
}

SchemaPtr vnetEntry() {
  auto subnetGroup =
      record("a subnet-group entry with 'subnet_name'", {required("subnet_name", text())}, false);
  // Gateway tags are a plain map from tag name to value (the base class hands them on as
  // such), unlike the route-table tags, which are tag records.
  auto gatewayTags = dictionary("a map from tag name to tag value", text(), true, false);
  return record(
      "a map of VNet options",
      {
          entryName("vnet_name"),
          optional("spoke_gw_name", optText()),
          optional("transit_gw_name", optText()),
          optional("spoke_gw_tags", gatewayTags),
          withDefault("spoke_gw_size", optText(), nullptr),
          withDefault("turbo", optBoolean(), nullptr),
          withDefault("max_turbo_performance", optBoolean(), nullptr),
          withDefault("inspection", optBoolean(), nullptr),
          withDefault("spoke_ha", optBoolean(), nullptr),
          withDefault("domain", optText(), nullptr),
          withDefault("copy_quad_zero_route", boolean(), false),
          withDefault("subnet_groups",
                      listOf(subnetGroup, "a list of subnet-group entries", {.nullable = true}),
                      nullptr),
          withDefault("subnet_groups_inspected", boolean(), false),
          withDefault("spoke_routes", optTextList(), nullptr),
          withDefault("spoke_advertisement", optTextList(), nullptr),
          withDefault("migrate_non_associated_subnet", boolean(), false),
          withDefault("filter_service_tags", textList(), Json::array()),
          withDefault("route_table_tags", tagRecords({.nullIsEmpty = true}), Json::array()),
      },
      true);
}

SchemaPtr accountEntry() {
  return record(
      "an account entry (a map with 'subscription_id')",
      {
          required("subscription_id", text()),
          optional("account_name", text()),
          optional("tf_provider_alias", optText()),
          withDefault("vwan", boolean(), false),
          withDefault("turbo", boolean(), false),
          withDefault("max_turbo_performance", optBoolean(), nullptr),
          optional("onboard_account", boolean()),
          withDefault("filter_cidrs", textList(), Json::array()),
          withDefault("vnets",
                      dictionary("a map from VNet name to its options", vnetEntry(), false, true),
                      Json::object()),
      },
      false);
}

// An azure_cred key that only some sign-in methods need: required when the entry's
// `arm_auth_method` (the client secret when absent, as before there was a choice) needs it.
FieldSpec neededBySignIn(std::string key) {
  FieldSpec field = required(key, text());
  field.requiredWhen = [key](const Json& entry) -> std::optional<std::string> {
    namespace az = collab::azure;
    const auto given = entry.find(az::credential_keys::kAuthMethod);
    const bool chosen = given != entry.end() && given->is_string();
    const auto method = chosen ? az::parseSignInMethod(given->get<std::string>())
                               : std::optional(az::SignInMethod::ClientSecret);
    if (!method) return std::nullopt;  // reported as a value outside the choices already
    const auto& keys = az::requiredCredentialKeys(*method);
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) return std::nullopt;
    if (!chosen) return std::string();
    return std::string(az::credential_keys::kAuthMethod) + " '" +
           std::string(az::signInMethodName(*method)) + "' needs it";
  };
  return field;
}

SchemaPtr discoverySchema() {
  auto azureCredEntry = [] {
    namespace keys = collab::azure::credential_keys;
    auto subs =
        required("arm_subscription_id", listOf(text(), "a list of subscription id texts", {}));
    subs.notRequiredInEntry = "corvanta";
    std::vector<std::string> methods;
    for (auto name : collab::azure::signInMethodNames()) methods.emplace_back(name);
    std::vector<FieldSpec> fields{
        std::move(subs),
        optional(std::string(keys::kAuthMethod), choice(std::move(methods), false, false)),
        neededBySignIn(std::string(keys::kSecretEnv)),
        neededBySignIn(std::string(keys::kApplicationId)),
        neededBySignIn(std::string(keys::kDirectoryId)),
        optional("arm_application_secret_data_src", text()),
        neededBySignIn(std::string(keys::kCertificatePath)),
        optional(std::string(keys::kCertificatePasswordEnv), text()),
        optional(std::string(keys::kFederatedTokenFile), text()),
        optional(std::string(keys::kManagedIdentityClientId), text()),
    };
    return record("a credential entry", std::move(fields), false);
  }();
  auto azurermEntry = [] {
    auto fields = credentialFields(true);
    fields.push_back(withDefault("alias", optText(), nullptr));
    fields.push_back(withDefault("account_name", optText(), nullptr));
    return record("a provider entry", std::move(fields), false);
  }();
  auto vnetCidrEntry = record("a credential entry", credentialFields(true), false);

  return record(
      "a map of configuration sections",
      {
          required("kind", text()),
          withDefault("log_output", text(), "./"),
          section(
              "config",
              {
                  withDefault("configure_gw_name", boolean(), false),
                  withDefault("configure_staging_attachment", boolean(), false),
                  withDefault("configure_spoke_advertisement", boolean(), false),
                  withDefault("enable_spoke_split_cidr", boolean(), false),
                  withDefault("configure_private_subnet", boolean(), false),
                  withDefault("configure_subnet_groups", boolean(), false),
                  optional("configure_shared_route_table_replication", integer()),
                  withDefault("configure_route_table_name", transformList(), Json::array()),
                  withDefault("configure_shared_route_table_name", transformList(), Json::array()),
                  withDefault("configure_main_route_table_prefix", transformList(), Json::array()),
                  withDefault("gateway_instance_size", text(), "Standard_D3_v2"),
              }),
          section("corvanta",
                  {
                      withDefault("tf_controller_access", boolean(), false),
                      optional("controller_private_ip", optText()),
                  }),
          section(
              "terraform",
              {
                  withDefault("tf_cloud", boolean(), false),
                  withDefault("module_name", optText(), nullptr),
                  withDefault("terraform_output", text(), "./terraform"),
                  optional("account_folder", choice({"name", "id"}, true, true)),
                  withDefault("tmp_folder_id", choice({"VNET_ID", "YAML_ID"}, false, true),
                              nullptr),
                  withDefault("enable_s3_backend", boolean(), false),
                  optional("corvanta_account", record("a map with 'account_name'",
                                                      {optional("account_name", text())}, true)),
                  withDefault(
                      "azurerm",
                      listOf(azurermEntry, "a list of provider entries", {.nullIsEmpty = true}),
                      Json::array()),
              }),
          section("alert", {withDefault("check_gateway_existence", boolean(), true)}),
          section("switch_traffic",
                  {
                      withDefault("manage_propagate_gateway_routes", boolean(), false),
                      optional("transit_peerings",
                               dictionary("a map of transit peerings", nullptr, true, false)),
                      optional("delete_vnet_lock", boolean()),
                  }),
          section("cleanup", {optional("delete_vnet_lock", boolean())}),
          section("prestage", {optional("default_route_table", optText())}),
          optional("azure_cred", dictionary("a map from credential name to credential entry",
                                            azureCredEntry, false, false)),
          withDefault("vnet_cidr",
                      listOf(vnetCidrEntry, "a list of credential entries", {.nullIsEmpty = true}),
                      Json::array()),
          withDefault("account_info",
                      listOf(accountEntry(), "a list of account entries", {.nullIsEmpty = true}),
                      Json::array()),
      },
      false);
}

void collectPaths(const SchemaNode& node, const std::string& prefix,
                  std::vector<std::string>& out) {
  switch (node.shape) {
    case Shape::kScalar:
      return;
    case Shape::kList:
      if (node.element) collectPaths(*node.element, prefix + "[]", out);
      return;
    case Shape::kDictionary:
      if (node.element) collectPaths(*node.element, prefix + ".*", out);
      return;
    case Shape::kRecord:
      for (const auto& field : node.fields) {
        std::string path = prefix.empty() ? field.key : prefix + "." + field.key;
        out.push_back(path);
        collectPaths(*field.type, path, out);
      }
      return;
  }
}

}  // namespace

const SchemaNode* schemaFor(std::string_view kind) {
  static const SchemaPtr discovery = discoverySchema();
  if (kind == "discovery") return discovery.get();
  return nullptr;
}

const std::vector<std::string>& knownKinds() {
  static const std::vector<std::string> kinds{"discovery"};
  return kinds;
}

std::vector<std::string> schemaKeyPaths(const SchemaNode& schema) {
  std::vector<std::string> out;
  collectPaths(schema, "", out);
  return out;
}

}  // namespace collab::config
