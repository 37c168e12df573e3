// The loopback Azure's sign-in other than by secret, driven by the client layer's own
// credentials: client assertions (certificate and federated) at the token endpoint, the
// managed identity endpoints, and the permissions and provider registrations it reports and
// enforces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/client_assertion_credential.hpp"
#include "collab/azure/effective_permissions.hpp"
#include "collab/azure/managed_identity_credential.hpp"
#include "collab/azure/management_clients.hpp"
#include "fake_arm_fixture.hpp"
#include "support/test_certificate.hpp"

namespace fakearm::test {
namespace {

namespace az = collab::azure;
using ::testing::HasSubstr;

// An unsigned JWT with these claims, as a federated token looks to the one who presents it.
std::string federatedToken(const std::string& issuer, const std::string& subject,
                           long long expires) {
  const Json header{{"alg", "RS256"}, {"typ", "JWT"}, {"kid", "idp-key"}};
  const Json claims{
      {"iss", issuer}, {"sub", subject}, {"aud", "api://AzureADTokenExchange"}, {"exp", expires}};
  return az::base64Url(header.dump()) + "." + az::base64Url(claims.dump()) + ".c2lnbmF0dXJl";
}

long long epochNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class SignInServerTest : public FakeArmTest {
 protected:
  // The example estate with a certificate and a federated credential on the reader, two
  // managed identities, a Reader-only principal and Microsoft.Capacity unregistered on the
  // second subscription.
  void SetUp() override {
    cert_ = kx::test::makeClientCertificate(dir_.path(), "reader");
    Json estate = exampleEstate();
    Json& principals = estate["tenants"][0]["principals"];
    principals[0]["certificates"] = {cert_.certificatePem};
    principals[0]["federatedCredentials"] = {
        {{"issuer", "https://token.actions.githubusercontent.com"},
         {"subject", "repo:corvanta/kx:ref:refs/heads/main"}}};
    principals[1]["permissions"] = {{{"actions", {"*/read"}}, {"notActions", Json::array()}}};
    principals.push_back({{"appId", "mi-system"}, {"managedIdentity", "system"}});
    principals.push_back({{"appId", "mi-user"}, {"managedIdentity", "user"}});
    estate["subscriptions"][1]["unregisteredProviders"] = {"Microsoft.Capacity"};
    serve(estate);
  }

  az::CredentialOptions options() const {
    az::CredentialOptions o;
    o.transport = az::defaultTransport();
    return o;
  }
  std::string tokenUrl() const { return server_->baseUrl() + "/" + tenant() + "/oauth2/token"; }
  std::string appId(int index) const { return principal(index)["appId"]; }

  kx::test::TempDir dir_;
  kx::test::ClientCertificateFiles cert_;
};

TEST_F(SignInServerTest, TheTokenEndpointChecksClientAssertionsAsAzureAdDoes) {
  const auto mine = az::ClientCertificate::load(cert_.pemFile, std::nullopt);
  const auto other = az::ClientCertificate::load(
      kx::test::makeClientCertificate(dir_.path(), "other").pemFile, std::nullopt);
  const std::string app = appId(0);
  const auto now = std::chrono::system_clock::now();
  struct Case {
    const char* what;
    std::function<std::string()> assertion;
    int status;  // 0: a token
    const char* says;
  };
  const Case cases[] = {
      {"certificate", [&] { return mine->assertion(app, tokenUrl(), now); }, 0, ""},
      {"federated token",
       [&] {
         return federatedToken("https://token.actions.githubusercontent.com",
                               "repo:corvanta/kx:ref:refs/heads/main", epochNow() + 600);
       },
       0, ""},
      {"certificate not registered", [&] { return other->assertion(app, tokenUrl(), now); }, 401,
       "AADSTS700027"},
      {"another audience",
       [&] {
         return mine->assertion(app, "https://login.microsoftonline.com/t/oauth2/token", now);
       },
       401, "audience"},
      {"another application", [&] { return mine->assertion(appId(1), tokenUrl(), now); }, 401,
       "doesn't match 'client_id'"},
      {"expired", [&] { return mine->assertion(app, tokenUrl(), now - std::chrono::hours(1)); },
       401, "not within its valid time range"},
      {"signature of other content",
       [&] {
         std::string jwt = mine->assertion(app, tokenUrl(), now);
         const auto at = jwt.rfind('.') + 10;
         jwt[at] = jwt[at] == 'A' ? 'B' : 'A';
         return jwt;
       },
       401, "verify the signature failed"},
      {"federated token of another subject",
       [&] {
         return federatedToken("https://token.actions.githubusercontent.com",
                               "repo:corvanta/kx:pull_request", epochNow() + 600);
       },
       401, "AADSTS70021: No matching federated identity record"},
      {"not a JWT", [] { return std::string("not-a-jwt"); }, 400, "malformed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    az::ClientAssertionCredential credential(
        tenant(), app, [&](const std::string&, auto) { return c.assertion(); }, options());
    try {
      const az::AccessToken token = credential.getToken();
      EXPECT_EQ(c.status, 0) << "a token was issued";
      az::ArmPipeline arm(std::make_shared<az::StaticTokenCredential>(token.token));
      EXPECT_EQ(arm.get("/subscriptions?api-version=2015-01-01").status, 200);
    } catch (const az::AuthenticationError& error) {
      EXPECT_EQ(error.status(), c.status) << error.what();
      EXPECT_THAT(error.what(), HasSubstr(c.says));
    }
  }
}

TEST_F(SignInServerTest, ManagedIdentityEndpointsIssueTokensOfTheMachinesIdentities) {
  struct Case {
    const char* what;
    std::optional<std::string> clientId;
    bool identityEndpoint;
    std::string header;
    const char* says;  // empty: a token that Resource Manager takes
  };
  const Case cases[] = {
      {"system-assigned", std::nullopt, false, "", ""},
      {"user-assigned", "mi-user", false, "", ""},
      {"App Service", std::nullopt, true, "fakearm-identity-header", ""},
      {"unknown client id", "mi-other", false, "", "HTTP 400 invalid_request: Identity not found"},
      {"wrong identity header", std::nullopt, true, "guess", "HTTP 401 unauthorized"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    az::ManagedIdentityOptions o;
    o.metadataEndpoint = server_->baseUrl();
    o.clientId = c.clientId;
    if (c.identityEndpoint) {
      o.identityEndpoint = server_->baseUrl() + "/msi/token";
      o.identityHeader = c.header;
    }
    auto credential = std::make_shared<az::ManagedIdentityCredential>(o);
    try {
      az::ResourceManagementClient client(credential, subscription(0));
      EXPECT_EQ(client.resource_groups.list().size(), 3u);
      EXPECT_STREQ(c.says, "") << "a token was issued";
    } catch (const az::AuthenticationError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.says));
      EXPECT_STRNE(c.says, "");
    }
  }
}

TEST_F(SignInServerTest, PermissionsAndRegistrationsAreReportedAndEnforced) {
  const std::string reader = token(1);  // restricted to */read
  const std::string owner = token(0);   // unrestricted
  const std::string dev = "/subscriptions/" + subscription(1);
  az::ArmPipeline ownerArm(std::make_shared<az::StaticTokenCredential>(owner));
  const std::string learned = "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action";

  // A restricted principal's permissions and refusals: AReadOnlyPrincipal... below.
  EXPECT_TRUE(az::EffectivePermissions::ofSubscription(ownerArm, subscription(1)).allows(learned));
  EXPECT_EQ(raw("GET", dev + "/resourcegroups?api-version=2021-04-01", reader).status, 200);

  const auto capacity = [&](const std::string& sub) {
    return Json::parse(
        ownerArm.get(sub + "/providers/Microsoft.Capacity?api-version=2021-04-01").body);
  };
  EXPECT_EQ(capacity(dev)["registrationState"], "NotRegistered");
  EXPECT_EQ(capacity("/subscriptions/" + subscription(0))["registrationState"], "Registered");
  const auto limits =
      raw("GET",
          dev +
              "/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/locations/"
              "eastus/serviceLimits?api-version=2020-10-25",
          owner);
  EXPECT_EQ(limits.status, 409);
  EXPECT_EQ(errorCode(limits), "MissingSubscriptionRegistration");
}

TEST_F(SignInServerTest, AReadOnlyPrincipalHoldsReadersPermissionsAndIsRefusedActions) {
  // "readOnly" and "permissions" are two ways to say Reader: the permissions a check reads and
  // what Resource Manager then refuses agree for both.
  const std::string learned = "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action";
  const std::string gateway = "/subscriptions/" + subscription(1) +
                              "/resourceGroups/rg-dev/providers/Microsoft.Network/"
                              "virtualNetworkGateways/gw";
  for (const bool readOnly : {true, false}) {
    SCOPED_TRACE(readOnly ? "readOnly" : "permissions");
    Json estate = exampleEstate();
    Json& principal = estate["tenants"][0]["principals"][1];
    if (readOnly)
      principal["readOnly"] = true;
    else
      principal["permissions"] = {{{"actions", {"*/read"}}}};
    serve(estate);
    az::ArmPipeline arm(std::make_shared<az::StaticTokenCredential>(token(1)));
    const auto held = az::EffectivePermissions::ofSubscription(arm, subscription(1));
    EXPECT_TRUE(held.allows("Microsoft.Network/virtualNetworkGateways/read"));
    EXPECT_FALSE(held.allows(learned));
    const auto post = raw("POST", gateway + "/getLearnedRoutes?api-version=2020-11-01", token(1));
    EXPECT_EQ(post.status, 403);
    EXPECT_EQ(errorCode(post), "AuthorizationFailed");
    EXPECT_THAT(post.body, HasSubstr("perform action '" + learned + "' over scope '" + gateway));
  }
}

TEST_F(SignInServerTest, ARoleOnAResourceGroupCountsThereOnly) {
  const std::string learned = "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action";
  Json estate = exampleEstate();
  estate["tenants"][0]["principals"][0]["permissions"] = {
      {{"actions", {"*/read"}}},
      {{"actions", {"Microsoft.Network/*"}}, {"resourceGroup", "rg-hub"}}};
  serve(estate);
  az::ArmPipeline arm(std::make_shared<az::StaticTokenCredential>(token(0)));
  EXPECT_FALSE(az::EffectivePermissions::ofSubscription(arm, subscription(0)).allows(learned));
  EXPECT_TRUE(
      az::EffectivePermissions::ofResourceGroup(arm, subscription(0), "RG-HUB").allows(learned));
  EXPECT_FALSE(
      az::EffectivePermissions::ofResourceGroup(arm, subscription(0), "rg-spokes").allows(learned));
  const auto ask = [&](const std::string& group) {
    return raw("POST",
               "/subscriptions/" + subscription(0) + "/resourceGroups/" + group +
                   "/providers/Microsoft.Network/virtualNetworkGateways/gw/"
                   "getLearnedRoutes?api-version=2020-11-01",
               token(0))
        .status;
  };
  EXPECT_NE(ask("rg-hub"), 403);
  EXPECT_EQ(ask("rg-spokes"), 403);
}

}  // namespace
}  // namespace fakearm::test
