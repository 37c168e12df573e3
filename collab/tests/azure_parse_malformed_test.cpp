// Bodies that are not what Resource Manager should send: each must raise MalformedResponseError
// naming the answer kind and the JSON path of the fault, never crash or default silently.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "collab/azure/arm_parse.hpp"

namespace collab::azure {
namespace {

using ParseFn = std::function<void(ArmPageParser&, std::string_view)>;

void routeTables(ArmPageParser& p, std::string_view body) {
  std::vector<RouteTable> out;
  p.parseRouteTablePage(body, out);
}
void vnets(ArmPageParser& p, std::string_view body) {
  std::vector<VirtualNetwork> out;
  p.parseVirtualNetworkPage(body, out);
}
void gateways(ArmPageParser& p, std::string_view body) {
  std::vector<VirtualNetworkGateway> out;
  p.parseVirtualNetworkGatewayPage(body, out);
}
void sizes(ArmPageParser& p, std::string_view body) {
  std::vector<VirtualMachineSize> out;
  p.parseVirtualMachineSizePage(body, out);
}
void groups(ArmPageParser& p, std::string_view body) {
  std::vector<ResourceGroup> out;
  p.parseResourceGroupPage(body, out);
}
void subscriptions(ArmPageParser& p, std::string_view body) {
  std::vector<Subscription> out;
  p.parseSubscriptionPage(body, out);
}
void graph(ArmPageParser& p, std::string_view body) { p.parseQueryResponse(body); }
void quota(ArmPageParser& p, std::string_view body) {
  QuotaResult out;
  p.parseQuotaPage(body, out);
}

std::string fixture(const std::string& name) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/collab/tests/data/arm/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A route table whose `properties` member is replaced by `props`.
std::string table(const std::string& props, const std::string& extra = "") {
  return R"({"name": "rt", "id": "/s/rt", "location": "westus", )" + extra + R"("properties": )" +
         props + "}";
}
std::string route(const std::string& props) {
  return R"({"name": "r", "id": "/s/rt/routes/r", "properties": )" + props + "}";
}
const std::string kGoodRoute =
    route(R"({"addressPrefix": "10.0.0.0/8", "nextHopType": "VnetLocal"})");

std::string vnet(const std::string& props) {
  return R"({"value": [{"name": "v", "id": "/s/v", "location": "westus", "properties": )" + props +
         "}]}";
}
std::string subnet(const std::string& props) {
  return vnet(R"({"addressSpace": {"addressPrefixes": ["10.0.0.0/16"]}, "subnets": [)"
              R"({"name": "a", "id": "/s/v/subnets/a", "properties": )" +
              props + "}]}");
}

struct Case {
  const char* label;
  ParseFn parse;
  std::string body;
  const char* kind;
  std::string path;
  const char* problem;  // a part of the problem text
};

TEST(AzureParseMalformed, EveryFaultNamesKindPathAndProblem) {
  const std::string page1 = fixture("route_tables_page1.json");
  ASSERT_GT(page1.size(), 1000u);
  const std::string nested(3000, '[');

  const std::vector<Case> cases = {
      // Not JSON at all, or cut short.
      {"html from a proxy", routeTables, "<html><body>502 Bad Gateway</body></html>",
       "route table list", "", "not valid JSON"},
      {"empty body", routeTables, "", "route table list", "", "not valid JSON"},
      {"truncated page", routeTables, page1.substr(0, page1.size() / 2), "route table list", "",
       "not valid JSON"},
      {"invalid UTF-8", routeTables, "{\"value\": [], \"nextLink\": \"\xC3\x28\"}",
       "route table list", "", "not valid JSON"},
      {"nesting too deep", routeTables, nested, "route table list", "", "not valid JSON"},
      // Envelope.
      {"top level is a list", routeTables, "[]", "route table list", "", "expected an object"},
      {"value is an object", routeTables, R"({"value": {}})", "route table list", "value",
       "expected an array, found an object"},
      {"ARM error in a 200 body", routeTables,
       R"({"error": {"code": "AuthorizationFailed", "message": "no"}})", "route table list",
       "value", "AuthorizationFailed"},
      {"nextLink a number", routeTables, R"({"value": [], "nextLink": 3})", "route table list",
       "nextLink", "expected a string, found a number"},
      {"item not an object", routeTables, R"({"value": ["rt"]})", "route table list", "value[0]",
       "expected an object, found a string"},
      // Route tables.
      {"route without nextHopType", routeTables,
       R"({"value": [)" + table(R"({"routes": []})") + ", " +
           table(R"({"routes": [)" + kGoodRoute + ", " +
                 route(R"({"addressPrefix": "10.1.0.0/16"})") + "]}") +
           "]}",
       "route table list", "value[1].properties.routes[1].properties.nextHopType",
       "required member is missing"},
      {"route without properties", routeTables,
       R"({"value": [)" + table(R"({"routes": [{"name": "r", "id": "/r"}]})") + "]}",
       "route table list", "value[0].properties.routes[0].properties",
       "required member is missing"},
      {"table name a number", routeTables,
       R"({"value": [{"name": 7, "id": "/s/rt", "location": "westus", "properties": {}}]})",
       "route table list", "value[0].name", "expected a string, found a number"},
      {"next hop address a number", routeTables,
       R"({"value": [)" +
           table(R"({"routes": [)" +
                 route(R"({"addressPrefix": "0.0.0.0/0", "nextHopType": "VirtualAppliance",
                           "nextHopIpAddress": 167772164})") +
                 "]}") +
           "]}",
       "route table list", "value[0].properties.routes[0].properties.nextHopIpAddress",
       "expected a string, found a number"},
      {"BGP flag as text", routeTables,
       R"({"value": [)" + table(R"({"disableBgpRoutePropagation": "false"})") + "]}",
       "route table list", "value[0].properties.disableBgpRoutePropagation",
       "expected a boolean, found a string"},
      {"tag value a number", routeTables,
       R"({"value": [)" + table("{}", R"("tags": {"env": "prod", "tier": 2}, )") + "]}",
       "route table list", "value[0].tags.tier", "expected a string, found a number"},
      {"subnet reference without id", routeTables,
       R"({"value": [)" + table(R"({"subnets": [{"id": "/s/a"}, {"name": "b"}]})") + "]}",
       "route table list", "value[0].properties.subnets[1].id", "required member is missing"},
      // Virtual networks.
      {"address prefix a number", vnets, subnet(R"({"addressPrefixes": ["10.0.1.0/24", 5]})"),
       "virtual network list", "value[0].properties.subnets[0].properties.addressPrefixes[1]",
       "expected a string, found a number"},
      {"peering remote network a string", vnets,
       vnet(R"({"virtualNetworkPeerings": [{"name": "p", "id": "/s/v/virtualNetworkPeerings/p",
               "properties": {"remoteVirtualNetwork": "/s/hub"}}]})"),
       "virtual network list",
       "value[0].properties.virtualNetworkPeerings[0].properties.remoteVirtualNetwork",
       "expected an object"},
      {"delegation properties a list", vnets,
       subnet(R"({"delegations": [{"name": "d", "properties": []}]})"), "virtual network list",
       "value[0].properties.subnets[0].properties.delegations[0].properties",
       "expected an object, found an array"},
      {"route table reference a string", vnets,
       subnet(R"({"addressPrefix": "10.0.1.0/24", "routeTable": "/s/rt"})"), "virtual network list",
       "value[0].properties.subnets[0].properties.routeTable", "expected an object"},
      // Gateways.
      {"gateway ip configuration without subnet id", gateways,
       R"({"value": [{"name": "g", "id": "/s/g", "location": "westus", "properties": {
           "gatewayType": "Vpn", "ipConfigurations": [{"name": "default", "id": "/s/g/ip",
           "properties": {"subnet": {}}}]}}]})",
       "virtual network gateway list",
       "value[0].properties.ipConfigurations[0].properties.subnet.id",
       "required member is missing"},
      // Sizes, groups, subscriptions.
      {"cores as text", sizes, R"({"value": [{"name": "Standard_A2_v2", "numberOfCores": "2"}]})",
       "VM size list", "value[0].numberOfCores", "expected an integer, found a string"},
      {"cores fractional", sizes,
       R"({"value": [{"name": "Standard_A2_v2", "numberOfCores": 2.5}]})", "VM size list",
       "value[0].numberOfCores", "fraction"},
      {"cores beyond 64 bits", sizes,
       R"({"value": [{"name": "x", "numberOfCores": 18446744073709551615}]})", "VM size list",
       "value[0].numberOfCores", "out of range"},
      {"group without name", groups, R"({"value": [{"id": "/s/rg", "location": "westus"}]})",
       "resource group list", "value[0].name", "required member is missing"},
      {"subscription without id", subscriptions, R"({"value": [{"displayName": "Prod"}]})",
       "subscription list", "value[0].subscriptionId", "required member is missing"},
      // Resource Graph.
      {"truncation flag not an enum value", graph,
       R"({"totalRecords": 1, "count": 1, "resultTruncated": "maybe", "data": []})",
       "Resource Graph answer", "resultTruncated", "\"true\" or \"false\""},
      {"table result format", graph,
       R"({"totalRecords": 1, "count": 1, "resultTruncated": "false", "data": {"columns": [], "rows": []}})",
       "Resource Graph answer", "data", "result format"},
      {"row not a map", graph,
       R"({"totalRecords": 2, "count": 2, "resultTruncated": "false", "data": [{}, [1]]})",
       "Resource Graph answer", "data[1]", "expected an object, found an array"},
      {"total records missing", graph, R"({"count": 1, "data": []})", "Resource Graph answer",
       "totalRecords", "required member is missing"},
      // Quota.
      {"limit not numeric text", quota,
       R"({"value": [{"name": "cores", "properties": {"limit": "lots", "currentValue": 1}}]})",
       "quota answer", "value[0].properties.limit", "not a decimal integer"},
  };

  ArmPageParser parser;  // one parser throughout: a failure must not spoil the next page
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      c.parse(parser, c.body);
      ADD_FAILURE() << "no exception";
    } catch (const MalformedResponseError& e) {
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_EQ(e.path(), c.path);
      EXPECT_NE(e.problem().find(c.problem), std::string::npos) << e.problem();
      const std::string what = e.what();
      EXPECT_NE(what.find(c.kind), std::string::npos) << what;
      EXPECT_NE(what.find(c.path), std::string::npos) << what;
    }
  }
}

TEST(AzureParseMalformed, MessageReadsKindPathAndProblem) {
  const std::string body = R"({"value": [)" +
                           table(R"({"routes": [)" + kGoodRoute + ", " +
                                 route(R"({"addressPrefix": "10.1.0.0/16"})") + "]}") +
                           "]}";
  std::vector<RouteTable> out;
  try {
    ArmPageParser().parseRouteTablePage(body, out);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "malformed route table list at value[0].properties.routes[1].properties."
                 "nextHopType: required member is missing");
  }
}

TEST(AzureParseMalformed, FailedPageLeavesEarlierItemsAndParserUsable) {
  ArmPageParser parser;
  std::vector<RouteTable> tables;
  parser.parseRouteTablePage(fixture("route_tables_page1.json"), tables);
  ASSERT_EQ(tables.size(), 3u);
  const auto before = tables;

  // The second table is broken; the first of the page must not be kept either.
  const std::string bad = R"({"value": [)" + table(R"({"routes": []})") + ", " +
                          table(R"({"routes": [{"name": "r"}]})") + "]}";
  EXPECT_THROW(parser.parseRouteTablePage(bad, tables), MalformedResponseError);
  EXPECT_EQ(tables, before);

  parser.parseRouteTablePage(fixture("route_tables_page2.json"), tables);
  ASSERT_EQ(tables.size(), 4u);
  EXPECT_EQ(tables.back().name, "rt-dmz");

  QuotaResult quotaResult;
  parser.parseQuotaPage(
      R"({"value": [{"name": "cores", "properties": {"limit": 4, "currentValue": 1}}]})",
      quotaResult);
  EXPECT_THROW(parser.parseQuotaPage(R"({"value": [{"name": "cores", "properties": {"limit": 4,
      "currentValue": 1}}, {"name": "x", "properties": {"limit": "many"}}]})",
                                     quotaResult),
               MalformedResponseError);
  EXPECT_EQ(quotaResult.additional_properties["value"].size(), 1u);
}

// A body held in a std::string with room after it is read where it lies.  Whatever sits in that
// room (the rest of a longer text the string once held) must never count as part of the body.
TEST(AzureParseMalformed, BodyReadInPlaceEndsAtItsOwnLength) {
  const std::string page = fixture("route_tables_page1.json");
  const std::size_t lastBrace = page.rfind('}');
  ArmPageParser parser;
  std::vector<RouteTable> expected;
  parser.parseRouteTablePage(std::string_view(page), expected);  // no room after it: copied
  ASSERT_EQ(expected.size(), 3u);

  const std::string blanks(300, ' ');
  struct Case {
    const char* what;
    std::size_t keep;   // bytes of the page that are the body
    std::string after;  // left in the buffer past the body's end
    bool readable;
  };
  const std::vector<Case> cases = {
      {"whole page, braces after it", page.size(), std::string(300, '}'), true},
      {"whole page, blanks after it", page.size(), blanks, true},
      {"cut in half, its own rest after it", page.size() / 2, page.substr(page.size() / 2) + blanks,
       false},
      {"cut before the closing brace, the brace after it", lastBrace,
       page.substr(lastBrace) + blanks, false},
  };
  for (const auto& c : cases) {
    std::string body = page.substr(0, c.keep) + c.after;
    body.resize(c.keep);  // shrinking keeps the buffer, and the text after the end in it
    ASSERT_GE(body.capacity() - body.size(), 64u) << c.what;
    std::vector<RouteTable> out;
    if (c.readable) {
      parser.parseRouteTablePage(body, out);
      EXPECT_EQ(out, expected) << c.what;
    } else {
      EXPECT_THROW(parser.parseRouteTablePage(body, out), MalformedResponseError) << c.what;
      EXPECT_TRUE(out.empty()) << c.what;
    }
  }
}

}  // namespace
}  // namespace collab::azure
