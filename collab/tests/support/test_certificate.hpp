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

}  // namespace kx::test
