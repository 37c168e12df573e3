#include "collab/azure/effective_permissions.hpp"

#include <cctype>

#include "collab/errors.hpp"
#include "url_text.hpp"

namespace collab::azure {

namespace {

bool sameLetter(char a, char b) {
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

std::vector<std::string> texts(const Json& entry, const char* key) {
  std::vector<std::string> out;
  auto it = entry.find(key);
  if (it == entry.end() || it->is_null()) return out;
  if (!it->is_array())
    throw WrongTypeError(std::string("permissions entry: '") + key + "' is not a list");
  for (const Json& item : *it) {
    if (!item.is_string())
      throw WrongTypeError(std::string("permissions entry: '") + key + "' holds a non-text item");
    out.push_back(item.get<std::string>());
  }
  return out;
}

}  // namespace

bool actionMatches(std::string_view pattern, std::string_view action) noexcept {
  // Glob matching with "*" only, backtracking to the last star: linear in practice.
  std::size_t p = 0, a = 0, star = std::string_view::npos, resume = 0;
  while (a < action.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = a;
    } else if (p < pattern.size() && sameLetter(pattern[p], action[a])) {
      ++p;
      ++a;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      a = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

EffectivePermissions::EffectivePermissions(const Json& entries) {
  if (!entries.is_array()) throw WrongTypeError("permissions: 'value' is not a list");
  for (const Json& entry : entries) {
    if (!entry.is_object()) throw WrongTypeError("permissions: an entry is not an object");
    grants_.push_back(Grant{texts(entry, "actions"), texts(entry, "notActions")});
  }
}

EffectivePermissions EffectivePermissions::ofSubscription(ArmPipeline& arm,
                                                          const std::string& subscriptionId) {
  return EffectivePermissions(arm.listAll("/subscriptions/" +
                                          detail::percentEncode(subscriptionId) +
                                          "/providers/Microsoft.Authorization/permissions"
                                          "?api-version=" +
                                          kPermissionsApiVersion));
}

EffectivePermissions EffectivePermissions::ofResourceGroup(ArmPipeline& arm,
                                                           const std::string& subscriptionId,
                                                           const std::string& resourceGroup) {
  return EffectivePermissions(arm.listAll(
      "/subscriptions/" + detail::percentEncode(subscriptionId) + "/resourceGroups/" +
      detail::percentEncode(resourceGroup) +
      "/providers/Microsoft.Authorization/permissions?api-version=" + kPermissionsApiVersion));
}

bool EffectivePermissions::allows(std::string_view action) const {
  for (const Grant& grant : grants_) {
    bool granted = false;
    for (const auto& pattern : grant.actions) granted = granted || actionMatches(pattern, action);
    if (!granted) continue;
    bool denied = false;
    for (const auto& pattern : grant.notActions) denied = denied || actionMatches(pattern, action);
    if (!denied) return true;
  }
  return false;
}

}  // namespace collab::azure
