// vCPU quota checks against a loopback subscription: the CPU family of a size, the check of
// one region line by line, and the walk over the regions of the configured VNets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collab/errors.hpp"
#include "fake_azure.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {
namespace {

using namespace netscout::testing;
using kx::test::CapturedLog;
using Lines = std::vector<std::pair<Level, std::string>>;
constexpr Level kInfo = spdlog::level::info, kWarn = spdlog::level::warn;

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

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

const std::string kSize = "Standard_D4s_v3";

Lines totalLines(int limit, int used) {
  return {{kInfo, "  Total vCPUs quota:"},
          {kInfo, "    limit : " + std::to_string(limit)},
          {kInfo, "    in use: " + std::to_string(used)}};
}
Lines familyLines(int limit, int used) {
  return {{kInfo, "  Instance vCPUs quota:"},
          {kInfo, "    instance: " + kSize},
          {kInfo, "    limit   : " + std::to_string(limit)},
          {kInfo, "    in use  : " + std::to_string(used)}};
}
Lines regionLines(const std::string& region, int vnets, int vcpus) {
  return {{kInfo, "- Discover vCPUs limit in " + region},
          {kInfo, "  " + std::to_string(vnets) + " Vnet(s) to be migrated in " + region +
                      ", needing " + std::to_string(vcpus) + " vCPUs."}};
}
Json quotaOf(int total, int totalUsed, int family, int familyUsed) {
  return Json::array({serviceLimitJson("cores", total, totalUsed),
                      serviceLimitJson("standardDSv3Family", family, familyUsed)});
}

TEST(Quota, OneRegionIsCheckedAgainstItsTotalAndFamilyQuota) {
  struct Case {
    const char* name;
    Json limits;
    std::string size;
    Lines afterRequirement;  // the lines after the region's first two
  };
  const std::vector<Case> cases = {
      {"regional total short", quotaOf(100, 90, 100, 0), kSize,
       totalLines(100, 90) +
           Lines{{kInfo, "  **Alert** Required 16 vCPUs in westus, only 10 left"}} +
           familyLines(100, 0)},
      {"exactly enough passes both", quotaOf(100, 84, 20, 4), kSize,
       totalLines(100, 84) + familyLines(20, 4)},
      {"family short is an error; numbers as texts",
       Json::array({serviceLimitJson("cores", "350", "17"),
                    serviceLimitJson("standardDSv3Family", "20", "5")}),
       kSize,
       totalLines(350, 17) + familyLines(20, 5) +
           Lines{{spdlog::level::err,
                  "  **Error** Required 16 vCPUs for Standard_D4s_v3, only 15 left"}}},
      {"size of no known family",
       quotaOf(100, 0, 100, 0),
       "Standard_E4s_v3",
       {{kInfo, "  **Alert** failed to discover vCPU familty for Standard_E4s_v3"}}},
      {"family missing from the listing",
       Json::array({serviceLimitJson("cores", 100, 0)}),
       kSize,
       {{kInfo, "  **Alert** failed to discover quota limit for standardDSv3Family"}}},
      {"limits the check does not read may lack their figures; names match in any case",
       Json::array({serviceLimitJson("Cores", 100, 90),
                    {{"name", "standardFSFamily"}, {"properties", Json::object()}},
                    {{"properties", {{"limit", 5}}}},
                    serviceLimitJson("StandardDSv3Family", 100, 0)}),
       kSize,
       totalLines(100, 90) +
           Lines{{kInfo, "  **Alert** Required 16 vCPUs in westus, only 10 left"}} +
           familyLines(100, 0)},
      {"regional total missing from the listing",
       Json::array({serviceLimitJson("standardDSv3Family", 100, 0)}), kSize,
       Lines{{kInfo, "  **Alert** failed to discover total vCPUs quota in westus"}} +
           familyLines(100, 0)},
  };
  FakeAzure azure;
  azure.start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    azure.quotas["westus"] = c.limits;
    azure.clearRequests();
    CapturedLog log("netscout");
    NetScout::discoverCpuQuota(azure.credential(), "westus", c.size, 4, 4);
    EXPECT_EQ(linesOf(log), regionLines("westus", 2, 16) + c.afterRequirement);
    // The listing is asked for once, before the family is known.
    EXPECT_EQ(azure.pathsTo("/serviceLimits").size(), 1u);
  }
}

TEST(Quota, RegionsOfTheConfiguredVnetsWithOneSizeLookupPerCall) {
  struct Case {
    const char* name;
    Json vnets;
    Json sizesAtLookup;  // offered at "southindia", the listing's last VNet's location
    Lines expected;
    std::vector<std::string> quotaRegions;
    std::size_t sizeLookups;
  };
  const auto vnet = [](const std::string& name, const std::string& location) {
    return vnetJson("rg-" + location, name, location, "10.0.0.0/16");
  };
  const Json spread =
      Json::array({vnet("c-1", "centralus"), vnet("a-1", "westus"), vnet("b-1", "eastus"),
                   vnet("a-2", "westus"), vnet("d-1", "northeurope"), vnet("z-1", "southindia")});
  const Json sizes = Json::array({{{"name", "Standard_A2_v2"}, {"numberOfCores", 2}},
                                  {{"name", kSize}, {"numberOfCores", 4}}});
  const auto checked = [](const std::string& region, int vnets) {
    return regionLines(region, vnets, 8 * vnets) + totalLines(100, 0) + familyLines(100, 0);
  };
  const auto notOffered = [](const std::string& region) {
    return Lines{{kInfo, "- Discover vCPUs limit in " + region},
                 {kWarn, "  **Alert** vCPU count of Standard_D4s_v3 not found in southindia"}};
  };
  const std::vector<Case> cases = {
      {"three regions in first-seen order",
       spread,
       sizes,
       checked("westus", 2) + checked("eastus", 1) + checked("northeurope", 1),
       {"westus", "eastus", "northeurope"},
       1},
      {"size not offered where it is looked up",
       spread,
       Json::array({sizes[0]}),
       notOffered("westus") + notOffered("eastus") + notOffered("northeurope"),
       {},
       1},
      {"size spelled in another letter case is the same size",
       spread,
       Json::array({{{"name", "standard_d4S_V3"}, {"numberOfCores", 4}}}),
       checked("westus", 2) + checked("eastus", 1) + checked("northeurope", 1),
       {"westus", "eastus", "northeurope"},
       1},
      {"size offered without its vCPUs cannot be counted",
       spread,
       Json::array({sizes[0], {{"name", kSize}}}),
       Lines{{spdlog::level::err,
              "  **Error** VM size Standard_D4s_v3 in southindia has no numberOfCores"}} +
           notOffered("westus") + notOffered("eastus") + notOffered("northeurope"),
       {},
       1},
      {"no configured VNet: still one lookup",
       Json::array({vnet("z-1", "southindia")}),
       sizes,
       {},
       {},
       1},
      {"no VNet at all: nothing to look up", Json::array(), sizes, {}, {}, 0},
  };
  FakeAzure azure;
  azure.start();
  for (const auto& region : {"westus", "eastus", "northeurope", "centralus", "southindia"})
    azure.quotas[region] = quotaOf(100, 0, 100, 0);
  az::NetworkManagementClient client(azure.credential().getCSC(), kSub);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    azure.vnets = c.vnets;
    azure.vmSizes["southindia"] = c.sizesAtLookup;
    azure.clearRequests();
    CapturedLog log("netscout");
    NetScout::discoverCpuQuotaInRegion(client, {"a-1", "a-2", "b-1", "d-1", "gone"},
                                       azure.credential(), kSize);
    EXPECT_EQ(linesOf(log), c.expected);
    std::vector<std::string> quotaRegions;
    for (const auto& path : azure.pathsTo("/serviceLimits"))
      quotaRegions.push_back(NetScout::idComponent(path, -2));
    EXPECT_EQ(quotaRegions, c.quotaRegions);
    EXPECT_EQ(azure.pathsTo("/locations/southindia/vmSizes").size(), c.sizeLookups);
    EXPECT_EQ(azure.pathsTo("/vmSizes").size(), c.sizeLookups);
  }
}

// A failure ends the check, as it always has; the regions it did not reach are handed back so
// that the run can name them.
TEST(Quota, AFailureLeavesTheRegionsNotCheckedNamed) {
  const auto vnet = [](const std::string& name, const std::string& location) {
    return vnetJson("rg-" + location, name, location, "10.0.0.0/16");
  };
  const Json figureless = Json::array(
      {{{"name", "cores"}, {"properties", {{"limit", 100}}}},
       serviceLimitJson("standardDSv3Family", 100, 0)});  // the total lacks currentValue
  struct Case {
    const char* name;
    const char* failing;  // the region whose listing the check cannot read, or none
    std::vector<std::string> unchecked;
  };
  const Case cases[] = {
      {"every region checked", nullptr, {}},
      {"the second region fails", "eastus", {"eastus", "northeurope"}},
      {"the first region fails", "westus", {"westus", "eastus", "northeurope"}},
  };
  FakeAzure azure;
  azure.vnets =
      Json::array({vnet("a-1", "westus"), vnet("b-1", "eastus"), vnet("c-1", "northeurope")});
  azure.vmSizes["northeurope"] = Json::array({{{"name", kSize}, {"numberOfCores", 4}}});
  azure.start();
  az::NetworkManagementClient client(azure.credential().getCSC(), kSub);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& region : {"westus", "eastus", "northeurope"})
      azure.quotas[region] =
          c.failing && c.failing == std::string(region) ? figureless : quotaOf(100, 0, 100, 0);
    std::vector<std::string> unchecked{"left from before"};
    CapturedLog log("netscout");
    if (c.failing) {
      EXPECT_THROW(NetScout::discoverCpuQuotaInRegion(client, {"a-1", "b-1", "c-1"},
                                                      azure.credential(), kSize, &unchecked),
                   collab::MissingKeyError);
    } else {
      NetScout::discoverCpuQuotaInRegion(client, {"a-1", "b-1", "c-1"}, azure.credential(), kSize,
                                         &unchecked);
    }
    EXPECT_EQ(unchecked, c.unchecked);
  }
}

}  // namespace
}  // namespace netscout
