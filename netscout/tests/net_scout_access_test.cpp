// NetScout's Azure access against a loopback Azure (login and Resource Manager on one server),
// and a discovery-shaped run recorded and replayed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/authentication_context.hpp"
#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "collab/azure/recording_transport.hpp"
#include "collab/azure/replay_transport.hpp"
#include "collab/errors.hpp"
#include "netscout/net_scout.hpp"
#include "support/arm_json.hpp"
#include "support/captured_log.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"
#include "support/test_certificate.hpp"

namespace netscout {
namespace {

using collab::Json;
using kx::test::LoopbackServer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace az = collab::azure;

constexpr const char* kTenant = "7c1d0e2f-tenant";
constexpr const char* kApp = "app-0a1b2c";
constexpr const char* kSecret = "Qx8~kV.netscout-secret_42";
constexpr const char* kToken = "eyJ0eXAiOiJKV1Qi.netscout-access-token.c2ln";
const std::string kSub = "5e4d3c2b-1a09-4f8e-9d7c-6b5a4f3e2d1c";
const std::string kSubPath = "/subscriptions/" + kSub;

void answerJson(httplib::Response& res, const Json& body, int status = 200) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

class AzureAccessTest : public ::testing::Test {
 protected:
  // Azure AD: the right secret gets kToken, any other an OAuth error.
  void serveLogin() {
    server_.server().Post(std::string("/") + kTenant + "/oauth2/token",
                          [](const httplib::Request& req, httplib::Response& res) {
                            if (req.get_param_value("client_secret") != kSecret) {
                              answerJson(res,
                                         {{"error", "invalid_client"},
                                          {"error_description",
                                           "AADSTS7000215: Invalid client secret provided. Ensure "
                                           "the secret being sent in the request is the client "
                                           "secret value.\r\nTrace ID: 0f1e\r\nCorrelation ID: "
                                           "9a8b\r\nTimestamp: 2024-01-01 00:00:00Z"},
                                          {"error_codes", {7000215}}},
                                         401);
                              return;
                            }
                            answerJson(res, {{"token_type", "Bearer"},
                                             {"expires_in", "3599"},
                                             {"ext_expires_in", "3599"},
                                             {"resource", "https://management.core.windows.net/"},
                                             {"access_token", kToken}});
                          });
  }
  void start() {
    server_.start();
    endpoints_.emplace(kx::test::loopbackEndpoints(server_.baseUrl()));
    transport_.emplace(std::make_shared<az::CurlTransport>());
  }
  az::AzureCredential credential() {
    return az::AzureCredential::fromClientSecret(kTenant, kApp, kSecret, kSub);
  }
  std::vector<kx::test::SeenRequest> armRequests() const {
    std::vector<kx::test::SeenRequest> out;
    for (auto& r : server_.requests()) {
      if (r.target.find("/oauth2/") == std::string::npos) out.push_back(r);
    }
    return out;
  }

  LoopbackServer server_;
  std::optional<kx::test::ScopedEndpoints> endpoints_;
  std::optional<kx::test::ScopedDefaultTransport> transport_;
};

TEST_F(AzureAccessTest, AccessTokenForTheClassicManagementResource) {
  serveLogin();
  start();
  kx::test::CapturedLog log("netscout");

  EXPECT_EQ(NetScout::getAccessToken(kTenant, kApp, kSecret), kToken);
  EXPECT_TRUE(log.lines().empty());
  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, std::string("/") + kTenant + "/oauth2/token");
  httplib::Params form;
  httplib::detail::parse_query_text(seen[0].body, form);
  EXPECT_EQ(form.find("resource")->second, "https://management.core.windows.net/");
  EXPECT_EQ(form.find("client_id")->second, kApp);
  EXPECT_EQ(form.find("grant_type")->second, "client_credentials");
}

TEST_F(AzureAccessTest, WrongSecretLogsTheFailureOnceAndAnswersAbsent) {
  serveLogin();
  start();
  // The failure's own text, as the token library raises it.
  std::string failure;
  try {
    az::AuthenticationContext(server_.baseUrl() + "/" + kTenant)
        .acquire_token_with_client_credentials("https://management.core.windows.net/", kApp,
                                               "wrong-secret");
    FAIL() << "expected AuthenticationError";
  } catch (const az::AuthenticationError& error) {
    failure = error.what();
  }

  kx::test::CapturedLog log("netscout");
  EXPECT_EQ(NetScout::getAccessToken(kTenant, kApp, "wrong-secret"), std::nullopt);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, spdlog::level::err);
  EXPECT_EQ(lines[0].text, failure);
  EXPECT_THAT(lines[0].text, HasSubstr("invalid_client"));
  EXPECT_THAT(lines[0].text, ::testing::Not(HasSubstr("wrong-secret")));
}

TEST_F(AzureAccessTest, TokenAnswerWithoutAccessTokenIsAbsentWithoutALine) {
  server_.server().Post(std::string("/") + kTenant + "/oauth2/token",
                        [](const httplib::Request&, httplib::Response& res) {
                          answerJson(res, {{"token_type", "Bearer"}, {"expires_in", "3599"}});
                        });
  start();
  kx::test::CapturedLog log("netscout");
  EXPECT_EQ(NetScout::getAccessToken(kTenant, kApp, kSecret), std::nullopt);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(AzureAccessTest, SubscriptionsAreLoggedAsNameColonIdInAzureOrder) {
  server_.server().Get("/subscriptions/", [this](const httplib::Request& req,
                                                 httplib::Response& res) {
    if (req.get_header_value("Authorization") == "Bearer none-visible") {
      answerJson(res, {{"value", Json::array()}});
      return;
    }
    answerJson(res, kx::test::listPage(
                        {{{"id", "/subscriptions/s-1"},
                          {"subscriptionId", "s-1"},
                          {"displayName", "Prod"},
                          {"state", "Enabled"}},
                         {{"id", "/subscriptions/s-2"},
                          {"subscriptionId", "s-2"},
                          {"displayName", "Dev Test (EU)"},
                          {"state", "Disabled"}}},
                        server_.baseUrl() + "/subscriptions?api-version=2015-01-01&$skiptoken=p2"));
  });
  server_.server().Get("/subscriptions", [](const httplib::Request&, httplib::Response& res) {
    answerJson(res, {{"value", {{{"subscriptionId", "s-3"}, {"displayName", "Lab"}}}}});
  });
  start();

  {
    kx::test::CapturedLog log("netscout");
    NetScout::getSubscriptions("some-token");
    EXPECT_THAT(log.at(spdlog::level::info),
                ElementsAre("Prod:s-1", "Dev Test (EU):s-2", "Lab:s-3"));
    EXPECT_EQ(log.lines().size(), 3u);
  }
  {
    kx::test::CapturedLog log("netscout");
    NetScout::getSubscriptions("none-visible");
    EXPECT_TRUE(log.lines().empty());
  }
  EXPECT_EQ(server_.requests()[0].header("Authorization"), "Bearer some-token");
}

TEST_F(AzureAccessTest, SubscriptionErrorsPropagate) {
  int call = 0;
  server_.server().Get("/subscriptions/", [&](const httplib::Request&, httplib::Response& res) {
    if (call++ == 0) {
      answerJson(
          res,
          {{"error",
            {{"code", "InvalidAuthenticationToken"}, {"message", "The access token is invalid."}}}},
          401);
    } else {
      answerJson(res, {{"count", 0}});
    }
  });
  start();
  kx::test::CapturedLog log("netscout");
  try {
    NetScout::getSubscriptions("bad-token");
    ADD_FAILURE() << "expected ArmError";
  } catch (const az::ArmError& error) {
    EXPECT_EQ(error.code(), "InvalidAuthenticationToken");
    EXPECT_EQ(error.armMessage(), "The access token is invalid.");
  }
  EXPECT_THROW(NetScout::getSubscriptions("tok"), collab::MissingKeyError);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(AzureAccessTest, ResourceGroupNamesInAzureOrder) {
  serveLogin();
  int calls = 0;
  server_.server().Get(kSubPath + "/resourcegroups", [&](const httplib::Request&,
                                                         httplib::Response& res) {
    if (calls++ == 1) {
      answerJson(res, {{"value", Json::array()}});
      return;
    }
    answerJson(
        res,
        kx::test::listPage(
            {{{"id", kSubPath + "/resourceGroups/rg-b"}, {"name", "rg-b"}, {"location", "westus"}},
             {{"id", kSubPath + "/resourceGroups/RG-A"}, {"name", "RG-A"}, {"location", "eastus"}}},
            server_.baseUrl() + "/rg-page2?api-version=2021-04-01"));
  });
  server_.server().Get("/rg-page2", [&](const httplib::Request&, httplib::Response& res) {
    answerJson(res, {{"value",
                      {{{"id", kSubPath + "/resourceGroups/rg.(x)"},
                        {"name", "rg.(x)"},
                        {"location", "westus"}}}},
                     {"nextLink", nullptr}});
  });
  start();

  EXPECT_THAT(NetScout::getAllResourceGroup(credential()), ElementsAre("rg-b", "RG-A", "rg.(x)"));
  EXPECT_TRUE(NetScout::getAllResourceGroup(credential()).empty());
}

TEST_F(AzureAccessTest, ResourcesQueryOnlyTheCredentialsOwnSubscription) {
  serveLogin();
  server_.server().Post("/providers/Microsoft.ResourceGraph/resources", [](const httplib::Request&,
                                                                           httplib::Response& res) {
    answerJson(
        res,
        {{"totalRecords", 1200},
         {"count", 1},
         {"resultTruncated", "true"},
         {"$skipToken", "eyAibm8iOiAxMDAw"},
         {"data", {{{"id", "/gw"}, {"name", "gw"}, {"properties_gatewayType", "ExpressRoute"}}}}});
  });
  start();

  const std::string query =
      "Resources | where subscriptionId == '00000000-other-sub' | project id, name, "
      "properties.gatewayType";
  az::QueryResponse answer = NetScout::getResources(query, credential());
  EXPECT_EQ(answer.total_records, 1200);
  EXPECT_EQ(answer.data[0]["properties_gatewayType"], "ExpressRoute");

  auto seen = armRequests();
  ASSERT_EQ(seen.size(), 1u) << "one page, the continuation is not followed";
  EXPECT_EQ(Json::parse(seen[0].body), (Json{{"subscriptions", {kSub}},
                                             {"query", query},
                                             {"options", {{"resultFormat", "objectArray"}}}}));
  EXPECT_EQ(seen[0].header("Authorization"), std::string("Bearer ") + kToken);
}

// ---- record and replay --------------------------------------------------------------------

// What a discovery-shaped run obtains from Azure.
struct Discovery {
  std::optional<std::string> token;
  std::vector<std::string> subscriptionLines;
  std::vector<std::string> groups;
  std::vector<az::RouteTable> tables;
  std::vector<az::VirtualNetwork> vnets;
  std::map<std::string, std::vector<az::VirtualNetworkGateway>> gateways;
  std::vector<az::VirtualMachineSize> sizes;
  std::int64_t graphTotal = 0;
  Json graphRows;
  Json quota;
};

Discovery discover() {
  Discovery d;
  {
    kx::test::CapturedLog log("netscout");
    d.token = NetScout::getAccessToken(kTenant, kApp, kSecret);
    if (d.token) NetScout::getSubscriptions(*d.token);
    d.subscriptionLines = log.at(spdlog::level::info);
  }
  az::AzureCredential cred = az::AzureCredential::fromClientSecret(kTenant, kApp, kSecret, kSub);
  d.groups = NetScout::getAllResourceGroup(cred);
  d.tables = az::NetworkManagementClient(cred.getCSC(), cred.getSubId()).route_tables.list_all();
  d.vnets = az::NetworkManagementClient(cred.getCSC(), cred.getSubId()).virtual_networks.list_all();
  for (const auto& group : d.groups) {
    d.gateways[group] = az::NetworkManagementClient(cred.getCSC(), cred.getSubId())
                            .virtual_network_gateways.list(group);
  }
  d.sizes = az::ComputeManagementClient(cred.getSPC(), cred.getSubId())
                .virtual_machine_sizes.list("westus");
  az::QueryResponse graph = NetScout::getResources(
      "Resources | where type =~ 'microsoft.network/virtualnetworkgateways' | project id, "
      "name, properties.gatewayType",
      cred);
  d.graphTotal = graph.total_records;
  d.graphRows = graph.data;
  d.quota = az::AzureReservationAPI(cred.getCSC())
                .quota.get(cred.getSubId(), "Microsoft.Compute", "westus", "")
                .additional_properties;
  return d;
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(AzureAccessTest, DiscoveryRecordedThenReplayedWithoutTheServerGivesTheSameObjects) {
  serveLogin();
  auto& s = server_.server();
  s.Get("/subscriptions/", [](const httplib::Request&, httplib::Response& res) {
    answerJson(res, {{"value", {{{"subscriptionId", kSub}, {"displayName", "Prod"}}}}});
  });
  s.Get(kSubPath + "/resourcegroups", [](const httplib::Request&, httplib::Response& res) {
    answerJson(res, {{"value",
                      {{{"name", "rg-net"},
                        {"id", kSubPath + "/resourceGroups/rg-net"},
                        {"location", "westus"}},
                       {{"name", "rg(app)"},
                        {"id", kSubPath + "/resourceGroups/rg(app)"},
                        {"location", "westus"}}}}});
  });
  s.Get(kSubPath + "/providers/Microsoft.Network/routeTables",
        [this](const httplib::Request&, httplib::Response& res) {
          answerJson(res, kx::test::listPage({kx::test::routeTableJson(kSub, "rg-net", "rt-1", 4)},
                                             server_.baseUrl() + "/rt?api-version=2024-05-01&"
                                                                 "$skiptoken=2"));
        });
  s.Get("/rt", [](const httplib::Request&, httplib::Response& res) {
    Json bare = {{"name", "rt-bare"},
                 {"id", kSubPath + "/resourceGroups/rg-net/providers/Microsoft.Network/"
                                   "routeTables/rt-bare"},
                 {"location", "westus"},
                 {"properties", {{"routes", Json::array()}}}};
    answerJson(res, {{"value", {bare}}, {"nextLink", ""}});
  });
  s.Get(kSubPath + "/providers/Microsoft.Network/virtualNetworks",
        [](const httplib::Request&, httplib::Response& res) {
          answerJson(res, {{"value",
                            {{{"name", "vnet1"},
                              {"id", kSubPath + "/resourceGroups/rg-net/providers/"
                                                "Microsoft.Network/virtualNetworks/vnet1"},
                              {"location", "westus"},
                              {"properties",
                               {{"addressSpace", {{"addressPrefixes", {"10.0.0.0/16"}}}},
                                {"subnets",
                                 {{{"name", "GatewaySubnet"},
                                   {"id", "/vnet1/subnets/GatewaySubnet"},
                                   {"properties", {{"addressPrefix", "10.0.255.0/27"}}}}}},
                                {"virtualNetworkPeerings", Json::array()}}}}}}});
        });
  s.Get(
      R"(/subscriptions/[^/]+/resourceGroups/([^/]+)/providers/Microsoft\.Network/virtualNetworkGateways)",
      [](const httplib::Request& req, httplib::Response& res) {
        Json gateways = Json::array();
        if (req.matches[1] == "rg-net") {
          gateways.push_back(
              {{"name", "vpngw"},
               {"id", "/vpngw"},
               {"location", "westus"},
               {"properties",
                {{"gatewayType", "Vpn"},
                 {"ipConfigurations",
                  {{{"name", "default"},
                    {"id", "/vpngw/ipConfigurations/default"},
                    {"properties", {{"subnet", {{"id", "/vnet1/subnets/GatewaySubnet"}}}}}}}}}}});
        }
        answerJson(res, {{"value", gateways}});
      });
  s.Get(kSubPath + "/providers/Microsoft.Compute/locations/westus/vmSizes",
        [](const httplib::Request&, httplib::Response& res) {
          answerJson(res, {{"value",
                            {{{"name", "Standard_D2s_v3"}, {"numberOfCores", 2}},
                             {{"name", "Standard_D8s_v3"}, {"numberOfCores", 8}}}}});
        });
  s.Post("/providers/Microsoft.ResourceGraph/resources",
         [](const httplib::Request&, httplib::Response& res) {
           answerJson(res, {{"totalRecords", 1},
                            {"count", 1},
                            {"data", {{{"id", "/vpngw"}, {"properties_gatewayType", "Vpn"}}}}});
         });
  s.Get(kSubPath +
            "/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/locations/"
            "westus/serviceLimits",
        [](const httplib::Request&, httplib::Response& res) {
          answerJson(
              res,
              {{"value",
                {{{"name", "cores"}, {"properties", {{"limit", 100}, {"currentValue", "12"}}}}}},
               {"nextLink", ""}});
        });
  server_.start();
  kx::test::TempDir dir;
  const std::string cassette = dir.file("discovery.cassette.json");
  kx::test::ScopedEndpoints endpoints(kx::test::loopbackEndpoints(server_.baseUrl()));

  Discovery recorded;
  {
    auto recorder =
        std::make_shared<az::RecordingTransport>(std::make_shared<az::CurlTransport>(), cassette);
    kx::test::ScopedDefaultTransport transport(recorder);
    recorded = discover();
    recorder->save();
  }
  server_.stop();

  // What was recorded is what a discovery would want.
  EXPECT_EQ(recorded.token, kToken);
  EXPECT_THAT(recorded.subscriptionLines, ElementsAre("Prod:" + kSub));
  EXPECT_THAT(recorded.groups, ElementsAre("rg-net", "rg(app)"));
  ASSERT_EQ(recorded.tables.size(), 2u);
  EXPECT_FALSE(recorded.tables[1].tags.has_value());
  EXPECT_EQ(recorded.gateways["rg-net"].size(), 1u);
  EXPECT_TRUE(recorded.gateways["rg(app)"].empty());

  auto replayer = std::make_shared<az::ReplayTransport>(cassette);
  Discovery replayed;
  {
    kx::test::ScopedDefaultTransport transport(replayer);
    replayed = discover();
  }
  EXPECT_EQ(replayer->remaining(), 0u);
  // A cassette never holds the token, so the replayed run gets the placeholder.
  EXPECT_EQ(replayed.token, az::kRedactedToken);
  EXPECT_EQ(replayed.subscriptionLines, recorded.subscriptionLines);
  EXPECT_EQ(replayed.groups, recorded.groups);
  EXPECT_EQ(replayed.tables, recorded.tables);
  EXPECT_EQ(replayed.vnets, recorded.vnets);
  EXPECT_EQ(replayed.gateways, recorded.gateways);
  EXPECT_EQ(replayed.sizes, recorded.sizes);
  EXPECT_EQ(replayed.graphTotal, recorded.graphTotal);
  EXPECT_EQ(replayed.graphRows, recorded.graphRows);
  EXPECT_EQ(replayed.quota, recorded.quota);

  const std::string text = readText(cassette);
  EXPECT_NE(text.find("rt-bare"), std::string::npos) << "the cassette holds the run";
  EXPECT_EQ(text.find(kSecret), std::string::npos) << "the secret was recorded";
  EXPECT_EQ(text.find(kToken), std::string::npos) << "the token was recorded";
  EXPECT_EQ(text.find("\"authorization\""), std::string::npos) << "a token header was recorded";
}

}  // namespace
}  // namespace netscout
