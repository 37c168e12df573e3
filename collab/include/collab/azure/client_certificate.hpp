#pragma once
// A service principal's certificate and private key, and the signed client assertions Azure AD
// takes from it in place of a secret.
//
// The PEM file holds the certificate and its private key (as `az ad sp create-for-rbac
// --create-cert` writes it, or `cat cert.pem key.pem`); the key may be encrypted, with its
// password given separately.  Azure AD takes RSA keys only.  The key stays inside OpenSSL; the
// file's text and the password are wiped once read.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "collab/export.hpp"

namespace collab::azure {

class COLLAB_EXPORT ClientCertificate {
 public:
  /// Reads the certificate and key of `pemFile`.  Of several certificates, the one that
  /// matches the key is taken.
  /// @throws CredentialUnavailableError naming the file when it cannot be read, holds no
  ///         certificate or key, the key cannot be decrypted (a wrong or missing password), no
  ///         certificate matches the key, or the key is not RSA.  Never the password or key.
  static std::shared_ptr<const ClientCertificate> load(const std::string& pemFile,
                                                       const std::optional<std::string>& password);
  ~ClientCertificate();
  ClientCertificate(const ClientCertificate&) = delete;
  ClientCertificate& operator=(const ClientCertificate&) = delete;

  /// A JWT signed RS256 with the key, as Azure AD expects of a client assertion: header `alg`,
  /// `typ`, `x5t` (SHA-1 thumbprint) and `x5t#S256`; claims `aud` = `audience` (the token
  /// endpoint), `iss` = `sub` = `clientId`, a fresh `jti`, `nbf` and `iat` = `now`, `exp` =
  /// `now` + `lifetime`.
  std::string assertion(const std::string& clientId, const std::string& audience,
                        std::chrono::system_clock::time_point now,
                        std::chrono::seconds lifetime = std::chrono::minutes(10)) const;

  /// base64url of the SHA-1 and SHA-256 digests of the DER certificate.
  const std::string& sha1Thumbprint() const noexcept { return sha1_; }
  const std::string& sha256Thumbprint() const noexcept { return sha256_; }
  const std::string& file() const noexcept { return file_; }

 private:
  struct Key;
  ClientCertificate(std::string file, std::unique_ptr<Key> key, std::string sha1,
                    std::string sha256);

  std::string file_;
  std::unique_ptr<Key> key_;
  std::string sha1_;
  std::string sha256_;
};

/// base64url without padding, as JWTs use it.
COLLAB_EXPORT std::string base64Url(std::string_view bytes);

}  // namespace collab::azure
