// The loopback Azure driven by the real client layer: typed clients, NetScout's Azure access,
// the pipeline's retries, the token requests.
#include <gmock/gmock.h>

#include <cstdio>
#include <functional>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_requests.hpp"
#include "collab/azure/authentication_context.hpp"
#include "collab/azure/management_clients.hpp"
#include "fake_arm_fixture.hpp"
#include "fakearm/estate_generator.hpp"
#include "support/captured_log.hpp"
#include "support/test_certificate.hpp"

namespace fakearm::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
namespace az = collab::azure;
using netscout::NetScout;

std::vector<std::string> names(const Json& resources) {
  std::vector<std::string> out;
  for (const auto& resource : resources) out.push_back(resource["name"]);
  return out;
}

template <class T>
std::vector<std::string> namesOf(const std::vector<T>& objects) {
  std::vector<std::string> out;
  for (const auto& object : objects) {
    if constexpr (requires { object.name.value_or(""); })
      out.push_back(object.name.value_or("None"));
    else
      out.push_back(object.name);
  }
  return out;
}

std::size_t pagesFor(std::size_t items, std::size_t perPage) {
  return items == 0 ? 1 : (items + perPage - 1) / perPage;
}

// The resource group an ARM id names.
std::string groupOf(const std::string& id) { return id.substr(0, id.find("/providers/")); }

EstateParams smallEstate() {
  EstateParams params;
  params.seed = 11;
  params.subscriptions = 2;
  params.principals = 2;
  params.vnets = 23;
  params.routeTables = 31;
  params.vpnGateways = 5;
  params.expressRouteGateways = 3;
  return params;
}

TEST_F(FakeArmTest, EveryListArrivesCompleteAndInOrderOverSeveralPages) {
  ServerOptions options;
  options.pageSize = 4;
  options.pageSizes["subscriptions.list"] = 1;
  serve(generateEstate(smallEstate()).estate, options);
  const Json& sub = estate_["subscriptions"][0];
  az::AzureCredential cred = credential();
  az::NetworkManagementClient network(cred.getCSC(), cred.getSubId());

  std::vector<std::string> gatewaysByGroup;
  std::size_t gatewayPages = 0;
  for (const auto& group : sub["resourceGroups"]) {
    Json inGroup = Json::array();
    for (const auto& gateway : sub["virtualNetworkGateways"]) {
      if (groupOf(gateway["id"]) == group["id"].get<std::string>()) inGroup.push_back(gateway);
    }
    for (const auto& name : names(inGroup)) gatewaysByGroup.push_back(name);
    gatewayPages += pagesFor(inGroup.size(), 4);
  }
  std::vector<std::string> subscriptionNames;
  for (const auto& s : estate_["subscriptions"]) subscriptionNames.push_back(s["displayName"]);

  struct Case {
    const char* operation;
    std::vector<std::string> expected;
    std::size_t pages;
    std::function<std::vector<std::string>()> fetch;
  };
  const Case cases[] = {
      {"routeTables.listAll", names(sub["routeTables"]), pagesFor(sub["routeTables"].size(), 4),
       [&] { return namesOf(network.route_tables.list_all()); }},
      {"virtualNetworks.listAll", names(sub["virtualNetworks"]),
       pagesFor(sub["virtualNetworks"].size(), 4),
       [&] { return namesOf(network.virtual_networks.list_all()); }},
      {"resourceGroups.list", names(sub["resourceGroups"]), 1,
       [&] { return NetScout::getAllResourceGroup(cred); }},
      {"virtualNetworkGateways.list", gatewaysByGroup, gatewayPages,
       [&] {
         std::vector<std::string> all;
         for (const auto& group : NetScout::getAllResourceGroup(cred)) {
           for (auto& name : namesOf(network.virtual_network_gateways.list(group))) {
             all.push_back(name);
           }
         }
         return all;
       }},
      {"subscriptions.list", subscriptionNames, 2,
       [&] {
         std::vector<std::string> all;
         for (const auto& entry : az::requestSubscriptions(token())) {
           all.push_back(entry["displayName"]);
         }
         return all;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    ASSERT_GT(c.expected.size(), 1u);
    EXPECT_EQ(c.fetch(), c.expected);
    EXPECT_EQ(server_->operationCount(c.operation), c.pages);
  }
  for (const auto& request : server_->requestLog()) {
    EXPECT_EQ(request.status, 200) << request.method << " " << request.target;
  }
}

TEST_F(FakeArmTest, PagesCarryResourcesAsWrittenAndLinksOnThisServer) {
  ServerOptions options;
  options.pageSize = 2;
  serve(exampleEstate(), options);
  const std::string path = "/subscriptions/" + subscription(0) +
                           "/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  az::HttpResponse first = raw("GET", path, token());
  ASSERT_EQ(first.status, 200);
  Json page = Json::parse(first.body);
  EXPECT_EQ(page["value"][0], estate_["subscriptions"][0]["routeTables"][0]);
  EXPECT_EQ(page["value"][1], estate_["subscriptions"][0]["routeTables"][1]);
  const std::string next = page["nextLink"];
  EXPECT_EQ(next.rfind(server_->baseUrl() + path + "&$skiptoken=", 0), 0u) << next;

  // Azure's quota pages end with an empty next link rather than none.
  Json quota = Json::parse(
      raw("GET",
          "/subscriptions/" + subscription(0) +
              "/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/locations/"
              "eastus/serviceLimits/?api-version=2020-10-25",
          token())
          .body);
  EXPECT_EQ(quota["nextLink"], "");
  EXPECT_EQ(quota["value"], estate_["subscriptions"][0]["serviceLimits"]["eastus"]);
}

TEST_F(FakeArmTest, ComputeSizesAndQuotaReachTheTypedClients) {
  serve(exampleEstate());
  az::AzureCredential cred = credential();
  az::ComputeManagementClient compute(cred.getSPC(), cred.getSubId());
  EXPECT_EQ(namesOf(compute.virtual_machine_sizes.list("eastus")),
            names(estate_["subscriptions"][0]["vmSizes"]["eastus"]));

  az::AzureReservationAPI quota(cred.getCSC());
  Json limits = quota.quota.get(cred.getSubId(), "Microsoft.Compute", "eastus", "")
                    .additional_properties["value"];
  ASSERT_EQ(limits.size(), 2u);
  EXPECT_EQ(limits[0]["name"], "cores");
  EXPECT_EQ(limits[0]["properties"]["currentValue"], 90);
  Json one = quota.quota.get(cred.getSubId(), "Microsoft.Compute", "eastus", "standardDv2Family")
                 .additional_properties["value"];
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0]["properties"]["limit"], 50);
}

// The three Resource Graph queries the discovery sends, filled as it fills them.
std::string gatewayQuery(const std::string& subnetId) {
  return "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
         "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
         "ipconfig.properties.subnet.id =~ '" +
         subnetId + "' | project properties.gatewayType";
}
std::string nicQuery(const std::string& sub, const std::string& group, const std::string& vnet,
                     const std::string& subnet) {
  return "Resources | where type =~ 'Microsoft.Network/networkInterfaces' and tags contains "
         "'Corvanta-Created-Resource' | mvexpand ipconfig=properties.ipConfigurations | where "
         "ipconfig.properties.subnet.id has '/subscriptions/" +
         sub + "/resourceGroups/" + group + "/providers/Microsoft.Network/virtualNetworks/" + vnet +
         "/subnets/" + subnet + "'";
}
std::string vmQuery(const std::string& nicId) {
  return "Resources | where type =~ 'microsoft.compute/virtualMachines' and tags contains "
         "'Corvanta-Created-Resource' | mvexpand nics=properties.networkProfile | mvexpand "
         "nic=nics.networkInterfaces | where nic.id =~ '" +
         nicId + "'";
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST_F(FakeArmTest, ResourceGraphAnswersTheDiscoveryQueries) {
  serve(exampleEstate());
  const std::string sub = subscription(0);
  const Json& resources = estate_["subscriptions"][0];
  const std::string hub = resources["virtualNetworks"][0]["id"];
  const std::string spokeA = resources["virtualNetworks"][1]["id"];
  const std::string spokeB = resources["virtualNetworks"][2]["id"];
  const std::string taggedNic = resources["networkInterfaces"][0]["id"];
  const std::string decoyNic = resources["networkInterfaces"][1]["id"];
  struct Case {
    const char* what;
    std::string query;
    std::int64_t rows;
    const char* column;
    std::string value;
  };
  const Case cases[] = {
      {"active-active VPN gateway", gatewayQuery(hub + "/subnets/GatewaySubnet"), 2,
       "properties_gatewayType", "Vpn"},
      {"=~ ignores case", gatewayQuery(upper(hub) + "/subnets/gatewaysubnet"), 2,
       "properties_gatewayType", "Vpn"},
      {"ExpressRoute gateway", gatewayQuery(spokeB + "/subnets/GatewaySubnet"), 1,
       "properties_gatewayType", "ExpressRoute"},
      {"no gateway", gatewayQuery(spokeA + "/subnets/GatewaySubnet"), 0, "", ""},
      {"tagged interface", nicQuery(sub, "rg-spokes", "spoke-a", "corvanta-spoke-gw"), 1, "id",
       taggedNic},
      {"has ignores case", nicQuery(upper(sub), "RG-SPOKES", "spoke-a", "corvanta-spoke-gw"), 1,
       "id", taggedNic},
      {"has takes a name prefix ending in -",
       nicQuery(sub, "rg.(legacy)", "spoke-b", "cvt-gwhp-subnet-"), 1, "id", decoyNic},
      {"has wants whole terms", nicQuery(sub, "rg-spokes", "spoke-a", "corvanta-spoke-g"), 0, "",
       ""},
      {"other subnet", nicQuery(sub, "rg-spokes", "spoke-a", "corvanta-spoke-hagw"), 0, "", ""},
      {"tagged machine", vmQuery(taggedNic), 1, "name", "spoke-a-spoke-gw"},
      {"untagged machine", vmQuery(decoyNic), 0, "", ""},
  };
  const az::AzureCredential cred = credential();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    az::QueryResponse answer = NetScout::getResources(c.query, cred);
    EXPECT_EQ(answer.total_records, c.rows);
    ASSERT_EQ(answer.data.size(), static_cast<std::size_t>(c.rows));
    if (c.rows > 0) {
      EXPECT_EQ(answer.data[0][c.column], c.value);
    }
  }
  EXPECT_EQ(server_->operationCount("resourceGraph"), std::size(cases));

  try {
    NetScout::getResources("Resources | summarize count() by type", cred);
    FAIL() << "an unknown query was answered";
  } catch (const az::ArmError& error) {
    EXPECT_EQ(error.status(), 400);
    EXPECT_EQ(error.code(), "BadRequest");
  }
}

TEST_F(FakeArmTest, ThrottlingSpendsAndRefillsTheReadBudget) {
  auto clock = std::make_shared<std::chrono::steady_clock::time_point>();
  ServerOptions options;
  options.throttle = ThrottleOptions{};
  options.throttle->reads = 3;
  options.throttle->readRefillPerSecond = 1;
  options.throttle->graphQueries = 1;
  options.clock = [clock] { return *clock; };
  serve(exampleEstate(), options);
  const std::string bearer = token();
  const std::string groups =
      "/subscriptions/" + subscription(0) + "/resourcegroups?api-version=2021-04-01";
  for (const char* left : {"2", "1", "0"}) {
    az::HttpResponse answer = raw("GET", groups, bearer);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers.get("x-ms-ratelimit-remaining-subscription-reads"), left);
  }
  az::HttpResponse refused = raw("GET", groups, bearer);
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(errorCode(refused), "SubscriptionRequestsThrottled");
  EXPECT_EQ(refused.headers.get("Retry-After"), "1");

  *clock += std::chrono::seconds(1);
  EXPECT_EQ(raw("GET", groups, bearer).status, 200);

  const std::string query =
      R"({"subscriptions":[")" + subscription(0) + R"("],"query":"Resources | limit 1"})";
  const std::string graph = "/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01";
  EXPECT_EQ(raw("POST", graph, bearer, query).status, 200);
  az::HttpResponse graphRefused = raw("POST", graph, bearer, query);
  EXPECT_EQ(graphRefused.status, 429);
  EXPECT_EQ(graphRefused.headers.get("x-ms-user-quota-remaining"), "0");
  EXPECT_EQ(graphRefused.headers.get("x-ms-user-quota-resets-after"), "00:00:05");
}

TEST_F(FakeArmTest, TokenEndpointRefusesAsAzureAdDoes) {
  serve(exampleEstate());
  const std::string management = "https://management.core.windows.net/";
  struct Case {
    const char* what;
    std::string tenant, app, secret, resource;
    int status;
    const char* error;
  };
  const std::string app = principal(0)["appId"], secret = principal(0)["secret"];
  const Case cases[] = {
      {"wrong secret", tenant(), app, "not-the-secret", management, 401, "invalid_client"},
      {"unknown application", tenant(), "00000000-0000-0000-0000-0000000000ff", secret, management,
       400, "unauthorized_client"},
      {"unknown tenant", "00000000-dead-4000-8000-000000000000", app, secret, management, 400,
       "invalid_request"},
      {"other resource", tenant(), app, secret, "https://graph.microsoft.com/", 400,
       "invalid_resource"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      az::AuthenticationContext(server_->baseUrl() + "/" + c.tenant)
          .acquire_token_with_client_credentials(c.resource, c.app, c.secret);
      ADD_FAILURE() << "a token was issued";
    } catch (const az::AuthenticationError& error) {
      EXPECT_EQ(error.status(), c.status);
      EXPECT_EQ(error.error(), c.error);
    }
  }
  kx::test::CapturedLog log("netscout");
  EXPECT_EQ(NetScout::getAccessToken(tenant(), app, "not-the-secret"), std::nullopt);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_THAT(log.lines()[0].text, HasSubstr("invalid_client"));
  EXPECT_THAT(log.lines()[0].text, Not(HasSubstr("not-the-secret")));
}

TEST_F(FakeArmTest, ResourceManagerRefusesWhatAzureRefuses) {
  serve(exampleEstate());
  const std::string reader = token(0), narrow = token(1);
  const std::string a = "/subscriptions/" + subscription(0);
  struct Case {
    const char* what;
    std::string method, target, bearer;
    int status;
    const char* code;
  };
  const Case cases[] = {
      {"no token", "GET", a + "/resourcegroups?api-version=2021-04-01", "", 401,
       "AuthenticationFailed"},
      {"foreign token", "GET", a + "/resourcegroups?api-version=2021-04-01", "eyJ.forged", 401,
       "InvalidAuthenticationToken"},
      {"subscription of another principal", "GET", a + "/resourcegroups?api-version=2021-04-01",
       narrow, 403, "AuthorizationFailed"},
      {"unknown subscription", "GET",
       "/subscriptions/00000000-0000-4000-8000-000000000000/resourcegroups?api-version=2021-04-01",
       reader, 404, "SubscriptionNotFound"},
      {"no api-version", "GET", a + "/resourcegroups", reader, 400, "MissingApiVersionParameter"},
      {"unknown resource group", "GET",
       a + "/resourceGroups/rg-none/providers/Microsoft.Network/virtualNetworkGateways"
           "?api-version=2024-05-01",
       reader, 404, "ResourceGroupNotFound"},
      {"unknown gateway", "POST",
       a + "/resourceGroups/rg-hub/providers/Microsoft.Network/virtualNetworkGateways/none/"
           "getLearnedRoutes?api-version=2020-11-01",
       reader, 404, "ResourceNotFound"},
      {"location without sizes", "GET",
       a + "/providers/Microsoft.Compute/locations/mars/vmSizes?api-version=2024-07-01", reader,
       400, "LocationNotAvailableForResourceType"},
      {"unknown path", "GET", "/providers/Microsoft.Web/sites?api-version=2022-03-01", reader, 404,
       "NotFound"},
      {"wrong method", "DELETE", a + "/resourcegroups?api-version=2021-04-01", reader, 405,
       "MethodNotAllowed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    az::HttpResponse answer = raw(c.method, c.target, c.bearer);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(errorCode(answer), c.code);
  }
}

TEST_F(FakeArmTest, LearnedRoutesAreALongRunningOperation) {
  ServerOptions options;
  options.learnedRoutesPendingPolls = 1;
  serve(exampleEstate(), options);
  const std::string bearer = token();
  // The client layer's request takes the 202 as accepted and reads no result.
  EXPECT_EQ(az::requestLearnedRoutes(bearer, subscription(0), "rg-hub", "hub-vpn-gw"),
            std::nullopt);

  az::HttpResponse accepted =
      raw("POST",
          "/subscriptions/" + subscription(0) +
              "/resourceGroups/rg-hub/providers/Microsoft.Network/virtualNetworkGateways/"
              "hub-vpn-gw/getLearnedRoutes?api-version=2020-11-01",
          bearer);
  ASSERT_EQ(accepted.status, 202);
  EXPECT_EQ(accepted.headers.get("Retry-After"), "10");
  const std::string location = accepted.headers.get("Location").value_or("");
  EXPECT_EQ(location.rfind(server_->baseUrl() + "/subscriptions/", 0), 0u) << location;
  EXPECT_EQ(raw("GET", location, bearer).status, 202);
  az::HttpResponse result = raw("GET", location, bearer);
  ASSERT_EQ(result.status, 200);
  const Json& learned = estate_["subscriptions"][0]["learnedRoutes"];
  EXPECT_EQ(Json::parse(result.body)["value"], learned.begin().value());
  EXPECT_EQ(server_->operationCount("virtualNetworkGateways.getLearnedRoutes"), 2u);
}

TEST_F(FakeArmTest, InjectedFaultsHitTheNthMatchingRequest) {
  ServerOptions options;
  options.pageSize = 4;
  serve(generateEstate(smallEstate()).estate, options);
  Fault refuse;
  refuse.operation = "routeTables.listAll";
  refuse.nth = 2;
  refuse.status = 503;
  refuse.code = "ServiceUnavailable";
  refuse.retryAfterSeconds = 0;
  server_->addFault(refuse);
  Fault drop;
  drop.pathPattern = "skiptoken=g1p2";
  drop.action = Fault::Action::Drop;
  server_->addFault(drop);
  az::AzureCredential cred = credential();
  az::ArmPipelineOptions noWaiting;
  noWaiting.retry.sleeper = [](std::chrono::milliseconds) {};
  az::NetworkManagementClient network(cred.getCSC(), cred.getSubId(), noWaiting);

  EXPECT_EQ(namesOf(network.route_tables.list_all()),
            names(estate_["subscriptions"][0]["routeTables"]));
  std::vector<int> statuses;
  for (const auto& request : server_->requestLog()) {
    if (request.operation == "routeTables.listAll") statuses.push_back(request.status);
  }
  ASSERT_GE(statuses.size(), 5u);
  // Page 1, page 2 refused, page 2, page 3 dropped, page 3, ...
  EXPECT_EQ(std::vector<int>(statuses.begin(), statuses.begin() + 5),
            (std::vector<int>{200, 503, 200, 0, 200}));
}

TEST_F(FakeArmTest, SetEstateServesTheNewEstateAndRefusesOldSkipTokens) {
  ServerOptions options;
  options.pageSize = 4;
  GeneratedEstate generated = generateEstate(smallEstate());
  serve(generated.estate, options);
  az::AzureCredential cred = credential();
  az::NetworkManagementClient network(cred.getCSC(), cred.getSubId());
  const std::string path = "/subscriptions/" + subscription(0) +
                           "/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  const std::string oldNext = Json::parse(raw("GET", path, token()).body)["nextLink"];

  Json changed = generated.estate;
  Json& tables = changed["subscriptions"][0]["routeTables"];
  tables.erase(tables.begin());
  tables[0]["properties"]["routes"].clear();
  server_->setEstate(changed);

  std::vector<az::RouteTable> listed = network.route_tables.list_all();
  EXPECT_EQ(namesOf(listed), names(tables));
  EXPECT_TRUE(listed[0].routes.empty());
  az::HttpResponse stale = raw("GET", oldNext, token());
  EXPECT_EQ(stale.status, 400);
  EXPECT_EQ(errorCode(stale), "InvalidSkipToken");

  Json broken = changed;
  broken["subscriptions"][0]["routeTables"][0].erase("id");
  EXPECT_THROW(server_->setEstate(broken), EstateError);
  EXPECT_EQ(namesOf(network.route_tables.list_all()), names(tables));
}

TEST_F(FakeArmTest, ServesOverTls) {
  kx::test::TempDir dir;
  kx::test::TlsFiles files = kx::test::makeSelfSignedCertificate(dir, "fakearm");
  ServerOptions options;
  options.tls = TlsFiles{files.certFile, files.keyFile};
  az::CurlTransportOptions curl;
  curl.extraCaFile = files.certFile;
  serve(exampleEstate(), options, curl);
  EXPECT_EQ(server_->baseUrl().rfind("https://127.0.0.1:", 0), 0u);
  EXPECT_EQ(NetScout::getAllResourceGroup(credential()),
            (std::vector<std::string>{"rg-hub", "rg-spokes", "rg.(legacy)"}));
}

}  // namespace
}  // namespace fakearm::test
