// Reading the configuration into the per-VNet option map, in three layers: run-wide options,
// the account's, the VNet's.
#include <iostream>
#include <string>

#include "basekit/common.hpp"
#include "collab/log_text.hpp"
#include "json_access.hpp"

namespace basekit {

using collab::Json;
using detail::at;
using detail::has;
using detail::log;
using detail::lowerTextForm;

namespace {

void expectLabel(const std::string& label, const std::string& expected) {
  if (label == expected) return;
  // The label comes from the file: shown escaped, so it cannot rewrite the terminal.
  std::cout << "**Alert** Expect YAML for " << expected << ", got " << collab::escapeControls(label)
            << " instead!" << std::endl;
  // A configuration of the wrong kind means nothing was done: report it as a failure.
  detail::exitProcess(1);
}

}  // namespace

void Common::expectYamlType(const collab::ConfigDocument& accounts_data,
                            const std::string& expectYamlFile) {
  expectLabel(accounts_data.getLabel(), expectYamlFile);
}

void Common::expectYamlType(const collab::YamlContext& accounts_data,
                            const std::string& expectYamlFile) {
  expectLabel(accounts_data.getLabel(), expectYamlFile);
}

void Common::validateInt(std::string_view scope, std::string_view name, const Json& input) {
  // A boolean is an integer here (True is 1), so it passes.
  if (input.is_number_integer() || input.is_boolean()) return;
  log()->error("Invalid {} option {}. Valid input is an integer", scope, name);
}

void Common::readGlobalConfigOption(const Json& data, Json& YAML) {
  const Json& input = at(data, "config");
  for (const auto& [key, type] : GLOBAL_ATTRIBUTE_LIST) {
    const std::string k(key);
    if (has(input, key)) {
      const Json& value = at(input, key);
      if (type == "boolean")
        validateBoolean("Global", key, value);
      else if (type == "string")
        validateString("Global", key, value);
      else if (type == "int")
        validateInt("Global", key, value);
      // Reported values are kept all the same: the operator sees the error in the log.
      YAML[k] = value;
    } else if (type == "boolean") {
      YAML[k] = false;
    } else if (type == "string") {
      YAML[k] = "";
    }
    // An absent integer option is not written, so a reused map keeps the earlier value.
  }
  YAML["configure_route_table_name"] =
      getPathbookNameConfig(at(at(data, "config"), "configure_route_table_name"));
  YAML["configure_main_route_table_prefix"] =
      getPathbookNameConfig(at(at(data, "config"), "configure_main_route_table_prefix"));
  YAML["tf_controller_access"] = at(at(data, "corvanta"), "tf_controller_access");
  YAML["tf_cloud"] = at(at(data, "terraform"), "tf_cloud");
  YAML["module_name"] = at(at(data, "terraform"), "module_name");
  YAML["check_gateway_existence"] = at(at(data, "alert"), "check_gateway_existence");
  YAML["manage_propagate_gateway_routes"] =
      at(at(data, "switch_traffic"), "manage_propagate_gateway_routes");
}

void Common::readAccountOption(const Json& account, Json& YAML) {
  YAML["subscriptionId"] = at(account, "subscription_id");
  const std::string subscriptionId = collab::textForm(YAML["subscriptionId"]);
  auto record = getSubscription(at(YAML, "subscriptionMap"), subscriptionId, account);
  if (!record) throw collab::MissingKeyError(subscriptionId, "subscription map");
  YAML["provider"] = at(*record, "alias");
  YAML["vwan"] = at(account, "vwan");
  YAML["turbo"] = lowerTextForm(at(account, "turbo"));
  YAML["max_turbo_performance"] = nullptr;
  if (const Json& max = at(account, "max_turbo_performance"); !max.is_null())
    YAML["max_turbo_performance"] = lowerTextForm(max);
}

void Common::readVnetOption(const Json& vnetInYaml, const collab::azure::VirtualNetwork& vnet,
                            Json& YAML) {
  // The VNet's entry is looked up for every step, as a missing entry or key must fail at the
  // step that needs it and leave the earlier steps' keys written.
  auto v = [&](std::string_view key) -> const Json& { return at(at(vnetInYaml, vnet.name), key); };

  YAML["spoke_gw_name"] = getSpokeGatewayName(vnetInYaml, vnet.name, VPC_NAME_MAX_LENGTH);
  YAML["transit_gw_name"] = getTransitGatewayName(vnetInYaml, vnet.name);
  YAML["spoke_gw_tags"] = getSpokeGatewayTags(vnetInYaml, vnet.name);
  if (const Json& size = v("spoke_gw_size"); detail::truthy(size)) YAML["crvt_gw_size"] = size;
  if (const Json& turbo = v("turbo"); !turbo.is_null()) YAML["turbo"] = lowerTextForm(turbo);
  const Json& inspection = v("inspection");
  YAML["inspection"] = inspection.is_null() ? Json() : Json(lowerTextForm(inspection));
  YAML["vnet_name"] = vnet.name;
  YAML["domain"] = v("domain");
  if (const Json& max = v("max_turbo_performance"); !max.is_null())
    YAML["max_turbo_performance"] = lowerTextForm(max);
  if (const Json& ha = v("spoke_ha"); !ha.is_null()) YAML["spoke_ha"] = lowerTextForm(ha);

  if (at(YAML, "turbo") == "false" && !at(YAML, "max_turbo_performance").is_null())
    log()->error("  **Error** max_turbo_performance can only be set when turbo is set to True");

  YAML["copy_quad_zero_route"] = v("copy_quad_zero_route");
  YAML["subnet_groups_inspected"] = v("subnet_groups_inspected");
  YAML["subnet_groups"] = v("subnet_groups");

  YAML["subnet_in_subnet_groups"] = Json::array();
  if (const Json& groups = at(YAML, "subnet_groups"); !groups.is_null()) {
    if (!groups.is_array())
      throw collab::WrongTypeError("subnet_groups of VNet " + vnet.name + " must be a list, got " +
                                   collab::reprForm(groups));
    Json names = Json::array();
    for (const Json& group : groups) names.push_back(at(group, "subnet_name"));
    YAML["subnet_in_subnet_groups"] = std::move(names);
  }

  auto orNull = [](const std::optional<std::string>& text) { return text ? Json(*text) : Json(); };
  YAML["spoke_advertisement"] = orNull(getSpokeAdvertisement(vnetInYaml, vnet));
  YAML["spoke_routes"] = orNull(getSpokeRoutes(vnetInYaml, vnet));
  YAML["migrate_non_associated_subnet"] = v("migrate_non_associated_subnet");
  const Json& serviceTags = v("filter_service_tags");
  YAML["filter_service_tags"] = serviceTags.is_null() ? Json::array() : serviceTags;
}

}  // namespace basekit
