// Route tables, virtual networks and gateways read from recorded-shape Resource Manager pages.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "collab/azure/arm_parse.hpp"

namespace collab::azure {
namespace {

std::string fixture(const std::string& name) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/collab/tests/data/arm/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const std::string kSub = "/subscriptions/3f2b8c1e-6a4d-4f0e-9b7a-2c5d8e1f0a93";
const std::string kRtHub =
    kSub + "/resourceGroups/rg-net-prod/providers/Microsoft.Network/routeTables/rt-hub-egress";
const std::string kHub =
    kSub + "/resourceGroups/rg-net-prod/providers/Microsoft.Network/virtualNetworks/vnet-hub";

TEST(AzureParseRouteTables, FirstPageMatchesHandBuiltTables) {
  RouteTable hub;
  hub.name = "rt-hub-egress";
  hub.id = kRtHub;
  hub.location = "westeurope";
  hub.tags =
      Tags{{"owner", "équipe-réseau"}, {"Name", "hub egress ↗ 東京"}, {"cost-center", "CC-1234"}};
  hub.disable_bgp_route_propagation = true;
  hub.routes = {
      {"default-to-fw", kRtHub + "/routes/default-to-fw", "0.0.0.0/0", "VirtualAppliance",
       "10.10.0.4"},
      {"azure-cloud-direct", kRtHub + "/routes/azure-cloud-direct", "AzureCloud", "Internet",
       std::nullopt},
      {"onprem", kRtHub + "/routes/onprem", "172.16.0.0/12", "VirtualNetworkGateway", std::nullopt},
  };
  hub.subnets = std::vector<SubResource>{
      {kHub + "/subnets/snet-app"},
      {kSub + "/resourceGroups/RG-NET-PROD/providers/Microsoft.Network/virtualNetworks/vnet-hub/"
              "subnets/snet-data"}};

  RouteTable bare;
  bare.name = "rt-bare";
  bare.id = kSub + "/resourceGroups/rg-net-prod/providers/Microsoft.Network/routeTables/rt-bare";
  bare.location = "westeurope";

  const std::string spokeId =
      kSub + "/resourceGroups/rg-spoke(01).eu/providers/Microsoft.Network/routeTables/rt-spoke-01";
  RouteTable spoke;
  spoke.name = "rt-spoke-01";
  spoke.id = spokeId;
  spoke.location = "northeurope";
  spoke.tags = Tags{};
  spoke.subnets = std::vector<SubResource>{};
  spoke.routes = {
      {"local", spokeId + "/routes/local", "10.20.0.0/16", "VnetLocal", std::nullopt},
      {"blackhole-v6", spokeId + "/routes/blackhole-v6", "fd00:db8::/48", "None", std::nullopt},
  };

  ArmPageParser parser;
  std::vector<RouteTable> tables;
  auto next = parser.parseRouteTablePage(fixture("route_tables_page1.json"), tables);
  ASSERT_EQ(tables.size(), 3u);
  EXPECT_EQ(tables[0], hub);
  EXPECT_EQ(tables[1], bare);
  EXPECT_EQ(tables[2], spoke);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(*next,
            "https://management.azure.com/subscriptions/3f2b8c1e-6a4d-4f0e-9b7a-2c5d8e1f0a93/"
            "providers/Microsoft.Network/routeTables?api-version=2024-05-01&$skiptoken="
            "eyJuZXh0TWFya2VyIjoiMitSSUQ6fjFkUnBBTkJ0In0%3d");

  // Tags keep Azure's order, not an alphabetical one.
  std::vector<std::string> keys;
  for (const auto& [k, v] : *tables[0].tags) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"owner", "Name", "cost-center"}));
}

TEST(AzureParseRouteTables, PagesAppendInOrderAndTheLastHasNoNextLink) {
  ArmPageParser parser;
  std::vector<RouteTable> tables;
  ASSERT_TRUE(parser.parseRouteTablePage(fixture("route_tables_page1.json"), tables));
  auto next = parser.parseRouteTablePage(fixture("route_tables_page2.json"), tables);
  EXPECT_FALSE(next.has_value());
  ASSERT_EQ(tables.size(), 4u);
  EXPECT_EQ(tables[0].name, "rt-hub-egress");
  EXPECT_EQ(tables[3].name, "rt-dmz");
  EXPECT_EQ(tables[3].routes.at(0).next_hop_ip_address, "10.30.1.68");
  EXPECT_FALSE(tables[3].disable_bgp_route_propagation);
}

TEST(AzureParseRouteTables, NextLinkAbsentNullOrEmptyEndsTheListing) {
  struct Case {
    const char* body;
    std::optional<std::string> next;
  } cases[] = {
      {R"({"value": []})", std::nullopt},
      {R"({"value": [], "nextLink": null})", std::nullopt},
      {R"({"value": [], "nextLink": ""})", std::nullopt},
      {R"({"nextLink": "https://management.azure.com/x?a=1&$skiptoken=b%3d", "value": []})",
       "https://management.azure.com/x?a=1&$skiptoken=b%3d"},
  };
  ArmPageParser parser;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    std::vector<RouteTable> tables;
    EXPECT_EQ(parser.parseRouteTablePage(c.body, tables), c.next);
    EXPECT_TRUE(tables.empty());
  }
}

TEST(AzureParseRouteTables, NullMembersReadAsAbsent) {
  // Azure omits unset members; a null sent in their place means the same thing.
  const std::string body = R"({"value": [{"name": "rt", "id": "/x/rt", "location": "westus",
      "tags": null, "properties": {"disableBgpRoutePropagation": null, "subnets": null,
      "routes": [{"name": "r", "id": "/x/rt/routes/r", "properties": {"addressPrefix": "10.0.0.0/8",
      "nextHopType": "None", "nextHopIpAddress": null}}]}}]})";
  std::vector<RouteTable> tables;
  ArmPageParser().parseRouteTablePage(body, tables);
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_FALSE(tables[0].tags);
  EXPECT_FALSE(tables[0].subnets);
  EXPECT_FALSE(tables[0].disable_bgp_route_propagation);
  EXPECT_FALSE(tables[0].routes.at(0).next_hop_ip_address);
}

TEST(AzureParseVirtualNetworks, PageMatchesHandBuiltNetworks) {
  VirtualNetwork hub;
  hub.name = "vnet-hub";
  hub.id = kHub;
  hub.location = "westeurope";
  hub.address_space.address_prefixes = {"10.10.0.0/16", "10.11.0.0/16"};

  Subnet app;
  app.id = kHub + "/subnets/snet-app";
  app.name = "snet-app";
  app.address_prefix = "10.10.1.0/24";
  app.network_security_group = SubResource{
      kSub + "/resourceGroups/rg-sec/providers/Microsoft.Network/networkSecurityGroups/nsg-app"};
  app.route_table = SubResource{kRtHub};
  app.delegations = {{"webapp", "Microsoft.Web/serverFarms"}};
  app.service_endpoints = std::vector<ServiceEndpoint>{
      {"Microsoft.Storage", {"westeurope", "northeurope"}}, {"Microsoft.KeyVault", {"*"}}};

  Subnet gateway;
  gateway.id = kHub + "/subnets/GatewaySubnet";
  gateway.name = "GatewaySubnet";
  gateway.address_prefix = "10.10.255.0/27";

  Subnet dual;
  dual.id = kHub + "/subnets/snet-dual";
  dual.name = "snet-dual";
  dual.address_prefixes = std::vector<std::string>{"10.11.4.0/24", "10.11.5.0/24"};
  dual.service_endpoints = std::vector<ServiceEndpoint>{};

  hub.subnets = {app, gateway, dual};
  hub.virtual_network_peerings = {
      {kHub + "/virtualNetworkPeerings/hub-to-shared", "hub-to-shared",
       SubResource{"/subscriptions/9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d/resourceGroups/rg-shared/"
                   "providers/Microsoft.Network/virtualNetworks/vnet-shared"},
       "Connected"}};

  VirtualNetwork isolated;
  isolated.name = "vnet-isolated";
  isolated.id =
      kSub + "/resourceGroups/rg-lab/providers/Microsoft.Network/virtualNetworks/vnet-isolated";
  isolated.location = "eastus2";
  isolated.address_space.address_prefixes = {"192.168.0.0/24"};

  std::vector<VirtualNetwork> vnets;
  EXPECT_FALSE(ArmPageParser().parseVirtualNetworkPage(fixture("virtual_networks.json"), vnets));
  ASSERT_EQ(vnets.size(), 2u);
  EXPECT_EQ(vnets[0].subnets.at(0), app);
  EXPECT_EQ(vnets[0].subnets.at(1), gateway);
  EXPECT_EQ(vnets[0].subnets.at(2), dual);
  EXPECT_EQ(vnets[0], hub);
  EXPECT_EQ(vnets[1], isolated);
}

TEST(AzureParseGateways, PageMatchesHandBuiltGateways) {
  const std::string gwBase =
      kSub + "/resourceGroups/rg-net-prod/providers/Microsoft.Network/virtualNetworkGateways/";
  const SubResource gatewaySubnet{kHub + "/subnets/GatewaySubnet"};
  VirtualNetworkGateway vpn{
      "vpngw-hub",
      gwBase + "vpngw-hub",
      "westeurope",
      "Vpn",
      {{gwBase + "vpngw-hub/ipConfigurations/default", "default", gatewaySubnet},
       {gwBase + "vpngw-hub/ipConfigurations/activeActive", "activeActive", gatewaySubnet}}};
  VirtualNetworkGateway er{
      "ergw-hub",
      gwBase + "ergw-hub",
      "westeurope",
      "ExpressRoute",
      {{gwBase + "ergw-hub/ipConfigurations/default", "default", gatewaySubnet}}};

  std::vector<VirtualNetworkGateway> gateways;
  // The page ends with "nextLink": "".
  EXPECT_FALSE(ArmPageParser().parseVirtualNetworkGatewayPage(
      fixture("virtual_network_gateways.json"), gateways));
  EXPECT_EQ(gateways, (std::vector<VirtualNetworkGateway>{vpn, er}));
}

}  // namespace
}  // namespace collab::azure
