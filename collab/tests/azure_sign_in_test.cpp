// The sign-in methods other than the client secret, each against a real loopback server (a
// login endpoint, an instance metadata service, an identity endpoint) or a fake `az` program:
// the exact requests they make, the certificate assertion checked with the certificate's own
// public key, and one clear error for every way they can fail, none holding a secret.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <fstream>

#include "collab/azure/azure_cli_credential.hpp"
#include "collab/azure/client_assertion_credential.hpp"
#include "collab/azure/client_certificate.hpp"
#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/managed_identity_credential.hpp"
#include "collab/errors.hpp"
#include "collab/json.hpp"
#include "support/fake_time.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"
#include "support/test_certificate.hpp"

namespace collab::azure {
namespace {

using collab::Json;
using kx::test::LoopbackServer;
using kx::test::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kTenant = "tenant-1";
constexpr const char* kAppId = "app-1";
constexpr const char* kManagement = "https://management.core.windows.net/";

httplib::Params formOf(const std::string& body) {
  httplib::Params params;
  httplib::detail::parse_query_text(body, params);
  return params;
}

std::string param(const httplib::Params& params, const std::string& key) {
  auto it = params.find(key);
  return it == params.end() ? std::string("<missing>") : it->second;
}

std::string base64UrlDecode(std::string text) {
  for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
  while (text.size() % 4) text += '=';
  std::string out(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  out.resize(static_cast<std::size_t>(n) - (text.ends_with("==")  ? 2
                                            : text.ends_with("=") ? 1
                                                                  : 0));
  return out;
}

std::vector<std::string> splitJwt(const std::string& jwt) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t dot; (dot = jwt.find('.', start)) != std::string::npos; start = dot + 1)
    parts.push_back(jwt.substr(start, dot - start));
  parts.push_back(jwt.substr(start));
  return parts;
}

// Whether `signature` over `signedPart` verifies with the public key of the PEM certificate.
bool verifiesWith(const std::string& certificatePem, const std::string& signedPart,
                  const std::string& signature) {
  BIO* bio = BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  EVP_PKEY* key = cert ? X509_get_pubkey(cert) : nullptr;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok =
      key && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(signedPart.data()),
                       signedPart.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  X509_free(cert);
  BIO_free(bio);
  return ok;
}

std::string thumbprintOf(const std::string& certificatePem, const EVP_MD* md) {
  BIO* bio = BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, md, digest, &length);
  X509_free(cert);
  BIO_free(bio);
  return base64Url(std::string_view(reinterpret_cast<const char*>(digest), length));
}

template <typename Error, typename Call>
std::string failureOf(Call&& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("other failure: ") + e.what();
  }
  return "no failure";
}

// A login endpoint that answers every token request of tenant-1 and keeps its form; any other
// tenant is unknown, as Azure AD answers.
class SignInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    login_.server().Post(R"(/([^/]+)/oauth2/token)", [this](const httplib::Request& req,
                                                            httplib::Response& res) {
      if (req.matches[1] != kTenant) {
        res.status = 400;
        res.set_content(
            R"({"error":"invalid_request","error_description":"AADSTS90002: Tenant not found.\r\nTrace ID: t"})",
            "application/json");
        return;
      }
      res.status = answerStatus_;
      res.set_content(answer_, "application/json");
    });
    login_.start();
  }

  CredentialOptions options() {
    CredentialOptions o;
    o.transport = std::make_shared<CurlTransport>();
    o.endpoints = kx::test::loopbackEndpoints(login_.baseUrl());
    o.retry = time_.retryOptions();
    return o;
  }

  httplib::Params lastForm() const { return formOf(login_.requests().back().body); }

  std::string tokenUrl() const { return login_.baseUrl() + "/" + kTenant + "/oauth2/token"; }

  LoopbackServer login_;
  kx::test::FakeTime time_;
  TempDir dir_;
  int answerStatus_ = 200;
  std::string answer_ = R"({"token_type":"Bearer","expires_in":"3600","access_token":"tok"})";
};

TEST_F(SignInTest, EachMethodSendsTheTokenFormAzureAdExpects) {
  const auto cert = kx::test::makeClientCertificate(dir_.path(), "app");
  std::ofstream(dir_.file("federated")) << "federated-oidc-token\n";
  struct Case {
    const char* method;
    std::function<std::shared_ptr<TokenCredential>()> make;
    std::string secret;  // the client_secret expected, or <missing>
    bool assertion;      // a JWT-bearer client assertion expected
  };
  const Case cases[] = {
      {"client secret",
       [&] {
         return std::make_shared<ClientSecretCredential>(kTenant, kAppId, "s3cret", options());
       },
       "s3cret", false},
      {"client certificate",
       [&] {
         return std::make_shared<ClientAssertionCredential>(
             kTenant, kAppId,
             certificateAssertions(ClientCertificate::load(cert.pemFile, std::nullopt), kAppId),
             options());
       },
       "<missing>", true},
      {"workload identity",
       [&] {
         return std::make_shared<ClientAssertionCredential>(
             kTenant, kAppId, federatedTokenFile(dir_.file("federated")), options());
       },
       "<missing>", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(c.make()->getToken().token, "tok");
    const auto form = lastForm();
    EXPECT_EQ(login_.requests().back().target, std::string("/") + kTenant + "/oauth2/token");
    EXPECT_EQ(param(form, "grant_type"), "client_credentials");
    EXPECT_EQ(param(form, "client_id"), kAppId);
    EXPECT_EQ(param(form, "resource"), kManagement);
    EXPECT_EQ(param(form, "client_secret"), c.secret);
    EXPECT_EQ(param(form, "client_assertion_type"),
              c.assertion ? "urn:ietf:params:oauth:client-assertion-type:jwt-bearer" : "<missing>");
    EXPECT_EQ(form.count("client_assertion"), c.assertion ? 1u : 0u);
  }
  EXPECT_EQ(param(lastForm(), "client_assertion"), "federated-oidc-token");
}

TEST_F(SignInTest, ACertificateAssertionIsSignedByItsKeyWithTheClaimsAzureAdChecks) {
  const auto cert = kx::test::makeClientCertificate(dir_.path(), "app");
  ClientAssertionCredential credential(
      kTenant, kAppId,
      certificateAssertions(ClientCertificate::load(cert.pemFile, std::nullopt), kAppId),
      options());
  credential.getToken();
  const std::string first = param(lastForm(), "client_assertion");
  credential.getToken(/*forceRefresh=*/true);
  const std::string second = param(lastForm(), "client_assertion");

  const auto parts = splitJwt(first);
  ASSERT_EQ(parts.size(), 3u);
  const Json header = Json::parse(base64UrlDecode(parts[0]));
  const Json claims = Json::parse(base64UrlDecode(parts[1]));
  EXPECT_EQ(header["alg"], "RS256");
  EXPECT_EQ(header["typ"], "JWT");
  EXPECT_EQ(header["x5t"], thumbprintOf(cert.certificatePem, EVP_sha1()));
  EXPECT_EQ(header["x5t#S256"], thumbprintOf(cert.certificatePem, EVP_sha256()));
  EXPECT_EQ(claims["aud"], tokenUrl());
  EXPECT_EQ(claims["iss"], kAppId);
  EXPECT_EQ(claims["sub"], kAppId);
  EXPECT_EQ(claims["nbf"], 1700000000);
  EXPECT_EQ(claims["iat"], 1700000000);
  EXPECT_EQ(claims["exp"], 1700000600);
  EXPECT_FALSE(claims["jti"].get<std::string>().empty());
  EXPECT_NE(Json::parse(base64UrlDecode(splitJwt(second)[1]))["jti"], claims["jti"])
      << "every assertion has an id of its own";
  EXPECT_TRUE(
      verifiesWith(cert.certificatePem, parts[0] + "." + parts[1], base64UrlDecode(parts[2])));
  EXPECT_FALSE(verifiesWith(kx::test::makeClientCertificate(dir_.path(), "other").certificatePem,
                            parts[0] + "." + parts[1], base64UrlDecode(parts[2])));
}

TEST_F(SignInTest, CertificateFilesThatCannotSignAreNamedWithoutTheirSecrets) {
  const auto plain = kx::test::makeClientCertificate(dir_.path(), "plain");
  const auto locked = kx::test::makeClientCertificate(dir_.path(), "locked", "pa55-word-x");
  const auto ec = kx::test::makeClientCertificate(dir_.path(), "ec", {}, /*rsa=*/false);
  std::ofstream(dir_.file("cert-only.pem")) << plain.certificatePem;
  std::ofstream(dir_.file("key-only.pem")) << plain.keyPem;
  std::ofstream(dir_.file("mismatch.pem"))
      << kx::test::makeClientCertificate(dir_.path(), "x").certificatePem << plain.keyPem;
  struct Case {
    std::string file;
    std::optional<std::string> password;
    const char* says;  // empty: loads
  };
  const Case cases[] = {
      {plain.pemFile, std::nullopt, ""},
      {locked.pemFile, "pa55-word-x", ""},
      {dir_.file("absent.pem"), std::nullopt, "cannot be read: No such file or directory"},
      {dir_.file("key-only.pem"), std::nullopt, "holds no PEM certificate"},
      {dir_.file("cert-only.pem"), std::nullopt, "holds no readable PEM private key"},
      {dir_.file("mismatch.pem"), std::nullopt, "no certificate in it matches its private key"},
      {locked.pemFile, std::nullopt, "encrypted and no password was given"},
      {locked.pemFile, "wrong-password", "cannot be decrypted with the password given"},
      {ec.pemFile, std::nullopt, "not an RSA key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " " + c.says);
    const std::string failure =
        failureOf<CredentialUnavailableError>([&] { ClientCertificate::load(c.file, c.password); });
    if (*c.says == '\0') {
      EXPECT_EQ(failure, "no failure");
      continue;
    }
    EXPECT_THAT(failure, HasSubstr("certificate file '" + c.file + "': "));
    EXPECT_THAT(failure, HasSubstr(c.says));
    EXPECT_THAT(failure, Not(HasSubstr("pa55-word-x")));
    EXPECT_THAT(failure, Not(HasSubstr("PRIVATE KEY")));
  }
}

TEST_F(SignInTest, TheFederatedTokenFileIsReadAgainForEveryTokenRequest) {
  const std::string file = dir_.file("token");
  ClientAssertionCredential credential(kTenant, kAppId, federatedTokenFile(file), options());
  EXPECT_THAT(failureOf<CredentialUnavailableError>([&] { credential.getToken(); }),
              HasSubstr("federated token file '" + file + "' cannot be read"));
  std::ofstream(file) << "  \n";
  EXPECT_THAT(failureOf<CredentialUnavailableError>([&] { credential.getToken(); }),
              HasSubstr("federated token file '" + file + "' is empty"));

  std::ofstream(file) << "first-federated-token\n";
  credential.getToken();
  EXPECT_EQ(param(lastForm(), "client_assertion"), "first-federated-token");
  credential.getToken();  // reused: the file is not read for a token still fresh
  EXPECT_EQ(login_.requestCount(), 1u);
  std::ofstream(file) << "rotated-federated-token";  // Kubernetes replaces it in place
  time_.advance(std::chrono::minutes(56));
  credential.getToken();
  EXPECT_EQ(param(lastForm(), "client_assertion"), "rotated-federated-token");
}

TEST_F(SignInTest, AnEmptyAssertionIsRefusedBeforeAnythingIsSent) {
  // Sent on, it would read as an empty client secret.
  ClientAssertionCredential credential(
      kTenant, kAppId,
      [](const std::string&, std::chrono::system_clock::time_point) { return std::string(); },
      options());
  EXPECT_THAT(
      failureOf<CredentialUnavailableError>([&] { credential.getToken(); }),
      HasSubstr("no client assertion for application app-1 in tenant " + std::string(kTenant)));
  EXPECT_EQ(login_.requestCount(), 0u);
}

TEST_F(SignInTest, RefusalsAndMalformedAnswersNameWhoAskedAndNeverTheAssertion) {
  std::ofstream(dir_.file("token")) << "secret-federated-token";
  struct Case {
    const char* what;
    const char* tenant;
    int status;
    std::string answer;
    const char* says;
  };
  const Case cases[] = {
      {"wrong tenant", "tenant-9", 200, answer_, "HTTP 400 invalid_request: AADSTS90002"},
      {"401", kTenant, 401,
       R"({"error":"invalid_client","error_description":"AADSTS700027: assertion secret-federated-token failed"})",
       "HTTP 401 invalid_client: AADSTS700027: assertion REDACTED failed"},
      {"400", kTenant, 400,
       R"({"error":"invalid_request","error_description":"AADSTS70021: No match"})",
       "HTTP 400 invalid_request: AADSTS70021: No match"},
      {"not JSON", kTenant, 200, "<html>secret-federated-token</html>", "is not a JSON object"},
      {"no token", kTenant, 200, R"({"token_type":"Bearer"})", "the answer holds no access_token"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    answerStatus_ = c.status;
    answer_ = c.answer;
    ClientAssertionCredential credential(c.tenant, kAppId, federatedTokenFile(dir_.file("token")),
                                         options());
    const std::string failure = failureOf<AuthenticationError>([&] { credential.getToken(); });
    EXPECT_THAT(failure, HasSubstr(std::string("application app-1 in tenant ") + c.tenant));
    EXPECT_THAT(failure, HasSubstr(c.says));
    EXPECT_THAT(failure, Not(HasSubstr("secret-federated-token")));
  }
}

// ---- managed identity ----------------------------------------------------------------------

class ManagedIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto answer = [this](const httplib::Request&, httplib::Response& res) {
      if (!statuses_.empty()) {
        res.status = statuses_.front();
        statuses_.erase(statuses_.begin());
        res.set_content(R"({"error":"invalid_request","error_description":"Identity not found"})",
                        "application/json");
        return;
      }
      res.set_content(answer_, "application/json");
    };
    metadata_.server().Get("/metadata/identity/oauth2/token", answer);
    metadata_.server().Get("/msi/token", answer);
    metadata_.start();
  }

  ManagedIdentityOptions options() {
    ManagedIdentityOptions o;
    o.metadataEndpoint = metadata_.baseUrl();
    o.retry = time_.retryOptions();
    return o;
  }

  LoopbackServer metadata_;
  kx::test::FakeTime time_;
  std::vector<int> statuses_;
  std::string answer_ =
      R"({"access_token":"mi-token","client_id":"c","expires_in":"86399","expires_on":"1700003600","resource":"https://management.core.windows.net/","token_type":"Bearer"})";
};

TEST_F(ManagedIdentityTest, AsksTheMetadataServiceOrTheIdentityEndpointAsThePlatformsExpect) {
  struct Case {
    const char* what;
    std::optional<std::string> clientId;
    bool identityEndpoint;
    std::string target;
    std::pair<const char*, const char*> header;
  };
  const std::string resource = "resource=https%3A%2F%2Fmanagement.core.windows.net%2F";
  const Case cases[] = {
      {"system-assigned",
       std::nullopt,
       false,
       "/metadata/identity/oauth2/token?api-version=2018-02-01&" + resource,
       {"Metadata", "true"}},
      {"user-assigned",
       "client-7",
       false,
       "/metadata/identity/oauth2/token?api-version=2018-02-01&" + resource + "&client_id=client-7",
       {"Metadata", "true"}},
      {"App Service",
       std::nullopt,
       true,
       "/msi/token?api-version=2019-08-01&" + resource,
       {"X-IDENTITY-HEADER", "platform-identity-header"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    metadata_.clearRequests();
    auto o = options();
    o.clientId = c.clientId;
    if (c.identityEndpoint) {
      o.identityEndpoint = metadata_.baseUrl() + "/msi/token";
      o.identityHeader = "platform-identity-header";
    }
    ManagedIdentityCredential credential(o);
    const AccessToken token = credential.getToken();
    EXPECT_EQ(token.token, "mi-token");
    EXPECT_EQ(token.expiresOn,
              std::chrono::system_clock::time_point(std::chrono::seconds(1700003600)));
    credential.getToken();
    ASSERT_EQ(metadata_.requestCount(), 1u) << "a token is reused";
    const auto seen = metadata_.requests().front();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.target, c.target);
    EXPECT_EQ(seen.header(c.header.first), c.header.second);
    EXPECT_FALSE(seen.hasHeader("Authorization"));
  }
}

TEST_F(ManagedIdentityTest, RetriesWhileTheServiceStartsAndFailsClearlyOtherwise) {
  statuses_ = {404, 410, 429, 503};
  EXPECT_EQ(ManagedIdentityCredential(options()).getToken().token, "mi-token");
  EXPECT_EQ(time_.sleeps().size(), 4u);

  struct Case {
    const char* what;
    std::vector<int> statuses;
    std::string answer;
    const char* says;
  };
  const Case cases[] = {
      {"no such identity",
       {400},
       answer_,
       "system-assigned identity at the instance metadata service http://127.0.0.1:"},
      {"no such identity, the cause",
       {400},
       answer_,
       "HTTP 400 invalid_request: Identity not found"},
      {"malformed answer", {}, "<html>mi-token</html>", "HTTP 200 answer holds no access_token"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    statuses_ = c.statuses;
    answer_ = c.answer;
    const std::string failure =
        failureOf<AuthenticationError>([&] { ManagedIdentityCredential(options()).getToken(); });
    EXPECT_THAT(failure, HasSubstr(c.says));
    EXPECT_THAT(failure, Not(HasSubstr("mi-token")));
  }
  auto nobody = options();
  nobody.metadataEndpoint = "http://127.0.0.1:1";  // nothing listens there
  EXPECT_THAT(
      failureOf<CredentialUnavailableError>([&] { ManagedIdentityCredential(nobody).getToken(); }),
      HasSubstr("no answer"));
}

TEST(InstanceMetadataTransportTest, PlainHttpGoesToTheMetadataAddressOnlyWithoutABearerToken) {
  HttpRequest request{"GET", "http://169.254.169.254/metadata/identity/oauth2/token", {}, "", false,
                      0};
  request.headers.set("Authorization", "Bearer t");
  CurlTransportOptions allowed;
  allowed.instanceMetadata = true;
  // Refused before any connection: the link-local address is never contacted from a test.
  EXPECT_THROW(CurlTransport(allowed).send(request), InvalidValueError);
  request.headers.remove("Authorization");
  EXPECT_THROW(CurlTransport().send(request), InvalidValueError);
  request.url = "http://169.254.169.253/metadata";
  EXPECT_THROW(CurlTransport(allowed).send(request), InvalidValueError);
}

// ---- Azure CLI -----------------------------------------------------------------------------

class AzureCliTest : public ::testing::Test {
 protected:
  // A fake `az` that appends its arguments to args.txt and then runs `body`.
  std::string fakeAz(const std::string& name, const std::string& body) {
    const std::string path = dir_.file(name);
    std::ofstream(path) << "#!/bin/sh\nprintf '%s ' \"$@\" >> '" << dir_.file("args.txt")
                        << "'\necho >> '" << dir_.file("args.txt") << "'\n"
                        << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }

  AzureCliOptions options(const std::string& program) {
    AzureCliOptions o;
    o.program = program;
    o.tenantId = kTenant;
    o.endpoints = kx::test::loopbackEndpoints("http://127.0.0.1:1");
    o.clock = [this] { return time_.now(); };
    return o;
  }

  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_.file("args.txt"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  TempDir dir_;
  kx::test::FakeTime time_;
};

TEST_F(AzureCliTest, TakesTheTokenOfTheOperatorsLoginOncePerToken) {
  const std::string az = fakeAz(
      "az",
      R"(echo '{"accessToken":"cli-token","expiresOn":"2023-11-14 23:13:20.000000","expires_on":1700003600,"subscription":"s","tenant":"tenant-1","tokenType":"Bearer"}')");
  AzureCliCredential credential(options(az));
  const AccessToken token = credential.getToken();
  EXPECT_EQ(token.token, "cli-token");
  EXPECT_EQ(token.expiresOn,
            std::chrono::system_clock::time_point(std::chrono::seconds(1700003600)));
  credential.getToken();
  EXPECT_THAT(calls(), ::testing::ElementsAre("account get-access-token --output json --resource "
                                              "https://management.core.windows.net/ --tenant "
                                              "tenant-1 "));

  // An older CLI gives the expiry only as local time.
  const std::string older = fakeAz(
      "az-old", R"(echo '{"accessToken":"cli-token","expiresOn":"2023-11-14 23:13:20.000000"}')");
  std::tm local{};
  local.tm_year = 123, local.tm_mon = 10, local.tm_mday = 14, local.tm_hour = 23, local.tm_min = 13,
  local.tm_isdst = -1;
  local.tm_sec = 20;
  EXPECT_EQ(AzureCliCredential(options(older)).getToken().expiresOn,
            std::chrono::system_clock::from_time_t(std::mktime(&local)));
}

TEST_F(AzureCliTest, EveryWayTheCliCanFailIsOneClearErrorWithoutItsOutput) {
  struct Case {
    const char* what;
    std::string program;
    bool unavailable;  // CredentialUnavailableError rather than AuthenticationError
    const char* says;
  };
  const Case cases[] = {
      {"missing", dir_.file("no-such-az"), true, "was not found on PATH"},
      {"not logged in",
       fakeAz("az-out", "echo \"ERROR: Please run 'az login' to setup account.\" >&2; exit 1"),
       true,
       "nobody is logged in: ERROR: Please run 'az login' to setup account. (run 'az login "
       "--tenant tenant-1' first)"},
      {"slow", fakeAz("az-slow", "sleep 5; echo '{\"accessToken\":\"late\"}'"), true,
       "no answer within 1 s"},
      {"refused",
       fakeAz("az-refused",
              "echo 'WARNING: a newer version exists' >&2; echo 'ERROR: AADSTS90002: Tenant "
              "not found.' >&2; echo 'cli-secret-output'; exit 2"),
       false, "failed with exit status 2: ERROR: AADSTS90002: Tenant not found."},
      {"malformed", fakeAz("az-bad", "echo 'accessToken: cli-secret-output'"), false,
       "answered no token"},
      {"wrong tenant",
       fakeAz("az-tenant", R"(echo '{"accessToken":"cli-secret-output","tenant":"tenant-2"}')"),
       false, "answered a token of tenant tenant-2 instead"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto o = options(c.program);
    o.timeout = std::chrono::seconds(1);
    AzureCliCredential credential(o);
    const std::string failure =
        c.unavailable ? failureOf<CredentialUnavailableError>([&] { credential.getToken(); })
                      : failureOf<AuthenticationError>([&] { credential.getToken(); });
    EXPECT_THAT(failure, HasSubstr("Azure CLI sign-in"));
    EXPECT_THAT(failure, HasSubstr(c.says));
    EXPECT_THAT(failure, Not(HasSubstr("cli-secret-output")));
    EXPECT_THAT(failure, Not(HasSubstr("WARNING")));
  }
}

}  // namespace
}  // namespace collab::azure
