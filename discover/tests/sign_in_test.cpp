// kx-discover signing in every way an Azure user does, as a real process against the loopback
// Azure: each method discovers the estate, leaves no secret in any output, and records a run
// that replays with no credential at all; a sign-in that cannot work ends the run with status 1
// before any VNet is touched; --auth runs a configuration another way; check-access tells what
// each subscription lacks.
#include <sys/stat.h>

#include "collab/azure/client_certificate.hpp"
#include "discover_fixture.hpp"
#include "support/test_certificate.hpp"

namespace kxdiscover::test {
namespace {

const std::string kTenant = "72f988bf-0000-4000-8000-00000000c0de";
const std::string kReaderApp = "a0b1c2d3-0000-4000-8000-0000000000a1";
const std::string kIssuer = "https://token.actions.githubusercontent.com";
const std::string kSubject = "repo:corvanta/kx:environment:discovery";
const std::string kIdentityHeader = "identity-header-secret-value";
const std::string kPemPassword = "pem-password-secret-value";

// An unsigned JWT of the federated identity the estate trusts, valid for an hour.
std::string federatedToken(const std::string& subject = kSubject) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const Json claims{{"iss", kIssuer},
                    {"sub", subject},
                    {"aud", "api://AzureADTokenExchange"},
                    {"exp", now + 3600}};
  return collab::azure::base64Url(R"({"alg":"RS256","typ":"JWT"})") + "." +
         collab::azure::base64Url(claims.dump()) + ".c2lnbmF0dXJlLW9mLXRoZS1pZHA";
}

class SignInTest : public DiscoverTest {
 protected:
  // The sign-in material lives apart from the run's folder, all of which is scanned for
  // secrets afterwards.
  void SetUp() override {
    DiscoverTest::SetUp();
    fs::create_directories(input("bin"));
    cert_ = kx::test::makeClientCertificate(inputs_.path(), "reader", kPemPassword);
    std::ofstream(input("federated-token")) << federatedToken() << "\n";
    writeFakeAz();
  }

  std::string input(const std::string& name) const { return inputs_.file(name); }

  // The test estate with the reader's certificate and federated credential registered, and
  // two managed identities on the machine the server stands for.
  Json signInEstate() const {
    Json served = estate();
    Json& reader = served["tenants"][0]["principals"][0];
    reader["certificates"] = {cert_.certificatePem};
    reader["federatedCredentials"] = {{{"issuer", kIssuer}, {"subject", kSubject}}};
    served["tenants"][0]["principals"].push_back(
        {{"appId", "mi-system-0000"}, {"managedIdentity", "system"}});
    served["tenants"][0]["principals"].push_back(
        {{"appId", "mi-user-0001"}, {"managedIdentity", "user"}});
    return served;
  }

  void serveSignIn(Json served) {
    fakearm::ServerOptions options;
    options.identityHeader = kIdentityHeader;
    serve(served, options);
  }

  // `az` on PATH: logged in as the reader (it asks the loopback login endpoint with the
  // reader's secret from its own environment, as the real CLI holds its login), or not.
  void writeFakeAz() {
    const std::string script = input("bin/az");
    std::ofstream(script) << R"(#!/usr/bin/env python3
import json, os, sys, urllib.parse, urllib.request
args = sys.argv[1:]
with open(os.environ["FAKE_AZ_CALLS"], "a") as calls:
    calls.write(" ".join(args) + "\n")
if "FAKE_AZ_LOGIN" not in os.environ:
    print("WARNING: the CLI is old", file=sys.stderr)
    print("ERROR: Please run 'az login' to setup account.", file=sys.stderr)
    sys.exit(1)
tenant = args[args.index("--tenant") + 1]
form = urllib.parse.urlencode({"grant_type": "client_credentials",
                               "client_id": os.environ["FAKE_AZ_APP"],
                               "client_secret": os.environ["FAKE_AZ_SECRET"],
                               "resource": args[args.index("--resource") + 1]}).encode()
answer = json.load(urllib.request.urlopen(os.environ["FAKE_AZ_LOGIN"] + tenant + "/oauth2/token", form))
print(json.dumps({"accessToken": answer["access_token"], "expires_on": int(answer["expires_on"]),
                  "tenant": tenant, "tokenType": "Bearer"}))
)";
    ::chmod(script.c_str(), 0755);
  }

  // The environment of a run whose az is logged in (or not) and finds nothing else.
  std::map<std::string, std::string> azEnv(bool loggedIn) const {
    std::map<std::string, std::string> env{
        {"PATH", input("bin") + ":/usr/bin:/bin"},
        {"FAKE_AZ_CALLS", input("az-calls.txt")},
        {"FAKE_AZ_APP", kReaderApp},
        {"FAKE_AZ_SECRET", kSecrets.at("KX_TEST_READER_SECRET")}};
    if (loggedIn) env["FAKE_AZ_LOGIN"] = server_->baseUrl() + "/";
    return env;
  }

  // A run afresh (no outputs yet) with the test configuration whose azure_cred holds only a
  // corvanta entry of these keys, serving both subscriptions.
  void prepareRun(const std::string& corvantaEntry) {
    fs::remove_all(path("out"));
    std::string config = readFile(kSource + "/discover/tests/data/discovery.yaml");
    const auto from = config.find("azure_cred:");
    config.replace(from, config.find("account_info:") - from,
                   "azure_cred:\n  corvanta:\n" + corvantaEntry);
    std::ofstream(path("discovery.yaml")) << config;
  }

  // Requests other than sign-ins the server has seen.
  std::vector<std::string> resourceManagerRequests() const {
    std::vector<std::string> seen;
    for (const auto& r : server_->requestLog())
      if (r.operation != "token" && !r.operation.starts_with("managedIdentity."))
        seen.push_back(r.method + " " + r.target);
    return seen;
  }

  kx::test::TempDir inputs_;
  kx::test::ClientCertificateFiles cert_;
};

// The base64 body of the private key's PEM, the part that would betray it.
std::string keyMaterial(const std::string& keyPem) {
  const auto start = keyPem.find('\n') + 1;
  return keyPem.substr(start, 64);
}

TEST_F(SignInTest, EveryMethodDiscoversTheEstateAndItsRecordingReplaysWithoutCredentials) {
  const std::string app = "    arm_application_id: " + kReaderApp + "\n";
  const std::string tenant = "    arm_directory_id: " + kTenant + "\n";
  // Some in one process (each entry signs in once for all its subscriptions), some in worker
  // processes (the default), each replayed in worker processes.
  struct Case {
    const char* method;
    std::string entry;
    std::function<std::map<std::string, std::string>()> env;
    std::vector<std::string> secrets;
    const char* jobs = "4";
  };
  const std::vector<Case> cases = {
      {"client-certificate",
       "    arm_auth_method: client-certificate\n" + app + tenant +
           "    arm_client_certificate_path: " + cert_.pemFile +
           "\n    arm_client_certificate_password_env: KX_TEST_PEM_PASSWORD\n",
       [] {
         return std::map<std::string, std::string>{{"KX_TEST_PEM_PASSWORD", kPemPassword}};
       },
       {kPemPassword, keyMaterial(cert_.keyPem)},
       "1"},
      {"workload-identity",
       "    arm_auth_method: workload-identity\n" + app + tenant,
       [&] {
         return std::map<std::string, std::string>{
             {"AZURE_FEDERATED_TOKEN_FILE", input("federated-token")}};
       },
       {federatedToken().substr(0, 40)}},
      {"managed-identity (instance metadata, user-assigned)",
       "    arm_auth_method: managed-identity\n    arm_managed_identity_client_id: mi-user-0001\n",
       [&] {
         return std::map<std::string, std::string>{{"KX_TEST_IMDS_ENDPOINT", server_->baseUrl()}};
       },
       {}},
      {"managed-identity (App Service)",
       "    arm_auth_method: managed-identity\n",
       [&] {
         return std::map<std::string, std::string>{
             {"IDENTITY_ENDPOINT", server_->baseUrl() + "/msi/token"},
             {"IDENTITY_HEADER", kIdentityHeader}};
       },
       {kIdentityHeader},
       "1"},
      {"azure-cli",
       "    arm_auth_method: azure-cli\n" + tenant,
       [&] { return azEnv(true); },
       {kSecrets.at("KX_TEST_READER_SECRET")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    prepareRun(c.entry);
    serveSignIn(signInEstate());

    const ProgramResult r = run({"--jobs", c.jobs, "--record", "run.cassette.json", "--json",
                                 "report.json", "discovery.yaml"},
                                c.env());
    ASSERT_EQ(r.status, 0) << r.err;
    const Json rep = report();
    EXPECT_EQ(rep["status"], "completed");
    EXPECT_EQ(rep["summary"]["vnets_discovered"], 4) << rep["summary"];
    // Every client assertion (a certificate's or a federated token) starts with this header:
    // none may reach the cassette, the log or the report.
    auto secrets = c.secrets;
    secrets.push_back(collab::azure::base64Url(R"({"alg":"RS256","typ":"JWT")").substr(0, 32));
    EXPECT_GE(expectNoSecretOrToken(dir_, r, secrets), 10u);

    server_.reset();
    fs::rename(path("out"), path("recorded"));
    const ProgramResult replayed =
        run({"--replay", "run.cassette.json", "--quiet", "discovery.yaml"}, /*env=*/{});
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(readFile(path("out/terraform/prod/spoke-a.tfvars")),
              readFile(path("recorded/terraform/prod/spoke-a.tfvars")));
    fs::remove_all(path("recorded"));
  }
}

TEST_F(SignInTest, ASignInThatCannotWorkEndsTheRunBeforeAnyVnetIsTouched) {
  const std::string app = "    arm_application_id: " + kReaderApp + "\n";
  const std::string tenant = "    arm_directory_id: " + kTenant + "\n";
  const std::string certificate = "    arm_auth_method: client-certificate\n" + app + tenant +
                                  "    arm_client_certificate_password_env: KX_TEST_PEM_PASSWORD\n";
  const std::map<std::string, std::string> password{{"KX_TEST_PEM_PASSWORD", kPemPassword}};
  struct Case {
    const char* what;
    const char* method;
    std::string entry;
    std::function<std::map<std::string, std::string>()> env;
    std::function<void(Json&)> estateChange;
    std::optional<fakearm::Fault> fault;
    std::string says;
  };
  fakearm::Fault malformed;
  malformed.operation = "token";
  malformed.status = 200;
  malformed.code = "NotAToken";
  fakearm::Fault refused;
  refused.operation = "token";
  refused.status = 400;
  refused.code = "invalid_request";
  const std::vector<Case> cases = {
      {"missing certificate file", "client-certificate",
       certificate + "    arm_client_certificate_path: " + path("absent.pem").string() + "\n",
       [&] { return password; }, nullptr, std::nullopt,
       "certificate file '" + path("absent.pem").string() + "': cannot be read"},
      {"wrong tenant", "client-certificate",
       "    arm_auth_method: client-certificate\n" + app +
           "    arm_directory_id: 00000000-dead-4000-8000-000000000000\n"
           "    arm_client_certificate_path: " +
           cert_.pemFile + "\n    arm_client_certificate_password_env: KX_TEST_PEM_PASSWORD\n",
       [&] { return password; }, nullptr, std::nullopt, "HTTP 400 invalid_request: AADSTS90002"},
      {"certificate not registered (401)", "client-certificate",
       certificate + "    arm_client_certificate_path: " + cert_.pemFile + "\n",
       [&] { return password; },
       [](Json& e) { e["tenants"][0]["principals"][0].erase("certificates"); }, std::nullopt,
       "HTTP 401 invalid_client: AADSTS700027"},
      {"missing federated token file", "workload-identity",
       "    arm_auth_method: workload-identity\n" + app + tenant +
           "    arm_federated_token_file: " + path("absent-token").string() + "\n",
       [] { return std::map<std::string, std::string>{}; }, nullptr, std::nullopt,
       "federated token file '" + path("absent-token").string() + "' cannot be read"},
      {"login endpoint answers 400", "workload-identity",
       "    arm_auth_method: workload-identity\n" + app + tenant +
           "    arm_federated_token_file: " + input("federated-token") + "\n",
       [] { return std::map<std::string, std::string>{}; }, nullptr, refused,
       "failed: HTTP 400 invalid_request"},
      {"malformed answer", "workload-identity",
       "    arm_auth_method: workload-identity\n" + app + tenant +
           "    arm_federated_token_file: " + input("federated-token") + "\n",
       [] { return std::map<std::string, std::string>{}; }, nullptr, malformed,
       "the answer holds no access_token"},
      {"no managed identity", "managed-identity", "    arm_auth_method: managed-identity\n",
       [&] {
         return std::map<std::string, std::string>{{"KX_TEST_IMDS_ENDPOINT", server_->baseUrl()}};
       },
       [](Json& e) { e["tenants"][0]["principals"].erase(2); }, std::nullopt,
       "HTTP 400 invalid_request: Identity not found"},
      {"az not logged in", "azure-cli", "    arm_auth_method: azure-cli\n" + tenant,
       [&] { return azEnv(false); }, nullptr, std::nullopt, "nobody is logged in"},
      {"az missing", "azure-cli", "    arm_auth_method: azure-cli\n",
       [&] {
         auto env = azEnv(true);
         env["PATH"] = input("no-bin");
         return env;
       },
       nullptr, std::nullopt, "'az' was not found on PATH"},
      {"chosen secret unset", "client-secret",
       "    arm_auth_method: client-secret\n    arm_application_secret_env: "
       "KX_TEST_READER_SECRET\n" +
           app + tenant,
       [] { return std::map<std::string, std::string>{}; }, nullptr, std::nullopt,
       "the environment variable KX_TEST_READER_SECRET (arm_application_secret_env of azure_cred "
       "entry 'corvanta') is not set or empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    prepareRun(c.entry);
    Json served = signInEstate();
    if (c.estateChange) c.estateChange(served);
    serveSignIn(served);
    if (c.fault) server_->addFault(*c.fault);

    const ProgramResult r = run({"--json", "report.json", "discovery.yaml"}, c.env());
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string error = "kx-discover: sign-in failed for azure_cred entry 'corvanta' (" +
                              std::string(c.method) + "): ";
    EXPECT_NE(r.err.find(error), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one error line: " << r.err;
    EXPECT_TRUE(resourceManagerRequests().empty()) << resourceManagerRequests().front();
    EXPECT_FALSE(fs::exists(path("out/terraform")));
    EXPECT_FALSE(fs::exists(path("report.json")));
    const auto log = logLines(path("out/log/kx.log"));
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("**Error** sign-in failed for azure_cred entry 'corvanta'"),
              std::string::npos);
    expectNoSecretOrToken(dir_, r,
                          {kPemPassword, keyMaterial(cert_.keyPem), federatedToken().substr(0, 40),
                           kIdentityHeader, kSecrets.at("KX_TEST_READER_SECRET")});
  }
}

TEST_F(SignInTest, AnEntryThatChoseNoMethodKeepsTodaysMeaningAndMessages) {
  // No arm_auth_method: the secret of its variable, read when its subscription's turn comes; a
  // variable unset fails that subscription alone (status 3), as it always did.
  serve();
  const ProgramResult r = run({"--json", "report.json", "discovery.yaml"},
                              {{"KX_TEST_READER_SECRET", kSecrets.at("KX_TEST_READER_SECRET")}});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("the environment variable KX_TEST_NARROW_SECRET "
                       "(arm_application_secret_env of azure_cred entry 'narrow') is not set or "
                       "empty; it must hold the application secret"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("sign-in failed"), std::string::npos) << r.err;
  const Json rep = report();
  EXPECT_EQ(rep["subscriptions"][0]["status"], "completed");
  EXPECT_EQ(rep["subscriptions"][1]["status"], "failed");
  EXPECT_EQ(rep["summary"]["vnets_discovered"], 3) << rep["summary"];
}

TEST_F(SignInTest, TheAuthOptionRunsAConfigurationAnotherWayWithoutEditingIt) {
  serveSignIn(signInEstate());
  // The test configuration names two secrets; neither is in the environment.
  const ProgramResult r = run({"--auth", "azure-cli", "--record", "run.cassette.json", "--json",
                               "report.json", "discovery.yaml"},
                              azEnv(true));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report()["summary"]["vnets_discovered"], 4);
  EXPECT_GE(expectNoSecretOrToken(dir_, r, {kSecrets.at("KX_TEST_READER_SECRET")}), 10u);
  // One sign-in per entry, for the entry's tenant, reused by its subscriptions.
  const std::string call =
      "account get-access-token --output json --resource "
      "https://management.core.windows.net/ --tenant " +
      kTenant;
  EXPECT_EQ(readFile(input("az-calls.txt")), call + "\n" + call + "\n");

  // Replayed under the same --auth, with no az to run and the server gone.
  server_.reset();
  fs::remove_all(path("out"));
  // Not logged in either: the server is gone, and nothing may ask it.
  auto noAz = azEnv(false);
  noAz["PATH"] = input("no-bin");
  const ProgramResult replayed = run(
      {"--auth", "azure-cli", "--replay", "run.cassette.json", "--quiet", "discovery.yaml"}, noAz);
  EXPECT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(readFile(input("az-calls.txt")), call + "\n" + call + "\n") << "az ran again";

  const ProgramResult unknown = run({"--auth", "password", "discovery.yaml"}, azEnv(false));
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("--auth"), std::string::npos) << unknown.err;
}

TEST_F(SignInTest, CheckAccessTellsWhatEachSubscriptionLacksWithoutChangingAnything) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::function<void(Json&)> estateChange;
    std::map<std::string, std::string> env;
    int status;
    std::vector<std::string> says;
  };
  auto readerOnlyOnDev = [](Json& e) {
    e["tenants"][0]["principals"][1]["permissions"] = {{{"actions", {"*/read"}}}};
    e["subscriptions"][1]["unregisteredProviders"] = {"Microsoft.Capacity"};
  };
  auto wrongSubscription = [](Json& e) {
    e["tenants"][0]["principals"][1]["subscriptions"] = {"5e4d3c2b-1a09-4f8e-9d7c-6b5a4f3e2d1c"};
  };
  // Reader on prod, and the learned-routes action on the gateways' groups only (one or both),
  // which prod's own permissions do not show.
  auto onGroups = [](std::vector<std::string> groups) {
    return [groups](Json& e) {
      Json roles = {{{"actions", {"*/read"}}}};
      for (const auto& group : groups)
        roles.push_back({{"actions", {"Microsoft.Network/*"}}, {"resourceGroup", group}});
      e["tenants"][0]["principals"][0]["permissions"] = roles;
    };
  };
  auto narrowSecret = kSecrets;
  narrowSecret["KX_TEST_NARROW_SECRET"] = "not-the-narrow-secret";
  const std::vector<Case> cases = {
      {"all ready",
       {},
       nullptr,
       kSecrets,
       0,
       {"azure_cred entry 'corvanta' (client-secret): signed in\n  can read           2 "
        "subscription(s)",
        "subscription " + kProd +
            " via azure_cred entry 'corvanta': ready\n  reads              "
            "allowed\n  learned routes     allowed\n  Resource Graph     readable, 2 gateway(s)\n  "
            "Microsoft.Capacity registered\n",
        "2 of 2 credential entries signed in, 2 of 2 subscription(s) ready"}},
      {"Reader only, provider unregistered",
       {},
       readerOnlyOnDev,
       kSecrets,
       3,
       {"subscription " + kDev + " via azure_cred entry 'narrow': not ready",
        "learned routes     not allowed: "
        "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action (Reader lacks it",
        "; needed only to ask gateways for learned routes",
        "Microsoft.Capacity NotRegistered: register it (az provider register --namespace "
        "Microsoft.Capacity --subscription " +
            kDev + ")",
        "1 of 2 subscription(s) ready"}},
      {"learned routes required",
       {"--learned-routes", "--subscription", kDev},
       readerOnlyOnDev,
       kSecrets,
       3,
       {"learned routes     not allowed", "1 of 1 credential entries signed in"}},
      {"learned routes on every gateway's group",
       {"--learned-routes", "--subscription", kProd},
       onGroups({"rg-hub", "rg.(legacy)"}),
       kSecrets,
       0,
       {"learned routes     allowed on the gateways' resource groups (rg-hub, rg.(legacy))\n"}},
      {"learned routes on one gateway's group",
       {"--learned-routes", "--subscription", kProd},
       onGroups({"RG-HUB"}),
       kSecrets,
       3,
       {"learned routes     not allowed: "
        "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action on resource group(s) "
        "rg.(legacy) (Reader lacks it"}},
      {"no role on the subscription",
       {"--subscription", kDev},
       wrongSubscription,
       kSecrets,
       3,
       {"role               none: the principal cannot see this subscription; give it Reader on "
        "/subscriptions/" +
        kDev}},
      {"a sign-in fails",
       {},
       nullptr,
       narrowSecret,
       1,
       {"azure_cred entry 'narrow' (client-secret): sign-in failed: Azure AD token request",
        "subscription " + kDev +
            " via azure_cred entry 'narrow': not checked, its entry cannot "
            "sign in",
        "1 of 2 credential entries signed in"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json served = estate();
    if (c.estateChange) c.estateChange(served);
    serve(served);
    // The endpoints are options of the subcommand: they follow its word.
    std::vector<std::string> all{"check-access", "--arm-endpoint", server_->baseUrl(),
                                 "--login-endpoint", server_->baseUrl() + "/"};
    all.insert(all.end(), c.args.begin(), c.args.end());
    all.push_back("discovery.yaml");
    const ProgramResult r = Program(dir_, all, c.env).wait();
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const auto& text : c.says)
      EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    for (const auto& request : server_->requestLog()) {
      const bool read = request.method == "GET" || request.operation == "token" ||
                        request.operation == "resourceGraph";
      EXPECT_TRUE(read) << request.method << " " << request.target;
      EXPECT_EQ(request.operation.find("virtualNetworks"), std::string::npos) << request.target;
    }
    EXPECT_FALSE(fs::exists(path("out")));
    expectNoSecretOrToken(dir_, r,
                          {kSecrets.at("KX_TEST_READER_SECRET"),
                           kSecrets.at("KX_TEST_NARROW_SECRET"), "not-the-narrow-secret"});
  }
}

}  // namespace
}  // namespace kxdiscover::test
