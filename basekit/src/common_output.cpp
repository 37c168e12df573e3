// Where the run writes its output, and the banners that give the discovery log its shape.
#include <filesystem>
#include <string>
#include <vector>

#include "basekit/common.hpp"
#include "json_access.hpp"

namespace basekit {

using collab::Json;
using collab::textForm;
using detail::at;
using detail::log;

namespace {

const std::string& subscriptionRule() {
  static const std::string rule(45, '+');
  return rule;
}

const std::string& sectionRule() {
  static const std::string rule(45, '-');
  return rule;
}

// The first VNet entry of an account.  The loaded configuration keeps an account's VNets as a
// map from VNet name to entry, in file order, so the first is the first the file lists (the
// loader fills each entry's vnet_name with its name); a list of entries is taken as it is.
const Json& firstVnet(const Json& vnets) {
  if (!vnets.is_object()) return detail::index(vnets, 0);
  if (vnets.empty()) throw collab::IndexRangeError("entry 0 of a map of 0 VNets");
  return vnets.front();
}

}  // namespace

Json Common::getLogFolder(const Json& yamlObj) {
  try {
    return at(yamlObj, "log_output");
  } catch (const std::exception&) {
    log()->warn("**Alert** output folder attribute log_output not defined, default to \"./\"");
    return "./";
  }
}

collab::logconf& Common::intLogLocationMgmtVnetCidr(const Json& accounts_data) {
  const std::string logFolder = textForm(at(accounts_data, "log_output")) + "/log";
  if (!std::filesystem::exists(logFolder)) std::filesystem::create_directories(logFolder);

  auto& conf = collab::logconf::get();
  Json& handlers = at(conf.logging_config, "handlers");
  at(handlers, collab::logconf::MAIN_HANDLER)["filename"] = logFolder + "/kx.log";
  at(handlers, collab::logconf::ALERT_HANDLER)["filename"] = logFolder + "/kx.alert.log";
  return conf;
}

std::string Common::getTargetLocation(const Json& subscriptionInfo, const Json& accounts_data) {
  const Json& terraform = at(accounts_data, "terraform");
  const std::string targetFolder = textForm(at(terraform, "terraform_output"));
  const auto bySubscriptionId = [&] {
    return targetFolder + "/" + textForm(at(subscriptionInfo, "sub_id"));
  };

  Json accountFolder;
  try {
    accountFolder = at(terraform, "account_folder");
  } catch (const std::exception&) {
    return bySubscriptionId();
  }
  if (!accountFolder.is_null()) {
    const std::string how = detail::lowerTextForm(accountFolder);
    if (how == "name") return targetFolder + "/" + textForm(at(subscriptionInfo, "account_name"));
    if (how == "id") return bySubscriptionId();
    log()->error(
        "**Error** unknown account_folder value: {}, use default subscription ID as folder name",
        textForm(accountFolder));
  }
  return bySubscriptionId();
}

std::optional<std::string> Common::getTmpFolderId(const Json& data,
                                                  const std::string& yamlFileName) {
  const Json& how = at(at(data, "terraform"), "tmp_folder_id");
  if (how == "VNET_ID") {
    const Json& account = detail::index(at(data, "account_info"), 0);
    return textForm(at(firstVnet(at(account, "vnets")), "vnet_name"));
  }
  if (how == "YAML_ID") {
    std::filesystem::path path(yamlFileName);
    // A trailing "/" does not hide the last component.
    while (!path.empty() && !path.has_filename() && path.has_parent_path() &&
           path != path.root_path())
      path = path.parent_path();
    std::string name = path.filename().string();
    for (char& c : name)
      if (c == '.') c = '-';
    return name;
  }
  return std::nullopt;
}

void Common::logSubscription(const std::string& id) {
  auto logger = log();
  logger->warn("");
  logger->warn(subscriptionRule());
  logger->warn("");
  logger->warn("    Subscription ID :  {}", id);
  logger->warn("");
  logger->warn(subscriptionRule());
  logger->warn("");
}

void Common::logVnetHeader(const collab::azure::VirtualNetwork& vnet) {
  // Everything is read before the first line, so a bad id writes no half banner.
  const auto idParts = detail::splitAt(vnet.id, '/');
  if (idParts.size() <= static_cast<std::size_t>(RG_I))
    throw collab::IndexRangeError("VNet id '" + vnet.id + "' has no resource group component");
  const std::string& rg = idParts[RG_I];
  const auto& prefixes = vnet.address_space.address_prefixes;
  const std::string cidrs = textForm(prefixes ? Json(*prefixes) : Json());

  auto logger = log();
  logger->info("");
  logger->info(sectionRule());
  logger->info("");
  logger->info("    Vnet Name : {}", vnet.name);
  logger->info("    CIDRs     : {}", cidrs);
  logger->info("    Region    : {}", vnet.location);
  logger->info("    RG        : {}", rg);
  logger->info("");
  logger->info(sectionRule());
  logger->info("");
}

void Common::logPathbookHeader() {
  auto logger = log();
  logger->info("");
  logger->info(sectionRule());
  logger->info("");
  logger->info("    Route Tables");
  logger->info("");
  logger->info(sectionRule());
  logger->info("");
}

}  // namespace basekit
