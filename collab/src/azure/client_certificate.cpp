#include "collab/azure/client_certificate.hpp"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "collab/azure/token_credential.hpp"
#include "collab/json.hpp"
#include "collab/secret_registry.hpp"

namespace collab::azure {

namespace {

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

// Text that held key material, wiped when it goes.
class WipedText {
 public:
  explicit WipedText(std::string text) : text_(std::move(text)) {}
  ~WipedText() {
    if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
  }
  WipedText(const WipedText&) = delete;
  WipedText& operator=(const WipedText&) = delete;
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

// Hands the password to OpenSSL.  Without one, it answers "no password" rather than letting
// OpenSSL prompt on the terminal.
int passwordCallback(char* buffer, int size, int, void* data) {
  const auto* password = static_cast<const std::string*>(data);
  if (!password || password->empty() || static_cast<int>(password->size()) > size) return -1;
  std::memcpy(buffer, password->data(), password->size());
  return static_cast<int>(password->size());
}

std::unique_ptr<BIO, BioFree> memoryBio(const std::string& text) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!bio) throw std::bad_alloc();
  return bio;
}

std::string digestOf(const X509* cert, const EVP_MD* md) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert, md, digest, &length) != 1)
    throw std::runtime_error("cannot compute the certificate's thumbprint");
  return base64Url(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string randomId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes for a jti");
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static const char* hex = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += hex[bytes[i] >> 4];
    id += hex[bytes[i] & 0x0F];
  }
  return id;
}

}  // namespace

struct ClientCertificate::Key {
  std::unique_ptr<EVP_PKEY, PkeyFree> pkey;
};

std::string base64Url(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(written));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return out;
}

std::shared_ptr<const ClientCertificate> ClientCertificate::load(
    const std::string& pemFile, const std::optional<std::string>& password) {
  auto fail = [&](const std::string& what) -> CredentialUnavailableError {
    ERR_clear_error();
    return CredentialUnavailableError("certificate file '" + pemFile + "': " + what);
  };
  std::ifstream in(pemFile, std::ios::binary);
  if (!in) throw fail(std::string("cannot be read: ") + std::strerror(errno));
  std::ostringstream read;
  read << in.rdbuf();
  const WipedText pem(read.str());

  std::vector<std::unique_ptr<X509, X509Free>> certificates;
  {
    auto bio = memoryBio(pem.text());
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
      certificates.emplace_back(cert);
  }
  if (certificates.empty())
    throw fail(
        "holds no PEM certificate (BEGIN CERTIFICATE); it needs the certificate and its "
        "private key");

  std::unique_ptr<EVP_PKEY, PkeyFree> key;
  {
    auto bio = memoryBio(pem.text());
    std::string copy = password.value_or("");
    SecretRegistry::instance().add(copy);
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, &passwordCallback, &copy));
    if (!copy.empty()) OPENSSL_cleanse(copy.data(), copy.size());
  }
  if (!key) {
    if (pem.text().find("ENCRYPTED") != std::string::npos)
      throw fail(password ? "the private key cannot be decrypted with the password given"
                          : "the private key is encrypted and no password was given "
                            "(arm_client_certificate_password_env)");
    throw fail("holds no readable PEM private key; it needs the certificate and its private key");
  }
  if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA)
    throw fail("the private key is not an RSA key; Azure AD accepts RSA certificates only");

  for (const auto& cert : certificates) {
    if (X509_check_private_key(cert.get(), key.get()) != 1) continue;
    std::string sha1 = digestOf(cert.get(), EVP_sha1());
    std::string sha256 = digestOf(cert.get(), EVP_sha256());
    auto held = std::make_unique<Key>();
    held->pkey = std::move(key);
    ERR_clear_error();
    return std::shared_ptr<const ClientCertificate>(
        new ClientCertificate(pemFile, std::move(held), std::move(sha1), std::move(sha256)));
  }
  throw fail("no certificate in it matches its private key");
}

ClientCertificate::ClientCertificate(std::string file, std::unique_ptr<Key> key, std::string sha1,
                                     std::string sha256)
    : file_(std::move(file)),
      key_(std::move(key)),
      sha1_(std::move(sha1)),
      sha256_(std::move(sha256)) {}

ClientCertificate::~ClientCertificate() = default;

std::string ClientCertificate::assertion(const std::string& clientId, const std::string& audience,
                                         std::chrono::system_clock::time_point now,
                                         std::chrono::seconds lifetime) const {
  const auto epoch = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
  const Json header{{"alg", "RS256"}, {"typ", "JWT"}, {"x5t", sha1_}, {"x5t#S256", sha256_}};
  const Json claims{{"aud", audience},
                    {"iss", clientId},
                    {"sub", clientId},
                    {"jti", randomId()},
                    {"nbf", epoch.count()},
                    {"iat", epoch.count()},
                    {"exp", (epoch + lifetime).count()}};
  const std::string signingInput = base64Url(header.dump()) + "." + base64Url(claims.dump());

  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  std::size_t length = 0;
  if (!ctx ||
      EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_->pkey.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length,
                     reinterpret_cast<const unsigned char*>(signingInput.data()),
                     signingInput.size()) != 1) {
    ERR_clear_error();
    throw CredentialUnavailableError("certificate file '" + file_ +
                                     "': cannot sign a client assertion with its key");
  }
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(signingInput.data()),
                     signingInput.size()) != 1) {
    ERR_clear_error();
    throw CredentialUnavailableError("certificate file '" + file_ +
                                     "': cannot sign a client assertion with its key");
  }
  signature.resize(length);
  return signingInput + "." + base64Url(signature);
}

}  // namespace collab::azure
