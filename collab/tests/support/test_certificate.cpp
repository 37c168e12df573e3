#include "support/test_certificate.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

namespace kx::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kx-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("certificate: ") + what + " failed");
}

void addExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  check(ext != nullptr, "extension");
  check(X509_add_ext(cert, ext.get(), -1) == 1, "add extension");
}

void writePem(const std::string& path, const std::function<int(FILE*)>& write) {
  FILE* file = std::fopen(path.c_str(), "wb");
  check(file != nullptr, "open output");
  int ok = write(file);
  std::fclose(file);
  check(ok == 1, "write PEM");
}

// A certificate of `key`, valid from an hour ago for a day, issued by itself to `subject`
// (name entries as pairs), not signed yet.
CertPtr newCertificate(EVP_PKEY* key,
                       const std::vector<std::pair<const char*, std::string>>& subject) {
  CertPtr cert(X509_new());
  check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(std::rand() % 1000000 + 1));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  for (const auto& [field, value] : subject)
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  return cert;
}

}  // namespace

TlsFiles makeSelfSignedCertificate(const TempDir& dir, const std::string& stem,
                                   const std::vector<std::string>& dnsNames,
                                   const std::vector<std::string>& ipAddresses) {
  KeyPtr key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key generation");
  std::string commonName = !dnsNames.empty() ? dnsNames.front() : ipAddresses.front();
  CertPtr cert = newCertificate(key.get(), {{"O", "kx tests"}, {"CN", commonName}});

  std::string san;
  for (const auto& dns : dnsNames) san += (san.empty() ? "" : ",") + std::string("DNS:") + dns;
  for (const auto& ip : ipAddresses) san += (san.empty() ? "" : ",") + std::string("IP:") + ip;
  addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(cert.get(), NID_subject_key_identifier, "hash");
  if (!san.empty()) addExtension(cert.get(), NID_subject_alt_name, san);
  check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");

  TlsFiles files{dir.file(stem + ".crt"), dir.file(stem + ".key")};
  writePem(files.certFile, [&](FILE* f) { return PEM_write_X509(f, cert.get()); });
  writePem(files.keyFile, [&](FILE* f) {
    return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  return files;
}

ClientCertificateFiles makeClientCertificate(const std::filesystem::path& dir,
                                             const std::string& stem, const std::string& password,
                                             bool rsa) {
  KeyPtr key(rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
  check(key != nullptr, "key generation");
  CertPtr cert = newCertificate(key.get(), {{"CN", "kx test application"}});
  check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");

  auto pemOf = [](const std::function<int(BIO*)>& write) {
    std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> bio(BIO_new(BIO_s_mem()));
    check(bio && write(bio.get()) == 1, "write PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
  };
  ClientCertificateFiles files;
  files.pemFile = (dir / (stem + ".pem")).string();
  files.certificatePem = pemOf([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
  files.keyPem = pemOf([&](BIO* b) {
    if (password.empty())
      return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return PEM_write_bio_PKCS8PrivateKey(b, key.get(), EVP_aes_256_cbc(),
                                         const_cast<char*>(password.data()),
                                         static_cast<int>(password.size()), nullptr, nullptr);
  });
  writePem(files.pemFile, [&](FILE* f) {
    return std::fputs((files.certificatePem + files.keyPem).c_str(), f) >= 0 ? 1 : 0;
  });
  return files;
}

}  // namespace kx::test
