// Naming the copies of route tables from the configuration's transform lists.
#include <string>
#include <string_view>
#include <vector>

#include "basekit/common.hpp"
#include "json_access.hpp"

namespace basekit {

using collab::Json;
using detail::at;
using detail::has;

namespace {

// The run's configuration context, which holds the naming transform lists.
collab::YamlContext& yctx() { return collab::YamlContext::get(); }

// Replaces every occurrence of `from` in `text`, left to right without overlap.  An empty
// `from` puts `to` before every character and after the last one (on an empty text: `to`);
// characters are UTF-8 sequences, never split.
std::string replaceAll(const std::string& text, const std::string& from, const std::string& to) {
  std::string out;
  if (from.empty()) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) out += to;
      out += text[i];
    }
    out += to;
    return out;
  }
  std::size_t pos = 0;
  for (auto hit = text.find(from); hit != std::string::npos; hit = text.find(from, pos)) {
    out.append(text, pos, hit - pos);
    out += to;
    pos = hit + from.size();
  }
  out.append(text, pos);
  return out;
}

const std::string& textValue(const Json& entry, std::string_view kind) {
  const Json& value = at(entry, "value");
  if (!value.is_string())
    throw collab::WrongTypeError("the value of a " + std::string(kind) +
                                 " transform must be a text, got " + collab::reprForm(value));
  return value.get_ref<const std::string&>();
}

std::optional<std::string> configuredName(const char* key,
                                          const collab::OrderedMap<std::string>& names) {
  const Json transforms = yctx().getGlobalContext(key);
  if (!transforms.is_array())
    throw collab::WrongTypeError(std::string("the transform list ") + key + " must be a list");
  // No transform means no prescribed name (never the empty text).
  if (transforms.empty()) return std::nullopt;
  return Common::transformName(transforms, names);
}

}  // namespace

std::optional<std::string> Common::getCustomizedPathbookName(const std::string& key,
                                                             const std::string& vnetName,
                                                             const std::string& subnetName,
                                                             const std::string& rtbName) {
  return configuredName(key.c_str(), {{"vnet", vnetName}, {"snet", subnetName}, {"rtb", rtbName}});
}

std::optional<std::string> Common::getMainTablePrefix(const std::string& vnetName) {
  return configuredName("configure_main_route_table_prefix", {{"vnet", vnetName}});
}

std::string Common::transformName(const Json& transforms,
                                  const collab::OrderedMap<std::string>& iDict) {
  if (!transforms.is_array())
    throw collab::WrongTypeError("a transform list must be a list, got " +
                                 collab::reprForm(transforms));
  std::string name;
  for (const Json& entry : transforms) {
    const Json& key = at(entry, "key");
    if (key == "base") {
      // A base entry starts over from its own template.
      name = textValue(entry, "base");
      for (const auto& [placeholder, value] : iDict)
        name = replaceAll(name, "{" + placeholder + "}", value);
    } else if (key == "replace") {
      const std::string& spec = textValue(entry, "replace");
      const std::vector<std::string> pieces = detail::splitAt(spec, ',');
      if (pieces.size() < 2)
        throw collab::IndexRangeError("replace transform '" + spec +
                                      "' has no replacement: expected search,replacement");
      // Pieces after the second are ignored.
      name = replaceAll(name, pieces[0], pieces[1]);
    }
  }
  return name;
}

Json Common::getPathbookNameConfig(const Json& transformList) {
  Json records = Json::array();
  if (!transformList.is_array()) return records;
  for (const Json& entry : transformList) {
    if (!has(entry, "key") || !has(entry, "value")) return Json::array();
    records.push_back({{"Key", entry["key"]}, {"Value", entry["value"]}});
  }
  return records;
}

Json Common::getPreStageDefaultPathbook(const Json& yamlObj) {
  try {
    return at(at(yamlObj, "prestage"), "default_route_table");
  } catch (const std::exception&) {
    return nullptr;
  }
}

bool Common::isMainTfRequired(const Json& accounts_data, const std::string& subsId) {
  const Json& accounts = at(accounts_data, "account_info");
  if (!accounts.is_array())
    throw collab::WrongTypeError("account_info must be a list, got a " +
                                 std::string(accounts.type_name()));
  bool onboard = false;
  for (const Json& account : accounts) {
    if (at(account, "subscription_id") == subsId && has(account, "onboard_account"))
      onboard = onboard || detail::truthy(account["onboard_account"]);
  }
  // Both parts are read, so a configuration without enable_s3_backend always fails here.
  const bool s3Backend = at(at(accounts_data, "terraform"), "enable_s3_backend") == true;
  return onboard || s3Backend;
}

}  // namespace basekit
