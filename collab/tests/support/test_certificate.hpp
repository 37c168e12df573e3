#pragma once
// Throw-away TLS material made at test time, and a temporary folder to keep it in.
#include <filesystem>
#include <string>
#include <vector>

#include "support/loopback_server.hpp"

namespace kx::test {

/// A fresh folder under the system temp folder, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

/// Writes a self-signed certificate (EC P-256, valid from an hour ago for a day) and its key
/// as PEM into `dir`, named `<stem>.crt` and `<stem>.key`.  `dnsNames` and `ipAddresses` go
/// into the subject alternative names; the first of them is also the common name.
TlsFiles makeSelfSignedCertificate(const TempDir& dir, const std::string& stem,
                                   const std::vector<std::string>& dnsNames = {"localhost"},
                                   const std::vector<std::string>& ipAddresses = {"127.0.0.1"});

/// A client certificate of an application, as Azure AD takes it: a self-signed certificate
/// and its private key in one PEM file.
struct ClientCertificateFiles {
  std::string pemFile;
  /// The certificate alone, as registered on the application.
  std::string certificatePem;
  /// The private key's PEM, to look for in outputs.
  std::string keyPem;
};

/// Writes `<dir>/<stem>.pem` holding a fresh self-signed certificate and its key: RSA 2048, or
/// EC P-256 when `rsa` is false; the key encrypted (AES-256) with `password` when one is given.
ClientCertificateFiles makeClientCertificate(const std::filesystem::path& dir,
                                             const std::string& stem,
                                             const std::string& password = {}, bool rsa = true);

}  // namespace kx::test
