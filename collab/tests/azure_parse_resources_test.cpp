// VM sizes, resource groups, subscriptions, Resource Graph and quota answers.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "collab/azure/arm_parse.hpp"
#include "collab/errors.hpp"

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

TEST(AzureParseResources, VmSizesResourceGroupsAndSubscriptions) {
  ArmPageParser parser;

  std::vector<VirtualMachineSize> sizes;
  EXPECT_FALSE(parser.parseVirtualMachineSizePage(fixture("vm_sizes.json"), sizes));
  EXPECT_EQ(sizes, (std::vector<VirtualMachineSize>{
                       {"Standard_A2_v2", 2}, {"Standard_D4s_v3", 4}, {"Standard_E16-4ds_v5", 4}}));

  std::vector<ResourceGroup> groups;
  auto next = parser.parseResourceGroupPage(fixture("resource_groups.json"), groups);
  EXPECT_EQ(groups,
            (std::vector<ResourceGroup>{
                {"rg-net-prod", kSub + "/resourceGroups/rg-net-prod", "westeurope"},
                {"rg-spoke(01).eu", kSub + "/resourceGroups/rg-spoke(01).eu", "northeurope"}}));
  EXPECT_EQ(next, "https://management.azure.com" + kSub +
                      "/resourcegroups?api-version=2021-04-01&%24skiptoken="
                      "eyJuZXh0UGFydGl0aW9uS2V5IjoiMSJ9");

  std::vector<Subscription> subs;
  EXPECT_FALSE(parser.parseSubscriptionPage(fixture("subscriptions.json"), subs));
  EXPECT_EQ(subs, (std::vector<Subscription>{
                      {"3f2b8c1e-6a4d-4f0e-9b7a-2c5d8e1f0a93", "Prod — Connectivity", "Enabled"},
                      {"9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d", "Shared services", "Warned"}}));
}

TEST(AzureParseResourceGraph, RowsKeepColumnsValuesAndOrder) {
  QueryResponse r = ArmPageParser().parseQueryResponse(fixture("resource_graph.json"));
  EXPECT_EQ(r.total_records, 386);
  EXPECT_EQ(r.count, 2);
  EXPECT_FALSE(r.result_truncated);
  EXPECT_EQ(r.skip_token, "eyAibm8iOiAibWF0dGVyIiB9");
  ASSERT_TRUE(r.data.is_array());
  ASSERT_EQ(r.data.size(), 2u);
  const Json& first = r.data[0];
  EXPECT_EQ(first["properties_gatewayType"], "Vpn");
  EXPECT_EQ(first["name"], "vpngw-hub");
  EXPECT_TRUE(first["asn"].is_number_integer());
  EXPECT_EQ(first["asn"], 65515);
  EXPECT_DOUBLE_EQ(first["weight"].get<double>(), 0.5);
  EXPECT_EQ(first["active"], true);
  EXPECT_EQ(first["zones"], Json::array({"1", "2"}));
  EXPECT_TRUE(first["extra"].is_null());
  std::vector<std::string> columns;
  for (const auto& [k, v] : first.items()) columns.push_back(k);
  EXPECT_EQ(columns, (std::vector<std::string>{"id", "name", "resourceGroup", "subscriptionId",
                                               "properties_gatewayType", "asn", "weight", "active",
                                               "zones", "extra"}));
  // Nested maps keep Azure's member order too.
  EXPECT_EQ(r.data[1]["extra"].dump(), R"({"b":1,"a":2})");
}

TEST(AzureParseResourceGraph, TruncationFlagAndSkipToken) {
  struct Case {
    const char* body;
    bool truncated;
    std::optional<std::string> skip;
  } cases[] = {
      {R"({"totalRecords": 0, "count": 0, "resultTruncated": "true", "data": []})", true,
       std::nullopt},
      {R"({"totalRecords": 5, "count": 5, "resultTruncated": "false", "data": [],
           "$skipToken": ""})",
       false, std::nullopt},
      {R"({"totalRecords": 5, "count": 5, "resultTruncated": true, "data": [], "$skipToken": "t"})",
       true, "t"},
      {R"({"totalRecords": 5, "count": 5, "data": []})", false, std::nullopt},
  };
  ArmPageParser parser;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    QueryResponse r = parser.parseQueryResponse(c.body);
    EXPECT_EQ(r.result_truncated, c.truncated);
    EXPECT_EQ(r.skip_token, c.skip);
  }
}

TEST(AzureParseQuota, ListShapeKeysEntriesByQuotaNameAndReadsNumericText) {
  QuotaResult quota;
  EXPECT_FALSE(ArmPageParser().parseQuotaPage(fixture("quota_list.json"), quota));
  const Json& value = quota.additional_properties.at("value");
  ASSERT_EQ(value.size(), 3u);
  EXPECT_EQ(value[0]["name"], "cores");
  EXPECT_EQ(value[0]["properties"]["limit"], 350);
  EXPECT_EQ(value[0]["properties"]["currentValue"], 17);
  // The second entry repeats the top-level name "cores"; its quota name is the family.
  EXPECT_EQ(value[1]["name"], "standardDSv3Family");
  EXPECT_TRUE(value[1]["properties"]["limit"].is_number_integer());
  EXPECT_EQ(value[1]["properties"]["limit"], 100);
  EXPECT_EQ(value[1]["properties"]["currentValue"], 8);
  EXPECT_EQ(value[1]["properties"]["name"]["localizedValue"], "Standard DSv3 Family vCPUs");
  // Without a quota name object the entry's own name is used.
  EXPECT_EQ(value[2]["name"], "availabilitySets");
  EXPECT_EQ(value[2]["id"], kSub +
                                "/providers/Microsoft.Capacity/resourceProviders/Microsoft.Compute/"
                                "locations/westeurope/serviceLimits/availabilitySets");
}

TEST(AzureParseQuota, SingleItemShapeAndPagesAppend) {
  ArmPageParser parser;
  QuotaResult quota;
  parser.parseQuotaPage(fixture("quota_single.json"), quota);
  auto next = parser.parseQuotaPage(
      R"({"value": [{"name": "cores", "properties": {"limit": 10, "currentValue": 0}}],
          "nextLink": "https://management.azure.com/next"})",
      quota);
  EXPECT_EQ(next, "https://management.azure.com/next");
  const Json& value = quota.additional_properties.at("value");
  ASSERT_EQ(value.size(), 2u);
  EXPECT_EQ(value[0]["name"], "standardFSv2Family");
  EXPECT_EQ(value[0]["properties"]["limit"], 20);
  EXPECT_EQ(value[0]["properties"]["currentValue"], 12);
  EXPECT_EQ(value[1]["name"], "cores");
}

TEST(AzureParseQueryRequest, SerializesOptionsOnlyWhenSet) {
  QueryRequest request;
  request.subscriptions = {"3f2b8c1e-6a4d-4f0e-9b7a-2c5d8e1f0a93"};
  request.query =
      "Resources | where type =~ 'microsoft.network/virtualnetworkgateways' | project id, name, "
      "properties.gatewayType";
  EXPECT_EQ(Json::parse(serializeQueryRequest(request)),
            Json::parse(R"({"subscriptions": ["3f2b8c1e-6a4d-4f0e-9b7a-2c5d8e1f0a93"],
                            "query": "Resources | where type =~ 'microsoft.network/virtualnetworkgateways' | project id, name, properties.gatewayType",
                            "options": {"resultFormat": "objectArray"}})"));

  request.options.top = 1000;
  request.options.skip_token = "eyAibm8i\"==";
  const Json withPaging = Json::parse(serializeQueryRequest(request));
  EXPECT_EQ(withPaging["options"],
            Json::parse(
                R"({"resultFormat": "objectArray", "$top": 1000, "$skipToken": "eyAibm8i\"=="})"));

  request.query = std::string("Resources | where name == '") + char(0xC3) + "'";
  EXPECT_THROW(serializeQueryRequest(request), InvalidValueError);
}

}  // namespace
}  // namespace collab::azure
