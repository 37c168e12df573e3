// What Azure's REST API reference marks optional may be missing or null in its answers: each
// such member, taken out of an Azure-shaped resource in turn, leaves that resource read with the
// member absent and the rest of the page read as it was.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "collab/azure/arm_parse.hpp"

namespace collab::azure {
namespace {

const std::string kRg = "/subscriptions/s1/resourceGroups/rg1/providers/Microsoft.Network";

// Complete resources as Azure's REST reference shows them.
const Json kRouteTable = Json::parse(R"({
  "id": ")" + kRg + R"(/routeTables/rt1", "name": "rt1", "type": "Microsoft.Network/routeTables",
  "location": "westus", "tags": {"owner": "net"},
  "properties": {"disableBgpRoutePropagation": true, "provisioningState": "Succeeded",
    "routes": [{"id": ")" + kRg + R"(/routeTables/rt1/routes/r1", "name": "r1",
      "properties": {"addressPrefix": "10.0.3.0/24", "nextHopType": "VirtualAppliance",
                     "nextHopIpAddress": "10.0.1.4"}}],
    "subnets": [{"id": ")" + kRg + R"(/virtualNetworks/v1/subnets/a"}]}})");

const Json kVnet = Json::parse(R"({
  "id": ")" + kRg + R"(/virtualNetworks/vnet1", "name": "vnet1", "location": "westus",
  "properties": {
    "addressSpace": {"addressPrefixes": ["10.0.0.0/16"]},
    "subnets": [{"id": ")" + kRg +
                               R"(/virtualNetworks/vnet1/subnets/app", "name": "app",
      "properties": {"addressPrefix": "10.0.1.0/24",
        "serviceEndpoints": [{"service": "Microsoft.Storage", "locations": ["westus"]}],
        "delegations": [{"name": "d1", "properties": {"serviceName": "Microsoft.Web/serverFarms"}}]}}],
    "virtualNetworkPeerings": [{"id": ")" +
                               kRg + R"(/virtualNetworks/vnet1/virtualNetworkPeerings/to-hub",
      "name": "to-hub", "properties": {"remoteVirtualNetwork": {"id": ")" +
                               kRg + R"(/virtualNetworks/hub"}, "peeringState": "Connected"}}]}})");

const Json kGateway = Json::parse(R"({
  "id": ")" + kRg + R"(/virtualNetworkGateways/vpngw1", "name": "vpngw1", "location": "westus",
  "properties": {"gatewayType": "Vpn", "vpnType": "RouteBased",
    "ipConfigurations": [{"id": ")" +
                                  kRg + R"(/virtualNetworkGateways/vpngw1/ipConfigurations/default",
      "name": "default", "properties": {"subnet": {"id": ")" +
                                  kRg + R"(/virtualNetworks/vnet1/subnets/GatewaySubnet"}}}]}})");

const Json kSize = Json::parse(R"({"name": "Standard_A2_v2", "numberOfCores": 2,
  "osDiskSizeInMB": 1047552, "resourceDiskSizeInMB": 20480, "memoryInMB": 4096, "maxDataDiskCount": 4})");

template <class T>
using PageReader = std::optional<std::string> (ArmPageParser::*)(PageBody, std::vector<T>&);

template <class T>
struct Optional {
  const char* pointer;  // the member taken out, as a JSON pointer into the resource
  std::function<bool(const T&)> present;
};

// Each member of `cases` taken out of `complete` (missing, then null): the page of that
// resource followed by the complete one reads both, the first without the member.
template <class T>
void expectEachOptional(PageReader<T> read, const Json& complete,
                        const std::vector<Optional<T>>& cases) {
  ArmPageParser parser;
  for (const auto& c : cases) {
    for (const bool asNull : {false, true}) {
      SCOPED_TRACE(std::string(c.pointer) + (asNull ? " null" : " missing"));
      const Json::json_pointer at(c.pointer);
      Json lacking = complete;
      if (asNull)
        lacking[at] = nullptr;
      else
        lacking[at.parent_pointer()].erase(at.back());
      std::vector<T> out;
      ASSERT_NO_THROW((parser.*read)(Json{{"value", {lacking, complete}}}.dump(), out));
      ASSERT_EQ(out.size(), 2u);
      EXPECT_FALSE(c.present(out[0]));
      EXPECT_TRUE(c.present(out[1]));
    }
  }
}

TEST(AzureParseOptional, RouteTablesAndRoutes) {
  using T = RouteTable;
  const auto route = [](const T& t) -> const Route& { return t.routes.at(0); };
  expectEachOptional<T>(
      &ArmPageParser::parseRouteTablePage, kRouteTable,
      {
          {"/name", [](const T& t) { return t.name.has_value(); }},
          {"/id", [](const T& t) { return t.id.has_value(); }},
          {"/location", [](const T& t) { return t.location.has_value(); }},
          {"/tags", [](const T& t) { return t.tags.has_value(); }},
          {"/properties/subnets", [](const T& t) { return t.subnets.has_value(); }},
          {"/properties/routes", [](const T& t) { return !t.routes.empty(); }},
          {"/properties/disableBgpRoutePropagation",
           [](const T& t) { return t.disable_bgp_route_propagation; }},
          {"/properties", [](const T& t) { return t.subnets && !t.routes.empty(); }},
          {"/properties/routes/0/name", [&](const T& t) { return route(t).name.has_value(); }},
          {"/properties/routes/0/id", [&](const T& t) { return route(t).id.has_value(); }},
          {"/properties/routes/0/properties/addressPrefix",
           [&](const T& t) { return route(t).address_prefix.has_value(); }},
          {"/properties/routes/0/properties/nextHopIpAddress",
           [&](const T& t) { return route(t).next_hop_ip_address.has_value(); }},
      });
}

TEST(AzureParseOptional, VirtualNetworksSubnetsAndPeerings) {
  using T = VirtualNetwork;
  const auto subnet = [](const T& v) -> const Subnet& { return v.subnets.at(0); };
  expectEachOptional<T>(
      &ArmPageParser::parseVirtualNetworkPage, kVnet,
      {
          {"/properties/addressSpace/addressPrefixes",
           [](const T& v) { return v.address_space.address_prefixes.has_value(); }},
          {"/properties/addressSpace",
           [](const T& v) { return v.address_space.address_prefixes.has_value(); }},
          {"/properties/subnets", [](const T& v) { return !v.subnets.empty(); }},
          {"/properties/virtualNetworkPeerings",
           [](const T& v) { return !v.virtual_network_peerings.empty(); }},
          {"/properties/subnets/0/properties/addressPrefix",
           [&](const T& v) { return subnet(v).address_prefix.has_value(); }},
          {"/properties/subnets/0/properties/serviceEndpoints/0/service",
           [&](const T& v) { return subnet(v).service_endpoints->at(0).service.has_value(); }},
          {"/properties/subnets/0/properties/delegations/0/properties/serviceName",
           [&](const T& v) { return subnet(v).delegations.at(0).service_name.has_value(); }},
          {"/properties/subnets/0/properties",
           [&](const T& v) { return subnet(v).address_prefix.has_value(); }},
          {"/properties/virtualNetworkPeerings/0/properties/remoteVirtualNetwork",
           [](const T& v) {
             return v.virtual_network_peerings.at(0).remote_virtual_network.has_value();
           }},
          {"/properties/virtualNetworkPeerings/0/properties/peeringState",
           [](const T& v) { return v.virtual_network_peerings.at(0).peering_state.has_value(); }},
      });
}

TEST(AzureParseOptional, GatewaysAndVmSizes) {
  using G = VirtualNetworkGateway;
  expectEachOptional<G>(
      &ArmPageParser::parseVirtualNetworkGatewayPage, kGateway,
      {
          {"/properties/gatewayType", [](const G& g) { return g.gateway_type.has_value(); }},
          {"/location", [](const G& g) { return g.location.has_value(); }},
          {"/properties/ipConfigurations/0/properties/subnet",
           [](const G& g) { return g.ip_configurations.at(0).subnet.has_value(); }},
          {"/properties/ipConfigurations", [](const G& g) { return !g.ip_configurations.empty(); }},
          {"/properties", [](const G& g) { return g.gateway_type.has_value(); }},
      });
  using S = VirtualMachineSize;
  expectEachOptional<S>(&ArmPageParser::parseVirtualMachineSizePage, kSize,
                        {
                            {"/numberOfCores", [](const S& s) { return s.number_of_cores == 2; }},
                            {"/name", [](const S& s) { return s.name.has_value(); }},
                        });
}

TEST(AzureParseOptional, QuotaLimitsKeepEntriesWithoutTheirFigures) {
  const Json complete = Json::parse(R"({"id": "/s/serviceLimits/standardDSv3Family",
    "name": "standardDSv3Family", "type": "Microsoft.Capacity/ServiceLimits",
    "properties": {"limit": 100, "unit": "Count", "currentValue": "8",
                   "name": {"value": "standardDSv3Family", "localizedValue": "DSv3 vCPUs"}}})");
  struct Case {
    const char* pointer;
    const char* left;  // what the entry read must lack, as a JSON pointer
  };
  const Case cases[] = {
      {"/properties/limit", "/properties/limit"},
      {"/properties/currentValue", "/properties/currentValue"},
      {"/properties", "/properties"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pointer);
    const Json::json_pointer at(c.pointer);
    Json lacking = complete;
    lacking[at.parent_pointer()].erase(at.back());
    QuotaResult quota;
    ASSERT_NO_THROW(ArmPageParser().parseQuotaPage(
        Json{{"value", {lacking, complete}}, {"nextLink", ""}}.dump(), quota));
    const Json& entries = quota.additional_properties["value"];
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["name"], "standardDSv3Family");
    EXPECT_FALSE(entries[0].contains(Json::json_pointer(c.left)));
    EXPECT_EQ(entries[1]["properties"]["currentValue"], 8);  // numeric text read as a number
  }
  // Without either name the entry is kept unnamed: no quota asked for matches it.
  QuotaResult unnamed;
  ArmPageParser().parseQuotaPage(R"({"value": [{"properties": {"limit": 1, "currentValue": 0}}]})",
                                 unnamed);
  ASSERT_EQ(unnamed.additional_properties["value"].size(), 1u);
  EXPECT_FALSE(unnamed.additional_properties["value"][0].contains("name"));
}

// Azure's own resource-group and VM-size examples answer `{}`: an empty list, not a fault.  An
// ARM error document where a list belongs is still refused.
template <class T>
std::size_t itemsRead(PageReader<T> read, std::string_view body) {
  std::vector<T> out;
  (ArmPageParser().*read)(body, out);
  return out.size();
}

TEST(AzureParseOptional, AListWithoutValueIsEmpty) {
  using P = ArmPageParser;
  const std::vector<std::function<std::size_t(std::string_view)>> readers = {
      [](auto b) { return itemsRead<RouteTable>(&P::parseRouteTablePage, b); },
      [](auto b) { return itemsRead<VirtualNetwork>(&P::parseVirtualNetworkPage, b); },
      [](auto b) {
        return itemsRead<VirtualNetworkGateway>(&P::parseVirtualNetworkGatewayPage, b);
      },
      [](auto b) { return itemsRead<VirtualMachineSize>(&P::parseVirtualMachineSizePage, b); },
      [](auto b) { return itemsRead<ResourceGroup>(&P::parseResourceGroupPage, b); },
      [](auto b) { return itemsRead<Subscription>(&P::parseSubscriptionPage, b); },
      [](auto b) {
        QuotaResult out;
        P().parseQuotaPage(b, out);
        return out.additional_properties["value"].size();
      },
  };
  for (std::size_t i = 0; i < readers.size(); ++i) {
    SCOPED_TRACE("reader " + std::to_string(i));
    EXPECT_EQ(readers[i]("{}"), 0u);
    EXPECT_EQ(readers[i](R"({"value": null, "nextLink": null})"), 0u);
    EXPECT_THROW(readers[i](R"({"error": {"code": "AuthorizationFailed", "message": "no"}})"),
                 MalformedResponseError);
  }
}

}  // namespace
}  // namespace collab::azure
