#pragma once
// The ways a credential entry can sign in to Azure, and the entry keys each one reads.
//
// Every method ends in a bearer token for Resource Manager; they differ in what proves the
// identity: an application secret (the default), a certificate's private key, a federated
// token from another identity provider, the machine's managed identity, or the operator's own
// Azure CLI login.  The configuration names a method with `arm_auth_method`; the command line
// may replace it for a whole run.  Keys a method does not read are not required for it.
#include <optional>
#include <string_view>
#include <vector>

#include "collab/export.hpp"

namespace collab::azure {

enum class SignInMethod {
  ClientSecret,
  ClientCertificate,
  WorkloadIdentity,
  ManagedIdentity,
  AzureCli,
};

/// The credential entry keys of the sign-in methods.
namespace credential_keys {
inline constexpr std::string_view kAuthMethod = "arm_auth_method";
inline constexpr std::string_view kSecretEnv = "arm_application_secret_env";
inline constexpr std::string_view kApplicationId = "arm_application_id";
inline constexpr std::string_view kDirectoryId = "arm_directory_id";
inline constexpr std::string_view kCertificatePath = "arm_client_certificate_path";
inline constexpr std::string_view kCertificatePasswordEnv = "arm_client_certificate_password_env";
inline constexpr std::string_view kFederatedTokenFile = "arm_federated_token_file";
inline constexpr std::string_view kManagedIdentityClientId = "arm_managed_identity_client_id";
}  // namespace credential_keys

/// "client-secret", "client-certificate", "workload-identity", "managed-identity", "azure-cli".
COLLAB_EXPORT std::string_view signInMethodName(SignInMethod method) noexcept;

/// The method a name stands for, exactly as `signInMethodName` spells it; absent otherwise.
COLLAB_EXPORT std::optional<SignInMethod> parseSignInMethod(std::string_view name) noexcept;

/// Every method's name, the default first.
COLLAB_EXPORT const std::vector<std::string_view>& signInMethodNames();

/// The entry keys `method` cannot do without, in the order a configuration usually gives
/// them.  The client secret needs its variable, application and tenant; a certificate its
/// application, tenant and file; workload identity its application and tenant (the token file
/// may come from the environment); a managed identity and the Azure CLI need nothing.
COLLAB_EXPORT const std::vector<std::string_view>& requiredCredentialKeys(SignInMethod method);

}  // namespace collab::azure
