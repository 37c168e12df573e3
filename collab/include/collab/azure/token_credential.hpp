#pragma once
// Sources of bearer tokens for Azure Resource Manager.
#include <chrono>
#include <stdexcept>
#include <string>

#include "collab/export.hpp"

namespace collab::azure {

struct AccessToken {
  std::string token;
  std::chrono::system_clock::time_point expiresOn;
};

/// Azure AD refused to issue a token, or answered something that holds none.  The message
/// names who asked (application and tenant, or the identity), the HTTP status, the OAuth
/// `error` and the first line of its `error_description`; never a secret, assertion or token.
class COLLAB_EXPORT AuthenticationError : public std::runtime_error {
 public:
  AuthenticationError(const std::string& message, int status, std::string error);
  int status() const noexcept { return status_; }
  /// The OAuth error code ("invalid_client", ...), empty when the answer had none.
  const std::string& error() const noexcept { return error_; }

 private:
  int status_;
  std::string error_;
};

/// A credential cannot be used where it runs: its certificate or token file is missing or
/// unreadable, the Azure CLI is not installed or nobody is logged in, the machine has no
/// managed identity.  Nothing was refused by Azure AD; the message says what to set up.
class COLLAB_EXPORT CredentialUnavailableError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Something that can hand out an ARM bearer token.
class COLLAB_EXPORT TokenCredential {
 public:
  virtual ~TokenCredential();
  /// A token valid for a while yet.  `forceRefresh` asks for a new one even if the current one
  /// looks valid (ARM answered 401 to it).
  virtual AccessToken getToken(bool forceRefresh = false) = 0;
};

/// A token obtained elsewhere and handed in as text; it is never refreshed.
class COLLAB_EXPORT StaticTokenCredential final : public TokenCredential {
 public:
  explicit StaticTokenCredential(std::string token);
  AccessToken getToken(bool forceRefresh = false) override;

 private:
  std::string token_;
};

}  // namespace collab::azure
