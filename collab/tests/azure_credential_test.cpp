#include "collab/azure/azure_credential.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/authentication_context.hpp"
#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "support/fake_time.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"

namespace collab::azure {
namespace {

using kx::test::LoopbackServer;
using std::chrono::seconds;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kTenant = "tenant-1";
constexpr const char* kAppId = "app-1";
// Characters that must be form-encoded.
constexpr const char* kSecret = "s3cret Value+/=&x";
constexpr const char* kToken = "eyJ0eXAiOiJKV1QiLCJhbGciOiJSUzI1NiJ9.loopback-token";

httplib::Params formOf(const httplib::Request& req) {
  httplib::Params params;
  httplib::detail::parse_query_text(req.body, params);
  return params;
}

std::string param(const httplib::Params& params, const std::string& key) {
  auto it = params.find(key);
  return it == params.end() ? std::string("<missing>") : it->second;
}

// A login endpoint that knows one application and one secret, and answers like v1.
class CredentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Post(R"(/([^/]+)/oauth2/token)", [this](const httplib::Request& req,
                                                             httplib::Response& res) {
      auto form = formOf(req);
      if (req.matches[1] != kTenant) {
        res.status = 400;
        res.set_content(R"({"error":"invalid_request","error_description":"AADSTS90002: Tenant ')" +
                            std::string(req.matches[1]) + R"(' not found.\r\nTrace ID: t"})",
                        "application/json");
        return;
      }
      if (param(form, "client_secret") != kSecret) {
        res.status = 401;
        res.set_content(
            R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret provided. Ensure the secret being sent in the request is the client secret value, not the client secret ID, for a secret added to app 'app-1'.\r\nTrace ID: 0a1b\r\nCorrelation ID: 2c3d\r\nTimestamp: 2023-11-14 22:13:20Z","error_codes":[7000215]})",
            "application/json");
        return;
      }
      EXPECT_EQ(param(form, "grant_type"), "client_credentials");
      EXPECT_EQ(param(form, "client_id"), kAppId);
      EXPECT_EQ(param(form, "resource"), "https://management.core.windows.net/");
      res.set_content(tokenAnswer_, "application/json");
    });
    server_.server().Get("/subscriptions", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(R"({"value":[{"displayName":"Prod","subscriptionId":"s1"}],"auth":")" +
                          req.get_header_value("Authorization") + "\"}",
                      "application/json");
    });
    server_.start();
  }

  ClientSecretCredentialOptions options() {
    ClientSecretCredentialOptions o;
    o.transport = std::make_shared<CurlTransport>();
    o.endpoints = kx::test::loopbackEndpoints(server_.baseUrl());
    o.retry = time_.retryOptions();
    return o;
  }

  std::size_t tokenRequests() const {
    std::size_t n = 0;
    for (const auto& r : server_.requests())
      n += r.target.find("/oauth2/token") != std::string::npos;
    return n;
  }

  // v1 shape: numbers as strings; expires one hour after the fake clock's start.
  std::string tokenAnswer_ =
      std::string(
          R"({"token_type":"Bearer","expires_in":"3600","ext_expires_in":"3600","expires_on":"1700003600","not_before":"1700000000","resource":"https://management.core.windows.net/","access_token":")") +
      kToken + "\"}";
  LoopbackServer server_;
  kx::test::FakeTime time_;
};

TEST_F(CredentialTest, FetchesOneTokenAndReusesItUntilShortlyBeforeExpiry) {
  auto credential = std::make_shared<ClientSecretCredential>(kTenant, kAppId, kSecret, options());
  ArmPipelineOptions armOptions;
  armOptions.resourceManager = server_.baseUrl();
  armOptions.retry = time_.retryOptions();
  for (int i = 0; i < 3; ++i) {
    ArmPipeline arm(credential, armOptions, std::make_shared<CurlTransport>());
    Json answer = Json::parse(arm.get("/subscriptions?api-version=2015-01-01").body);
    EXPECT_EQ(answer["auth"], std::string("Bearer ") + kToken);
  }
  EXPECT_EQ(tokenRequests(), 1u);

  time_.advance(std::chrono::minutes(50));  // 10 minutes left: still reused
  credential->getToken();
  EXPECT_EQ(tokenRequests(), 1u);
  time_.advance(std::chrono::minutes(6));  // 4 minutes left: inside the refresh margin
  AccessToken renewed = credential->getToken();
  EXPECT_EQ(tokenRequests(), 2u);
  EXPECT_EQ(renewed.token, kToken);
  credential->getToken(/*forceRefresh=*/true);
  EXPECT_EQ(tokenRequests(), 3u);
}

TEST_F(CredentialTest, ATokenIsKeptForHalfItsLifetimeAtLeast) {
  // Refreshed at the later of five minutes before expiry and half-way through the lifetime.
  struct Case {
    int lifetime;
    seconds refreshAfter;
  } cases[] = {{120, seconds(60)}, {600, seconds(300)}, {900, seconds(600)}, {3600, seconds(3300)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lifetime);
    tokenAnswer_ = R"({"expires_in":)" + std::to_string(c.lifetime) + R"(,"access_token":"t"})";
    std::size_t before = tokenRequests();
    ClientSecretCredential credential(kTenant, kAppId, kSecret, options());
    for (int call = 0; call < 5; ++call) credential.getToken();
    time_.advance(c.refreshAfter - seconds(1));
    credential.getToken();
    EXPECT_EQ(tokenRequests() - before, 1u);
    time_.advance(seconds(1));
    credential.getToken();
    EXPECT_EQ(tokenRequests() - before, 2u);
  }
}

TEST_F(CredentialTest, ExpiryIsReadFromNumbersOrNumericStrings) {
  struct Case {
    std::string lifetime;
    std::chrono::system_clock::time_point expected;
  } cases[] = {
      {R"("expires_on":"1700007200","expires_in":"60")", time_.now() + seconds(7200)},
      {R"("expires_on":1700000900)", time_.now() + seconds(900)},
      {R"("expires_in":3599)", time_.now() + seconds(3599)},
      {R"("expires_in":"1800")", time_.now() + seconds(1800)},
      {R"("expires_in":"soon")", time_.now()},  // unknown lifetime: not reused
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lifetime);
    tokenAnswer_ = R"({"token_type":"Bearer",)" + c.lifetime + R"(,"access_token":"t"})";
    ClientSecretCredential credential(kTenant, kAppId, kSecret, options());
    EXPECT_EQ(credential.getToken().expiresOn, c.expected);
  }
}

TEST_F(CredentialTest, AWrongSecretIsAClearFailureWithoutTheSecret) {
  ClientSecretCredential credential(kTenant, kAppId, "wrong-secret-value", options());
  try {
    credential.getToken();
    FAIL() << "no error";
  } catch (const AuthenticationError& error) {
    EXPECT_EQ(error.status(), 401);
    EXPECT_EQ(error.error(), "invalid_client");
    EXPECT_EQ(std::string(error.what()),
              "Azure AD token request for application app-1 in tenant tenant-1 failed: HTTP 401 "
              "invalid_client: AADSTS7000215: Invalid client secret provided. Ensure the secret "
              "being sent in the request is the client secret value, not the client secret ID, "
              "for a secret added to app 'app-1'.");
    EXPECT_THAT(error.what(), Not(HasSubstr("wrong-secret-value")));
  }
  EXPECT_EQ(tokenRequests(), 1u) << "a refused secret is not retried";
}

TEST_F(CredentialTest, ThrottledTokenRequestsAreRetried) {
  int calls = 0;
  LoopbackServer login;
  login.server().Post(R"(/t/oauth2/token)", [&](const httplib::Request&, httplib::Response& res) {
    if (++calls == 1) {
      res.status = 429;
      res.set_header("Retry-After", "2");
      return;
    }
    res.set_content(R"({"access_token":"tok","expires_in":3599})", "application/json");
  });
  login.start();
  auto o = options();
  o.endpoints = kx::test::loopbackEndpoints(login.baseUrl());
  ClientSecretCredential credential("t", kAppId, kSecret, o);
  EXPECT_EQ(credential.getToken().token, "tok");
  EXPECT_THAT(time_.sleeps(), ::testing::ElementsAre(std::chrono::milliseconds(2000)));
}

TEST_F(CredentialTest, AuthenticationContextAnswersATokenMap) {
  AuthenticationContext context(server_.baseUrl() + "/" + kTenant,
                                std::make_shared<CurlTransport>(), time_.retryOptions());
  Json token = context.acquire_token_with_client_credentials("https://management.core.windows.net/",
                                                             kAppId, kSecret);
  EXPECT_EQ(token["accessToken"], kToken);
  EXPECT_EQ(token["tokenType"], "Bearer");
  EXPECT_EQ(token["expiresIn"], 3600);
  EXPECT_EQ(token["expiresOn"], "2023-11-14 23:13:20");
  EXPECT_EQ(token["resource"], "https://management.core.windows.net/");
  EXPECT_EQ(token["_clientId"], kAppId);

  // An answer without a token is a map without "accessToken", not a failure.
  tokenAnswer_ = R"({"token_type":"Bearer","expires_in":"3600"})";
  Json empty = context.acquire_token_with_client_credentials("https://management.core.windows.net/",
                                                             kAppId, kSecret);
  EXPECT_FALSE(empty.contains("accessToken"));

  EXPECT_THROW(context.acquire_token_with_client_credentials("https://management.core.windows.net/",
                                                             kAppId, "bad"),
               AuthenticationError);
  AuthenticationContext unknownTenant(server_.baseUrl() + "/nobody",
                                      std::make_shared<CurlTransport>());
  try {
    unknownTenant.acquire_token_with_client_credentials("https://management.core.windows.net/",
                                                        kAppId, kSecret);
    FAIL() << "no error";
  } catch (const AuthenticationError& error) {
    EXPECT_THAT(error.what(),
                HasSubstr("invalid_request: AADSTS90002: Tenant 'nobody' not found."));
    EXPECT_THAT(error.what(), Not(HasSubstr("Trace ID")));
  }
}

TEST_F(CredentialTest, AzureCredentialSharesOneTokenSourceForBothClientKinds) {
  AzureCredential cred =
      AzureCredential::fromClientSecret(kTenant, kAppId, kSecret, "sub-1", options());
  EXPECT_EQ(cred.getSubId(), "sub-1");
  EXPECT_EQ(cred.getCSC(), cred.getSPC());
  cred.getCSC()->getToken();
  cred.getSPC()->getToken();
  EXPECT_EQ(tokenRequests(), 1u);
}

TEST_F(CredentialTest, CredentialsFollowTheConfiguredEndpointsAndDefaultTransport) {
  kx::test::ScopedEndpoints endpoints(kx::test::loopbackEndpoints(server_.baseUrl()));
  ClientSecretCredential credential(kTenant, kAppId, kSecret);  // all defaults
  EXPECT_EQ(credential.getToken().token, kToken);
  EXPECT_EQ(tokenRequests(), 1u);
}

}  // namespace
}  // namespace collab::azure
