#include "client_assertion.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>

#include "text.hpp"

namespace fakearm::detail {

namespace {

// Azure AD allows this much difference between the clocks of the client and its own.
constexpr std::chrono::seconds kClockSkew{300};

struct BioFree {
  void operator()(BIO* b) const noexcept { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* c) const noexcept { X509_free(c); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};

std::optional<std::string> base64UrlDecode(std::string_view text) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-')
      c = '+';
    else if (c == '_')
      c = '/';
    else if (c == '+' || c == '/' || c == '=')
      return std::nullopt;
  }
  while (standard.size() % 4 != 0) standard += '=';
  std::string out(standard.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(standard.data()),
                                static_cast<int>(standard.size()));
  if (n < 0) return std::nullopt;
  std::size_t padding = 0;
  for (std::size_t i = standard.size(); i > 0 && standard[i - 1] == '='; --i) ++padding;
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

std::string base64Url(const unsigned char* bytes, unsigned int length) {
  std::string out(4 * ((length + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes,
                                static_cast<int>(length));
  out.resize(static_cast<std::size_t>(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return out;
}

std::unique_ptr<X509, X509Free> readCertificate(const std::string& pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return std::unique_ptr<X509, X509Free>(
      bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string thumbprint(X509* cert, const EVP_MD* md) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, md, digest, &length);
  return base64Url(digest, length);
}

bool verifies(X509* cert, const std::string& alg, const std::string& signedPart,
              const std::string& signature) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(X509_get_pubkey(cert));
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* keyCtx = nullptr;
  bool ok =
      key && ctx && EVP_DigestVerifyInit(ctx.get(), &keyCtx, EVP_sha256(), nullptr, key.get()) == 1;
  if (ok && alg == "PS256") {
    ok = EVP_PKEY_CTX_set_rsa_padding(keyCtx, RSA_PKCS1_PSS_PADDING) == 1 &&
         EVP_PKEY_CTX_set_rsa_pss_saltlen(keyCtx, RSA_PSS_SALTLEN_DIGEST) == 1;
  }
  ok = ok &&
       EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                        signature.size(), reinterpret_cast<const unsigned char*>(signedPart.data()),
                        signedPart.size()) == 1;
  ERR_clear_error();
  return ok;
}

std::optional<long long> number(const Json& claims, const char* key) {
  auto it = claims.find(key);
  if (it == claims.end() || !it->is_number()) return std::nullopt;
  return it->get<long long>();
}

std::string textClaim(const Json& claims, const char* key) {
  auto it = claims.find(key);
  return it != claims.end() && it->is_string() ? it->get<std::string>() : std::string();
}

AssertionRefusal refuse(int code, const std::string& description, int status = 401,
                        const std::string& error = "invalid_client") {
  return AssertionRefusal{status, error, code, description};
}

}  // namespace

std::optional<AssertionRefusal> checkClientAssertion(const Principal& principal,
                                                     const std::string& assertion,
                                                     const std::string& tokenUrl,
                                                     std::chrono::system_clock::time_point now) {
  const std::vector<std::string> parts = split(assertion, '.');
  std::optional<std::string> headerText, claimsText, signature;
  if (parts.size() == 3) {
    headerText = base64UrlDecode(parts[0]);
    claimsText = base64UrlDecode(parts[1]);
    signature = base64UrlDecode(parts[2]);
  }
  const Json header = headerText ? Json::parse(*headerText, nullptr, false) : Json();
  const Json claims = claimsText ? Json::parse(*claimsText, nullptr, false) : Json();
  if (!signature || !header.is_object() || !claims.is_object())
    return refuse(50027, "JWT token is invalid or malformed.", 400, "invalid_request");

  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
  const auto notBefore = number(claims, "nbf");
  const auto expires = number(claims, "exp");
  if (!expires || *expires <= seconds.count() - kClockSkew.count() ||
      (notBefore && *notBefore > seconds.count() + kClockSkew.count()))
    return refuse(700024, "Client assertion is not within its valid time range.");

  const std::string sha1 = textClaim(header, "x5t");
  const std::string sha256 = textClaim(header, "x5t#S256");
  if (sha1.empty() && sha256.empty()) {
    // A federated token: the principal must trust its issuer for this subject and audience.
    const std::string issuer = textClaim(claims, "iss");
    const std::string subject = textClaim(claims, "sub");
    std::vector<std::string> audiences;
    if (auto aud = claims.find("aud"); aud != claims.end()) {
      if (aud->is_string()) audiences.push_back(aud->get<std::string>());
      if (aud->is_array())
        for (const Json& a : *aud)
          if (a.is_string()) audiences.push_back(a.get<std::string>());
    }
    for (const FederatedCredential& trusted : principal.federated) {
      if (trusted.issuer != issuer || trusted.subject != subject) continue;
      for (const auto& audience : audiences)
        for (const auto& accepted : trusted.audiences)
          if (audience == accepted) return std::nullopt;
    }
    return refuse(70021,
                  "No matching federated identity record found for presented assertion. "
                  "Assertion Issuer: '" +
                      issuer + "'. Assertion Subject: '" + subject + "'.");
  }

  const std::string alg = textClaim(header, "alg");
  if (alg != "RS256" && alg != "PS256")
    return refuse(5002738, "Invalid JWT token. '" + alg +
                               "' is not a supported signature "
                               "algorithm. Supported signing algorithms are: 'RS256, PS256'");
  const std::string signedPart = parts[0] + "." + parts[1];
  bool registered = false;
  for (const auto& pem : principal.certificates) {
    auto cert = readCertificate(pem);
    if (!cert) continue;
    if ((!sha1.empty() && thumbprint(cert.get(), EVP_sha1()) == sha1) ||
        (!sha256.empty() && thumbprint(cert.get(), EVP_sha256()) == sha256)) {
      registered = true;
      if (!verifies(cert.get(), alg, signedPart, *signature))
        return refuse(7000274, "Key was found, but use of the key to verify the signature failed.");
      break;
    }
  }
  if (!registered)
    return refuse(700027,
                  "The certificate with identifier used to sign the client assertion is "
                  "not registered on application. [Reason - The key was not found., "
                  "Thumbprint of key used by client: '" +
                      (sha1.empty() ? sha256 : sha1) + "']");
  if (textClaim(claims, "aud") != tokenUrl)
    return refuse(50013, "Client assertion audience claim does not match Realm issuer: '" +
                             textClaim(claims, "aud") + "'.");
  if (!iequals(textClaim(claims, "iss"), principal.appId) ||
      !iequals(textClaim(claims, "sub"), principal.appId))
    return refuse(50013,
                  "Client assertion application identifier doesn't match "
                  "'client_id' parameter.");
  if (textClaim(claims, "jti").empty())
    return refuse(50013, "Client assertion contains an invalid claim: 'jti' is missing.");
  return std::nullopt;
}

}  // namespace fakearm::detail
