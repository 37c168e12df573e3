#include "collab/azure/sign_in_method.hpp"

#include <array>
#include <utility>

namespace collab::azure {

namespace {

namespace keys = credential_keys;

constexpr std::array<std::pair<SignInMethod, std::string_view>, 5> kNames{{
    {SignInMethod::ClientSecret, "client-secret"},
    {SignInMethod::ClientCertificate, "client-certificate"},
    {SignInMethod::WorkloadIdentity, "workload-identity"},
    {SignInMethod::ManagedIdentity, "managed-identity"},
    {SignInMethod::AzureCli, "azure-cli"},
}};

}  // namespace

std::string_view signInMethodName(SignInMethod method) noexcept {
  for (const auto& [m, name] : kNames)
    if (m == method) return name;
  return "client-secret";
}

std::optional<SignInMethod> parseSignInMethod(std::string_view name) noexcept {
  for (const auto& [m, text] : kNames)
    if (text == name) return m;
  return std::nullopt;
}

const std::vector<std::string_view>& signInMethodNames() {
  static const std::vector<std::string_view> names = [] {
    std::vector<std::string_view> all;
    for (const auto& entry : kNames) all.push_back(entry.second);
    return all;
  }();
  return names;
}

const std::vector<std::string_view>& requiredCredentialKeys(SignInMethod method) {
  static const std::vector<std::string_view> secret{keys::kSecretEnv, keys::kApplicationId,
                                                    keys::kDirectoryId};
  static const std::vector<std::string_view> certificate{keys::kApplicationId, keys::kDirectoryId,
                                                         keys::kCertificatePath};
  static const std::vector<std::string_view> federated{keys::kApplicationId, keys::kDirectoryId};
  static const std::vector<std::string_view> none;
  switch (method) {
    case SignInMethod::ClientSecret:
      return secret;
    case SignInMethod::ClientCertificate:
      return certificate;
    case SignInMethod::WorkloadIdentity:
      return federated;
    case SignInMethod::ManagedIdentity:
    case SignInMethod::AzureCli:
      return none;
  }
  return secret;
}

}  // namespace collab::azure
