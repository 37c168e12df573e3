#include "collab/cross_cloud_common.hpp"

#include <dlfcn.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "collab/text_form.hpp"

namespace collab::CrossCloudBasekit {

namespace {
// Constructed on first use, so nothing here can fail during static initialisation.
std::optional<std::string>& dataPathOverride() {
  static std::optional<std::string> path;
  return path;
}

// The data folder of the tree this library was installed into, when there is one.  Found
// relative to the library file itself, so an installed tree can be moved as a whole.
std::optional<std::string> dataPathBesideLibrary() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&dataPathOverride), &info) == 0 || info.dli_fname == nullptr)
    return std::nullopt;
  std::error_code ec;
  const auto dir = std::filesystem::path(info.dli_fname).parent_path() / KX_DATA_DIR_FROM_LIB;
  if (!std::filesystem::is_directory(dir, ec)) return std::nullopt;
  auto canonical = std::filesystem::weakly_canonical(dir, ec);
  return (ec ? dir : canonical).string();
}

bool validate(bool valid, std::string_view scope, std::string_view key, const Json& value,
              std::string_view expected) {
  if (!valid) {
    getLogger("basekit")->error("Invalid {} option {}: {}. Valid input is {}", scope, key,
                                reprForm(value), expected);
  }
  return valid;
}

// The VNet's configured value under `key`, or null when the VNet, its entry or the key is
// missing.
const Json& configured(const Json& vnetInYaml, const std::string& vnetName, const char* key) {
  static const Json none;
  if (!vnetInYaml.is_object()) return none;
  auto entry = vnetInYaml.find(vnetName);
  if (entry == vnetInYaml.end() || !entry->is_object()) return none;
  auto value = entry->find(key);
  return value == entry->end() ? none : *value;
}

std::uint32_t fnv1a(std::string_view text) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash;
}

std::string gatewayName(const Json& vnetInYaml, const std::string& vnetName, const char* key,
                        std::string_view suffix, std::size_t maxLength) {
  const Json& given = configured(vnetInYaml, vnetName, key);
  if (!given.is_null()) {
    if (!given.is_string())
      throw WrongTypeError(std::string(key) + " of VNet " + vnetName + " must be a text, got " +
                           reprForm(given));
    if (!given.get_ref<const std::string&>().empty()) return given.get<std::string>();
  }

  std::string stem;
  bool inRun = false;
  for (unsigned char c : vnetName) {
    if (std::isalnum(c) || c == '-') {
      stem += static_cast<char>(c);
      inRun = false;
    } else if (!inRun) {
      stem += '-';
      inRun = true;
    }
  }
  const auto first = stem.find_first_not_of('-');
  if (first == std::string::npos)
    throw InvalidValueError("VNet name '" + vnetName + "' gives no gateway name");
  stem = stem.substr(first, stem.find_last_not_of('-') - first + 1);

  if (stem.size() + suffix.size() <= maxLength) return stem + std::string(suffix);

  char tag[8];
  std::snprintf(tag, sizeof tag, "-%04x", static_cast<unsigned>(fnv1a(vnetName) & 0xffffu));
  const std::size_t fixed = suffix.size() + 5;
  if (maxLength <= fixed)
    throw InvalidValueError("gateway name length " + std::to_string(maxLength) +
                            " is too short for VNet '" + vnetName + "'");
  stem.resize(maxLength - fixed);
  while (!stem.empty() && stem.back() == '-') stem.pop_back();
  return stem + tag + std::string(suffix);
}

}  // namespace

std::string Common::get_data_path() {
  if (const auto& p = dataPathOverride()) return *p;
  if (auto beside = dataPathBesideLibrary()) return *beside;
  return KX_DEFAULT_DATA_DIR;
}

void Common::setDataPath(std::optional<std::string> path) { dataPathOverride() = std::move(path); }

bool Common::validateBoolean(std::string_view scope, std::string_view key, const Json& value) {
  return validate(value.is_boolean(), scope, key, value, "a boolean");
}

bool Common::validateString(std::string_view scope, std::string_view key, const Json& value) {
  return validate(value.is_string(), scope, key, value, "a string");
}

std::string Common::getSpokeGatewayName(const Json& vnetInYaml, const std::string& vnetName,
                                        std::size_t maxLength) {
  return gatewayName(vnetInYaml, vnetName, "spoke_gw_name", "-spoke-gw", maxLength);
}

std::string Common::getTransitGatewayName(const Json& vnetInYaml, const std::string& vnetName) {
  return gatewayName(vnetInYaml, vnetName, "transit_gw_name", "-transit-gw", VPC_NAME_MAX_LENGTH);
}

Json Common::getSpokeGatewayTags(const Json& vnetInYaml, const std::string& vnetName) {
  const Json& given = configured(vnetInYaml, vnetName, "spoke_gw_tags");
  if (given.is_null()) return Json::object();
  if (!given.is_object())
    throw WrongTypeError("spoke_gw_tags of VNet " + vnetName + " must be a map, got " +
                         reprForm(given));
  return given;
}

}  // namespace collab::CrossCloudBasekit
