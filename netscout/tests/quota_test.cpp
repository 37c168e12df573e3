// vCPU quota checks against a loopback subscription: the CPU family of a size, the check of
// one region line by line, and the walk over the regions of the configured VNets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collab/azure/arm_error.hpp"
#include "netscout/net_scout.hpp"
#include "support/subscription_server.hpp"

namespace netscout {
namespace {

using collab::Json;
// The loopback subscription, its JSON builders and the captured log lines.
using namespace kx::test;

TEST(CpuFamily, FirstMatchingPatternAnywhereInTheNameLetterCaseCounting) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"Standard_D4s_v3", "standardDSv3Family"},
      {"Standard_DS2_v2", "standardDSv2Family"},
      {"Standard_D3_v2", "standardDv2Family"},
      {"Standard_D8_v3", "standardDv3Family"},
      {"Standard_B2ms", "standardBSFamily"},
      {"Standard_B1s", "standardBSFamily"},
      {"Standard_F16s_v2", "standardFSFamily"},
      {"Standard_A4", "standardA0_A7Family"},
      {"Standard_D4_v4", "standardDFamily"},            // only the catch-all D row matches
      {"Standard_DS2_v2_Promo", "standardDSv2Family"},  // not anchored at the end
      {"Basic_Standard_B2ms", "standardBSFamily"},      // nor at the start
      {"Standard_E4s_v3", std::nullopt},
      {"Standard_A8", std::nullopt},
      {"standard_d4s_v3", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [size, family] : cases) EXPECT_EQ(NetScout::getCpuFamily(size), family) << size;
}

class QuotaTest : public ::testing::Test {
 protected:
  Json vnet(const std::string& name, const std::string& location) {
    return vnetJson(azure_.subscription(), "rg-" + location, name, location, {"10.0.0.0/16"});
  }
  static Json sizes() {
    return Json::array({{{"name", "Standard_A2_v2"}, {"numberOfCores", 2}},
                        {{"name", "Standard_D4s_v3"}, {"numberOfCores", 4}}});
  }
  static Json ampleQuota() {
    return Json::array(
        {serviceLimitJson("cores", 100, 0), serviceLimitJson("standardDSv3Family", 100, 0)});
  }

  SubscriptionServer azure_;
};

TEST_F(QuotaTest, OneRegionIsCheckedAgainstItsTotalAndFamilyQuota) {
  struct Case {
    const char* name;
    Json limits;
    std::string size;
    std::vector<LevelLine> afterRequirement;  // the lines after the region's first two
  };
  const std::string size = "Standard_D4s_v3";
  const auto familyLines = [&](int limit, int used) {
    return std::vector<LevelLine>{{kInfo, "  Instance vCPUs quota:"},
                                  {kInfo, "    instance: " + size},
                                  {kInfo, "    limit   : " + std::to_string(limit)},
                                  {kInfo, "    in use  : " + std::to_string(used)}};
  };
  const auto totalLines = [](int limit, int used) {
    return std::vector<LevelLine>{{kInfo, "  Total vCPUs quota:"},
                                  {kInfo, "    limit : " + std::to_string(limit)},
                                  {kInfo, "    in use: " + std::to_string(used)}};
  };
  const auto join = [](std::vector<LevelLine> a, const std::vector<LevelLine>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<Case> cases = {
      {"regional total short by six",
       Json::array(
           {serviceLimitJson("cores", 100, 90), serviceLimitJson("standardDSv3Family", 100, 0)}),
       size,
       join(join(totalLines(100, 90),
                 {{kInfo, "  **Alert** Required 16 vCPUs in westus, only 10 left"}}),
            familyLines(100, 0))},
      {"exactly enough passes both",
       Json::array(
           {serviceLimitJson("standardDSv3Family", 20, 4), serviceLimitJson("cores", 100, 84)}),
       size, join(totalLines(100, 84), familyLines(20, 4))},
      {"family short by one is an error",
       Json::array({serviceLimitJson("cores", "350", "17"),
                    serviceLimitJson("standardDSv3Family", "20", "5")}),
       size,
       join(join(totalLines(350, 17), familyLines(20, 5)),
            {{kError, "  **Error** Required 16 vCPUs for Standard_D4s_v3, only 15 left"}})},
      {"size of no known family",
       ampleQuota(),
       "Standard_E4s_v3",
       {{kInfo, "  **Alert** failed to discover vCPU familty for Standard_E4s_v3"}}},
      {"family missing from the listing",
       Json::array(
           {serviceLimitJson("cores", 100, 0), serviceLimitJson("availabilitySets", 2500, 0)}),
       size,
       {{kInfo, "  **Alert** failed to discover quota limit for standardDSv3Family"}}},
      {"regional total missing from the listing",
       Json::array({serviceLimitJson("standardDSv3Family", 10, 0)}), size,
       join({{kInfo, "  **Alert** failed to discover total vCPUs quota in westus"}},
            join(familyLines(10, 0),
                 {{kError, "  **Error** Required 16 vCPUs for Standard_D4s_v3, only 10 left"}}))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    azure_.quotas["westus"] = c.limits;
    azure_.clearRequests();
    CapturedLog log("netscout");
    NetScout::discoverCpuQuota(azure_.credential(), "westus", c.size, 4, 4);
    std::vector<LevelLine> expected = {
        {kInfo, "- Discover vCPUs limit in westus"},
        {kInfo, "  2 Vnet(s) to be migrated in westus, needing 16 vCPUs."}};
    expected.insert(expected.end(), c.afterRequirement.begin(), c.afterRequirement.end());
    EXPECT_EQ(levelLines(log), expected);
    // The listing is asked for once, before the family is known.
    EXPECT_EQ(azure_.paths("/serviceLimits").size(), 1u);
  }
}

TEST_F(QuotaTest, RegionsOfTheConfiguredVnetsWithOneSizeLookupPerCall) {
  struct Case {
    const char* name;
    Json vnets;
    Json sizesAtLookup;  // sizes offered at "southindia", the last VNet's location
    std::vector<LevelLine> expected;
    std::vector<std::string> quotaRegions;
    std::size_t sizeLookups;
  };
  const Json spread =
      Json::array({vnet("c-1", "centralus"), vnet("a-1", "westus"), vnet("b-1", "eastus"),
                   vnet("a-2", "westus"), vnet("d-1", "northeurope"), vnet("z-1", "southindia")});
  const auto checked = [](const std::string& region, int vnets, int vcpus) {
    return std::vector<LevelLine>{
        {kInfo, "- Discover vCPUs limit in " + region},
        {kInfo, "  " + std::to_string(vnets) + " Vnet(s) to be migrated in " + region +
                    ", needing " + std::to_string(vcpus) + " vCPUs."},
        {kInfo, "  Total vCPUs quota:"},
        {kInfo, "    limit : 100"},
        {kInfo, "    in use: 0"},
        {kInfo, "  Instance vCPUs quota:"},
        {kInfo, "    instance: Standard_D4s_v3"},
        {kInfo, "    limit   : 100"},
        {kInfo, "    in use  : 0"}};
  };
  const auto notOffered = [](const std::string& region) {
    return std::vector<LevelLine>{
        {kInfo, "- Discover vCPUs limit in " + region},
        {kWarn, "  **Alert** vCPU count of Standard_D4s_v3 not found in southindia"}};
  };
  std::vector<LevelLine> threeRegions;
  for (const auto& lines :
       {checked("westus", 2, 16), checked("eastus", 1, 8), checked("northeurope", 1, 8)})
    threeRegions.insert(threeRegions.end(), lines.begin(), lines.end());
  std::vector<LevelLine> threeNotOffered;
  for (const auto& lines : {notOffered("westus"), notOffered("eastus"), notOffered("northeurope")})
    threeNotOffered.insert(threeNotOffered.end(), lines.begin(), lines.end());
  const std::vector<std::string> three = {"westus", "eastus", "northeurope"};

  const std::vector<Case> cases = {
      {"three regions in first-seen order", spread, sizes(), threeRegions, three, 1},
      {"size not offered where it is looked up",
       spread,
       Json::array({{{"name", "Standard_A2_v2"}, {"numberOfCores", 2}}}),
       threeNotOffered,
       {},
       1},
      {"no configured VNet: the lookup still happens once",
       Json::array({vnet("z-1", "southindia")}),
       sizes(),
       {},
       {},
       1},
      {"no VNet at all: nothing to look up", Json::array(), sizes(), {}, {}, 0},
  };
  for (const auto& region : {"westus", "eastus", "northeurope", "centralus", "southindia"})
    azure_.quotas[region] = ampleQuota();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    azure_.vnets = c.vnets;
    azure_.vmSizes["southindia"] = c.sizesAtLookup;
    azure_.clearRequests();
    auto client = azure_.networkClient();
    CapturedLog log("netscout");
    NetScout::discoverCpuQuotaInRegion(client, {"a-1", "a-2", "b-1", "d-1", "gone"},
                                       azure_.credential(), "Standard_D4s_v3");
    EXPECT_EQ(levelLines(log), c.expected);
    std::vector<std::string> quotaRegions;
    for (const auto& path : azure_.paths("/serviceLimits"))
      quotaRegions.push_back(NetScout::idComponent(path, -2));
    EXPECT_EQ(quotaRegions, c.quotaRegions);
    const auto lookups = azure_.paths("/vmSizes");
    EXPECT_EQ(lookups.size(), c.sizeLookups);
    for (const auto& path : lookups) EXPECT_EQ(NetScout::idComponent(path, -2), "southindia");
  }
}

TEST_F(QuotaTest, VCpusOfASizeAsOfferedInTheLocation) {
  azure_.vmSizes["westus"] = sizes();
  const auto cred = azure_.credential();
  EXPECT_EQ(NetScout::getVCpuForISize(cred, "westus", "Standard_D4s_v3"), 4);
  EXPECT_EQ(NetScout::getVCpuForISize(cred, "westus", "Standard_A2_v2"), 2);
  EXPECT_EQ(NetScout::getVCpuForISize(cred, "westus", "standard_d4s_v3"), -1);
  EXPECT_THROW(NetScout::getVCpuForISize(cred, "mars", "Standard_D4s_v3"), collab::azure::ArmError);
  EXPECT_THAT(azure_.paths("/vmSizes"), ::testing::SizeIs(4));
}

}  // namespace
}  // namespace netscout
