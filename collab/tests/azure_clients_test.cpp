// The typed management clients against a real loopback server answering real-shaped ARM JSON.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/azure_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "support/arm_json.hpp"
#include "support/fake_time.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"
#include "support/test_certificate.hpp"

namespace collab::azure {
namespace {

using kx::test::LoopbackServer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kSub = "9d3e2f1a-7b6c-4d5e-8f90-a1b2c3d4e5f6";
const std::string kSubPath = "/subscriptions/" + kSub;

void answerJson(httplib::Response& res, const Json& body, int status = 200) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

std::string rtId(const std::string& group, const std::string& name) {
  return kSubPath + "/resourceGroups/" + group + "/providers/Microsoft.Network/routeTables/" + name;
}

class ClientsTest : public ::testing::Test {
 protected:
  ArmPipelineOptions options() {
    ArmPipelineOptions o;
    o.resourceManager = server_.baseUrl();
    o.retry = time_.retryOptions();
    return o;
  }
  std::shared_ptr<TokenCredential> token() {
    return std::make_shared<StaticTokenCredential>("client-test-token");
  }
  NetworkManagementClient network() {
    return NetworkManagementClient(token(), kSub, options(), std::make_shared<CurlTransport>());
  }
  // Serves `values` as the pages of one listing: the first at `path`, the others at
  // "/more/<listing>/<n>" through next links.
  void servePages(const std::string& path, std::vector<Json> values) {
    auto pages = std::make_shared<std::vector<Json>>(std::move(values));
    const std::string more = "/more/" + std::to_string(listings_++) + "/";
    auto page = [this, pages, more](std::size_t n, httplib::Response& res) {
      std::optional<std::string> next;
      if (n + 1 < pages->size()) {
        next = server_.baseUrl() + more + std::to_string(n + 1) +
               "?api-version=2024-05-01&$skiptoken=eyJuZXh0" + std::to_string(n + 1) + "%3d";
      }
      answerJson(res, kx::test::listPage(pages->at(n), next));
    };
    server_.server().Get(path,
                         [page](const httplib::Request&, httplib::Response& res) { page(0, res); });
    server_.server().Get(more + R"((\d+))",
                         [page](const httplib::Request& req, httplib::Response& res) {
                           page(std::stoul(req.matches[1]), res);
                         });
  }
  std::vector<std::string> targets() const {
    std::vector<std::string> out;
    for (const auto& request : server_.requests()) out.push_back(request.target);
    return out;
  }

  LoopbackServer server_;
  kx::test::FakeTime time_;
  int listings_ = 0;
};

TEST_F(ClientsTest, RouteTablesListAllReadsEveryPageInOrderKeepingAbsentApartFromEmpty) {
  // Page 1: a fully populated table and a bare one (no tags, no subnets, no BGP flag, a route
  // without next-hop address).  Page 2: empty-but-present tags and subnets, flag set.  Page 3
  // is empty: Azure does send empty pages in the middle of a listing.
  Json bare = {
      {"name", "rt-bare"},
      {"id", rtId("rg-a", "rt-bare")},
      {"type", "Microsoft.Network/routeTables"},
      {"location", "eastus"},
      {"properties",
       {{"provisioningState", "Succeeded"},
        {"routes",
         {{{"name", "to-gw"},
           {"id", rtId("rg-a", "rt-bare") + "/routes/to-gw"},
           {"properties",
            {{"addressPrefix", "172.16.0.0/12"}, {"nextHopType", "VirtualNetworkGateway"}}}}}}}}};
  Json empty = {{"name", "rt-empty"},
                {"id", rtId("rg-b", "rt-empty")},
                {"location", "westus"},
                {"tags", Json::object()},
                {"properties",
                 {{"disableBgpRoutePropagation", true},
                  {"routes", Json::array()},
                  {"subnets", Json::array()}}}};
  servePages(kSubPath + "/providers/Microsoft.Network/routeTables",
             {Json::array({kx::test::routeTableJson(kSub, "rg-a", "rt-full", 3), bare}),
              Json::array({empty}), Json::array(),
              Json::array({kx::test::routeTableJson(kSub, "rg-c", "rt-last", 0)})});
  server_.start();

  std::vector<RouteTable> tables = network().route_tables.list_all();

  RouteTable full;
  full.name = "rt-full";
  full.id = rtId("rg-a", "rt-full");
  full.location = "westus";
  full.tags = Tags{{"owner", "net"}, {"env", "prod"}};
  full.subnets = std::vector<SubResource>{
      {kSubPath + "/resourceGroups/rg-a/providers/Microsoft.Network/virtualNetworks/vnet1/"
                  "subnets/rt-full"}};
  full.routes = {{"r0", *full.id + "/routes/r0", "10.0.0.0/24", "VirtualAppliance", "10.255.0.4"},
                 {"r1", *full.id + "/routes/r1", "10.1.0.0/24", "Internet", std::nullopt},
                 {"r2", *full.id + "/routes/r2", "10.2.0.0/24", "VirtualAppliance", "10.255.0.4"}};
  RouteTable expectedBare;
  expectedBare.name = "rt-bare";
  expectedBare.id = rtId("rg-a", "rt-bare");
  expectedBare.location = "eastus";
  expectedBare.routes = {{"to-gw", *expectedBare.id + "/routes/to-gw", "172.16.0.0/12",
                          "VirtualNetworkGateway", std::nullopt}};
  RouteTable expectedEmpty;
  expectedEmpty.name = "rt-empty";
  expectedEmpty.id = rtId("rg-b", "rt-empty");
  expectedEmpty.location = "westus";
  expectedEmpty.tags = Tags{};
  expectedEmpty.subnets = std::vector<SubResource>{};
  expectedEmpty.disable_bgp_route_propagation = true;

  ASSERT_EQ(tables.size(), 4u);
  EXPECT_EQ(tables[0], full);
  EXPECT_EQ(tables[1], expectedBare);
  EXPECT_FALSE(tables[1].tags.has_value());
  EXPECT_FALSE(tables[1].subnets.has_value());
  EXPECT_FALSE(tables[1].disable_bgp_route_propagation);
  EXPECT_EQ(tables[2], expectedEmpty);
  EXPECT_EQ(tables[3].name, "rt-last");
  EXPECT_TRUE(tables[3].routes.empty());

  EXPECT_THAT(
      targets(),
      ElementsAre(kSubPath + "/providers/Microsoft.Network/routeTables?api-version=2024-05-01",
                  "/more/0/1?api-version=2024-05-01&$skiptoken=eyJuZXh01%3d",
                  "/more/0/2?api-version=2024-05-01&$skiptoken=eyJuZXh02%3d",
                  "/more/0/3?api-version=2024-05-01&$skiptoken=eyJuZXh03%3d"));
  for (const auto& request : server_.requests()) {
    EXPECT_EQ(request.header("Authorization"), "Bearer client-test-token");
  }
}

// The parser's own tests cover every subnet field; here the point is that the client hands
// them through unchanged across pages.
TEST_F(ClientsTest, VirtualNetworksListAllAcrossPages) {
  const std::string vnetId =
      kSubPath + "/resourceGroups/rg-net/providers/Microsoft.Network/virtualNetworks/vnet-hub";
  auto subnet = [&](const std::string& name, Json properties) {
    return Json{{"name", name}, {"id", vnetId + "/subnets/" + name}, {"properties", properties}};
  };
  Json hub = {{"name", "vnet-hub"},
              {"id", vnetId},
              {"location", "westus"},
              {"properties",
               {{"addressSpace", {{"addressPrefixes", {"10.0.0.0/16", "10.1.0.0/16"}}}},
                {"subnets",
                 {subnet("app", {{"addressPrefix", "10.0.1.0/24"},
                                 {"routeTable", {{"id", rtId("rg-net", "rt-app")}}},
                                 {"delegations", Json::array()}}),
                  subnet("dual", {{"addressPrefixes", {"10.0.2.0/24", "fd00::/64"}},
                                  {"serviceEndpoints", Json::array()}})}},
                {"virtualNetworkPeerings",
                 {{{"name", "to-remote"},
                   {"id", vnetId + "/virtualNetworkPeerings/to-remote"},
                   {"properties", {{"remoteVirtualNetwork", {{"id", "/remote/hub"}}}}}}}}}}};
  Json spoke = {{"name", "vnet-spoke"},
                {"id", "/vnet-spoke"},
                {"location", "eastus"},
                {"properties",
                 {{"addressSpace", {{"addressPrefixes", {"10.9.0.0/16"}}}},
                  {"subnets", Json::array()},
                  {"virtualNetworkPeerings", Json::array()}}}};
  servePages(kSubPath + "/providers/Microsoft.Network/virtualNetworks",
             {Json::array({hub}), Json::array({spoke})});
  server_.start();

  std::vector<VirtualNetwork> vnets = network().virtual_networks.list_all();

  ASSERT_EQ(vnets.size(), 2u);
  EXPECT_EQ(vnets[0].address_space.address_prefixes,
            (std::vector<std::string>{"10.0.0.0/16", "10.1.0.0/16"}));
  ASSERT_EQ(vnets[0].subnets.size(), 2u);
  const Subnet& app = vnets[0].subnets[0];
  const Subnet& dual = vnets[0].subnets[1];
  EXPECT_EQ(app.address_prefix, "10.0.1.0/24");
  EXPECT_FALSE(app.address_prefixes.has_value());
  EXPECT_EQ(app.route_table, SubResource{rtId("rg-net", "rt-app")});
  EXPECT_FALSE(app.network_security_group.has_value());
  EXPECT_FALSE(app.service_endpoints.has_value()) << "absent, not empty";
  EXPECT_FALSE(dual.address_prefix.has_value());
  EXPECT_EQ(dual.service_endpoints, std::vector<ServiceEndpoint>{}) << "empty, not absent";
  EXPECT_EQ(vnets[0].virtual_network_peerings[0].remote_virtual_network->id, "/remote/hub");
  EXPECT_EQ(vnets[1].name, "vnet-spoke");
  EXPECT_EQ(server_.requestCount(), 2u);
}

TEST_F(ClientsTest, GatewaysOfAResourceGroupWhoseNameNeedsEncoding) {
  const std::string gwId = kSubPath +
                           "/resourceGroups/rg.(prod) 1/providers/Microsoft.Network/"
                           "virtualNetworkGateways/vpngw1";
  Json gw = {{"name", "vpngw1"},
             {"id", gwId},
             {"location", "westus"},
             {"properties",
              {{"gatewayType", "Vpn"},
               {"vpnType", "RouteBased"},
               {"ipConfigurations",
                {{{"name", "default"},
                  {"id", gwId + "/ipConfigurations/default"},
                  {"properties", {{"subnet", {{"id", "/vnet1/subnets/GatewaySubnet"}}}}}},
                 {{"name", "active2"},
                  {"id", gwId + "/ipConfigurations/active2"},
                  {"properties", {{"subnet", {{"id", "/vnet1/subnets/GatewaySubnet"}}}}}}}}}}};
  Json er = {
      {"name", "ergw"},
      {"id", "/ergw"},
      {"location", "westus"},
      {"properties", {{"gatewayType", "ExpressRoute"}, {"ipConfigurations", Json::array()}}}};
  servePages(
      R"(/subscriptions/[^/]+/resourceGroups/[^/]+/providers/Microsoft\.Network/virtualNetworkGateways)",
      {Json::array({gw}), Json::array({er})});
  server_.start();

  std::vector<VirtualNetworkGateway> gateways =
      network().virtual_network_gateways.list("rg.(prod) 1");

  ASSERT_EQ(gateways.size(), 2u);
  VirtualNetworkGateway expected{
      "vpngw1",
      gwId,
      "westus",
      "Vpn",
      {{gwId + "/ipConfigurations/default", "default", SubResource{"/vnet1/subnets/GatewaySubnet"}},
       {gwId + "/ipConfigurations/active2", "active2",
        SubResource{"/vnet1/subnets/GatewaySubnet"}}}};
  EXPECT_EQ(gateways[0], expected);
  EXPECT_EQ(gateways[1].gateway_type, "ExpressRoute");
  ASSERT_FALSE(targets().empty());
  EXPECT_EQ(targets()[0], kSubPath +
                              "/resourceGroups/rg.%28prod%29%201/providers/Microsoft.Network/"
                              "virtualNetworkGateways?api-version=2024-05-01");
}

TEST_F(ClientsTest, ComputeResourcesGraphAndQuotaClients) {
  // Azure answers VM sizes in one page; a next link is followed all the same.
  servePages(kSubPath + "/providers/Microsoft.Compute/locations/eastus/vmSizes",
             {Json::array({{{"name", "Standard_A2_v2"},
                            {"numberOfCores", 2},
                            {"osDiskSizeInMB", 1047552},
                            {"memoryInMB", 4096}}}),
              Json::array({{{"name", "Standard_D4s_v3"}, {"numberOfCores", 4}}})});
  servePages(kSubPath + "/resourcegroups",
             {Json::array({{{"id", kSubPath + "/resourceGroups/rg1"},
                            {"name", "rg1"},
                            {"location", "westus"},
                            {"properties", {{"provisioningState", "Succeeded"}}}}}),
              Json::array({{{"id", kSubPath + "/resourceGroups/RG-Two"},
                            {"name", "RG-Two"},
                            {"location", "eastus"},
                            {"tags", {{"env", "prod"}}}}})});
  server_.server().Post("/providers/Microsoft.ResourceGraph/resources", [](const httplib::Request&,
                                                                           httplib::Response& res) {
    answerJson(res,
               {{"totalRecords", 386},
                {"count", 1},
                {"resultTruncated", "false"},
                {"$skipToken", "eyAibm8iOiAx"},
                {"facets", Json::array()},
                {"data", {{{"id", "/gw1"}, {"name", "gw1"}, {"properties_gatewayType", "Vpn"}}}}});
  });
  servePages(
      kSubPath +
          "/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/"
          "locations/eastus/serviceLimits",
      {Json::array({{{"name", "cores"},
                     {"properties",
                      {{"limit", 350},
                       {"currentValue", "17"},
                       {"unit", "Count"},
                       {"name", {{"value", "cores"}, {"localizedValue", "Total vCPUs"}}}}}}}),
       Json::array({{{"name", "standardDSv3Family"},
                     {"properties",
                      {{"limit", "100"},
                       {"currentValue", 8},
                       {"name", {{"value", "standardDSv3Family"}}}}}}})});
  server_.start();

  ComputeManagementClient compute(token(), kSub, options());
  EXPECT_EQ(compute.virtual_machine_sizes.list("eastus"),
            (std::vector<VirtualMachineSize>{{"Standard_A2_v2", 2}, {"Standard_D4s_v3", 4}}));

  ResourceManagementClient resources(token(), kSub, options());
  std::vector<ResourceGroup> groups = resources.resource_groups.list();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].name, "rg1");
  EXPECT_EQ(groups[1].name, "RG-Two");

  ResourceGraphClient graph(token(), options());
  QueryRequest request{{kSub}, "Resources | project id, name, properties.gatewayType", {}};
  QueryResponse answer = graph.resources(request);
  EXPECT_EQ(answer.total_records, 386);
  EXPECT_EQ(answer.data,
            Json::parse(R"([{"id":"/gw1","name":"gw1","properties_gatewayType":"Vpn"}])"));
  EXPECT_EQ(answer.skip_token, "eyAibm8iOiAx");

  AzureReservationAPI reservations(token(), options());
  QuotaResult quota = reservations.quota.get(kSub, "Microsoft.Compute", "eastus", "");
  const Json& limits = quota.additional_properties.at("value");
  ASSERT_EQ(limits.size(), 2u);
  EXPECT_EQ(limits[0]["name"], "cores");
  EXPECT_EQ(limits[0]["properties"]["limit"], 350);
  EXPECT_EQ(limits[0]["properties"]["currentValue"], 17);
  EXPECT_EQ(limits[1]["name"], "standardDSv3Family");
  EXPECT_EQ(limits[1]["properties"]["limit"], 100);

  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 7u) << "two pages of sizes, of groups and of limits; one query";
  EXPECT_EQ(
      seen[0].target,
      kSubPath + "/providers/Microsoft.Compute/locations/eastus/vmSizes?api-version=2024-07-01");
  EXPECT_EQ(seen[2].target, kSubPath + "/resourcegroups?api-version=2021-04-01");
  EXPECT_EQ(seen[4].method, "POST");
  EXPECT_EQ(seen[4].target, "/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01");
  EXPECT_EQ(seen[4].header("Content-Type"), "application/json");
  EXPECT_EQ(Json::parse(seen[4].body),
            Json::parse(R"({"subscriptions":[")" + kSub +
                        R"("],"query":"Resources | project id, name, properties.gatewayType",)"
                        R"("options":{"resultFormat":"objectArray"}})"));
  EXPECT_EQ(seen[5].target, kSubPath +
                                "/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/"
                                "locations/eastus/serviceLimits?api-version=2020-10-25");
}

TEST_F(ClientsTest, EmptyListingsGiveEmptyResults) {
  servePages(kSubPath + "/resourcegroups", {Json::array()});
  servePages(kSubPath + "/providers/Microsoft.Network/routeTables", {Json::array()});
  server_.start();
  EXPECT_TRUE(ResourceManagementClient(token(), kSub, options()).resource_groups.list().empty());
  EXPECT_TRUE(network().route_tables.list_all().empty());
}

TEST_F(ClientsTest, AzureErrorsSurfaceTheirCodeAndMessageFromEveryClient) {
  server_.server().Get(".*", [](const httplib::Request& req, httplib::Response& res) {
    const bool missing = req.path.find("/resourceGroups/") != std::string::npos;
    res.set_header("x-ms-request-id", "rid-7");
    answerJson(res,
               missing ? Json{{"error",
                               {{"code", "ResourceGroupNotFound"},
                                {"message", "Resource group 'gone' could not be found."}}}}
                       : Json{{"error",
                               {{"code", "AuthorizationFailed"},
                                {"message", "The client 'app' does not have authorization."},
                                {"details", Json::array()}}}},
               missing ? 404 : 403);
  });
  server_.server().Post(".*", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("x-ms-request-id", "rid-7");
    answerJson(res, {{"error", {{"code", "BadRequest"}, {"message", "Query is invalid."}}}}, 400);
  });
  server_.start();

  struct Case {
    const char* label;
    std::function<void()> call;
    int status;
    const char* code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"route tables", [&] { network().route_tables.list_all(); }, 403, "AuthorizationFailed",
       "The client 'app' does not have authorization."},
      {"vnets", [&] { network().virtual_networks.list_all(); }, 403, "AuthorizationFailed",
       "The client 'app' does not have authorization."},
      {"gateways", [&] { network().virtual_network_gateways.list("gone"); }, 404,
       "ResourceGroupNotFound", "Resource group 'gone' could not be found."},
      {"vm sizes",
       [&] { ComputeManagementClient(token(), kSub, options()).virtual_machine_sizes.list("x"); },
       403, "AuthorizationFailed", "The client 'app' does not have authorization."},
      {"groups", [&] { ResourceManagementClient(token(), kSub, options()).resource_groups.list(); },
       403, "AuthorizationFailed", "The client 'app' does not have authorization."},
      {"graph",
       [&] {
         ResourceGraphClient(token(), options()).resources({{kSub}, "bad", {}});
       },
       400, "BadRequest", "Query is invalid."},
      {"quota",
       [&] {
         AzureReservationAPI(token(), options()).quota.get(kSub, "Microsoft.Compute", "x", "");
       },
       403, "AuthorizationFailed", "The client 'app' does not have authorization."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      c.call();
      ADD_FAILURE() << "expected ArmError";
    } catch (const ArmError& error) {
      EXPECT_EQ(error.status(), c.status);
      EXPECT_EQ(error.code(), c.code);
      EXPECT_EQ(error.armMessage(), c.message);
      EXPECT_THAT(error.what(), HasSubstr(c.code));
      EXPECT_THAT(error.what(), HasSubstr("rid-7"));
      EXPECT_THAT(error.what(), ::testing::Not(HasSubstr("client-test-token")));
    }
  }
}

TEST_F(ClientsTest, AnUnreadablePageFailsNamingTheRequestAndTheMember) {
  server_.server().Get(
      kSubPath + "/providers/Microsoft.Network/routeTables",
      [this](const httplib::Request&, httplib::Response& res) {
        answerJson(res, kx::test::listPage({kx::test::routeTableJson(kSub, "rg", "ok", 1)},
                                           server_.baseUrl() + "/broken?api-version=2024-05-01"));
      });
  server_.server().Get("/broken", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(
        R"({"value":[{"name":"rt","id":"/x","location":"w","properties":{"routes":[{"name":"r","id":"/r","properties":{"addressPrefix":"10.0.0.0/8"}}]}}]})",
        "application/json");
  });
  server_.server().Get(kSubPath + "/providers/Microsoft.Network/virtualNetworks",
                       [](const httplib::Request&, httplib::Response& res) {
                         res.set_content("<html>Service Unavailable</html>", "text/html");
                       });
  server_.start();

  try {
    network().route_tables.list_all();
    ADD_FAILURE() << "expected ArmError";
  } catch (const ArmError& error) {
    EXPECT_EQ(error.code(), "InvalidResponseBody");
    EXPECT_EQ(error.path(), "/broken?api-version=2024-05-01");
    EXPECT_THAT(error.armMessage(), HasSubstr("value[0].properties.routes[0].properties"));
    EXPECT_THAT(error.armMessage(), HasSubstr("nextHopType"));
  }
  try {
    network().virtual_networks.list_all();
    ADD_FAILURE() << "expected ArmError";
  } catch (const ArmError& error) {
    EXPECT_EQ(error.code(), "InvalidResponseBody");
    EXPECT_EQ(error.status(), 200);
  }
}

// A next link may only lead back to the Resource Manager endpoint the token is meant for.
TEST_F(ClientsTest, NextLinksToAnotherOriginAreRefusedBeforeAnythingIsSent) {
  LoopbackServer elsewhere;
  elsewhere.server().Get(".*", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"value":[]})", "application/json");
  });
  elsewhere.start();
  std::vector<std::string> foreign;
  server_.server().Get(
      R"(/c(\d+)/routeTables)", [&](const httplib::Request& req, httplib::Response& res) {
        answerJson(res, kx::test::listPage({kx::test::routeTableJson(kSub, "rg", "rt", 1)},
                                           foreign.at(std::stoul(req.matches[1]))));
      });
  server_.start();
  const std::string port = std::to_string(server_.port());
  foreign = {
      elsewhere.baseUrl() + "/steal?api-version=2024-05-01",         // another port
      "http://localhost:" + port + "/page?api-version=2024-05-01",   // another host name
      "https://127.0.0.1:" + port + "/page?api-version=2024-05-01",  // another scheme
      "http://127.0.0.1:" + port + "@" + elsewhere.baseUrl().substr(7) + "/page",  // user-info
      "ftp://127.0.0.1:" + port + "/page",
      "127.0.0.1:" + port + "/page",  // not a URL
  };

  ArmPipeline arm(token(), options(), std::make_shared<CurlTransport>());
  for (std::size_t c = 0; c < foreign.size(); ++c) {
    SCOPED_TRACE(foreign[c]);
    try {
      arm.listAll("/c" + std::to_string(c) + "/routeTables?api-version=2024-05-01");
      ADD_FAILURE() << "expected ArmError";
    } catch (const ArmError& error) {
      EXPECT_EQ(error.code(), "ForeignNextLink");
      EXPECT_THAT(error.armMessage(), HasSubstr(server_.baseUrl()));
      EXPECT_THAT(error.armMessage(), HasSubstr("bearer token"));
    }
  }
  EXPECT_EQ(elsewhere.requestCount(), 0u);
  EXPECT_EQ(server_.requestCount(), foreign.size()) << "only the first pages were fetched";
}

TEST(ClientsTlsTest, RouteTablesOverHttpsAcrossPages) {
  kx::test::TempDir dir;
  LoopbackServer server(kx::test::makeSelfSignedCertificate(dir, "arm"));
  server.server().Get(
      kSubPath + "/providers/Microsoft.Network/routeTables",
      [&](const httplib::Request&, httplib::Response& res) {
        answerJson(res, kx::test::listPage({kx::test::routeTableJson(kSub, "rg", "rt-1", 2)},
                                           server.baseUrl() + "/p2?api-version=2024-05-01"));
      });
  server.server().Get("/p2", [&](const httplib::Request&, httplib::Response& res) {
    answerJson(res, kx::test::listPage({kx::test::routeTableJson(kSub, "rg", "rt-2", 25)}, ""));
  });
  server.start();

  CurlTransportOptions tls;
  tls.extraCaFile = dir.file("arm.crt");
  ArmPipelineOptions options;
  options.resourceManager = server.baseUrl();
  NetworkManagementClient client(std::make_shared<StaticTokenCredential>("tls-token"), kSub,
                                 options, std::make_shared<CurlTransport>(tls));
  std::vector<RouteTable> tables = client.route_tables.list_all();
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_EQ(tables[0].name, "rt-1");
  EXPECT_EQ(tables[1].routes.size(), 25u);
  EXPECT_EQ(tables[1].routes[24].address_prefix, "10.24.0.0/24");
  EXPECT_EQ(server.requestCount(), 2u);
}

// Clients built one after another from one AzureCredential share its token: Azure AD is asked
// once, whatever the number of clients and calls.
TEST(ClientsCredentialTest, OneTokenServesEveryClientOfACredential) {
  LoopbackServer server;
  int tokenRequests = 0;
  server.server().Post("/tenant-1/oauth2/token", [&](const httplib::Request&,
                                                     httplib::Response& res) {
    ++tokenRequests;
    res.set_content(R"({"token_type":"Bearer","expires_in":"3599","access_token":"shared-tok"})",
                    "application/json");
  });
  server.server().Get(".*", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"value":[]})", "application/json");
  });
  server.server().Post("/providers/Microsoft.ResourceGraph/resources", [](const httplib::Request&,
                                                                          httplib::Response& res) {
    res.set_content(R"({"totalRecords":0,"count":0,"data":[]})", "application/json");
  });
  server.start();
  kx::test::ScopedEndpoints endpoints(kx::test::loopbackEndpoints(server.baseUrl()));
  kx::test::ScopedDefaultTransport transport(std::make_shared<CurlTransport>());

  AzureCredential cred = AzureCredential::fromClientSecret("tenant-1", "app-1", "s3cr3t", kSub);
  NetworkManagementClient(cred.getCSC(), cred.getSubId()).route_tables.list_all();
  NetworkManagementClient(cred.getCSC(), cred.getSubId()).virtual_networks.list_all();
  ComputeManagementClient(cred.getSPC(), cred.getSubId()).virtual_machine_sizes.list("westus");
  ResourceManagementClient(cred.getSPC(), cred.getSubId()).resource_groups.list();
  ResourceGraphClient(cred.getCSC()).resources({{kSub}, "Resources", {}});
  AzureReservationAPI(cred.getCSC()).quota.get(kSub, "Microsoft.Compute", "westus", "");

  EXPECT_EQ(tokenRequests, 1);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 7u);
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].header("Authorization"), "Bearer shared-tok") << seen[i].target;
  }
}

}  // namespace
}  // namespace collab::azure
