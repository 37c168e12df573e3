// The estate generator: deterministic, self-consistent, every unusual shape present, and a
// configuration the project's loader accepts.
#include "fakearm/estate_generator.hpp"

#include <gmock/gmock.h>

#include <fstream>
#include <set>

#include "collab/config.hpp"
#include "support/test_certificate.hpp"

namespace fakearm {
namespace {

EstateParams mixedEstate() {
  EstateParams params;
  params.seed = 5;
  params.subscriptions = 3;
  params.principals = 3;
  params.vnets = 30;
  params.configuredVnets = 9;
  params.routeTables = 120;
  params.routesPerTable = 5;
  params.interesting = 0.6;
  params.migratedVnets = 2;
  return params;
}

TEST(EstateGenerator, SameSeedGivesTheSameBytes) {
  const EstateParams params = mixedEstate();
  const GeneratedEstate first = generateEstate(params);
  const GeneratedEstate again = generateEstate(params);
  EXPECT_EQ(first.estate.dump(), again.estate.dump());
  EXPECT_EQ(first.config, again.config);
  EXPECT_EQ(first.secrets, again.secrets);
  EstateParams other = params;
  other.seed = params.seed + 1;
  EXPECT_NE(generateEstate(other).estate.dump(), first.estate.dump());
}

TEST(EstateGenerator, ConfigurationLoadsAndNamesTheConfiguredVnets) {
  const GeneratedEstate generated = generateEstate(mixedEstate());
  kx::test::TempDir dir;
  std::ofstream(dir.file("discovery.yaml")) << generated.config;
  const collab::ConfigDocument config = collab::load_from_yaml(dir.file("discovery.yaml"));
  EXPECT_EQ(config.getLabel(), "discovery");
  EXPECT_TRUE(config.warnings().empty()) << config.warnings().front().message;

  const Json& accounts = config["account_info"];
  const Json& subscriptions = generated.estate["subscriptions"];
  ASSERT_EQ(accounts.size(), subscriptions.size());
  std::size_t configured = 0;
  for (std::size_t s = 0; s < subscriptions.size(); ++s) {
    EXPECT_EQ(accounts[s]["subscription_id"], subscriptions[s]["subscriptionId"]);
    std::vector<std::string> expected, named;
    for (const auto& vnet : subscriptions[s]["virtualNetworks"]) {
      if (vnet.contains("tags")) expected.push_back(vnet["name"]);
    }
    for (const auto& [name, options] : accounts[s]["vnets"].items()) named.push_back(name);
    EXPECT_EQ(named, expected);
    configured += named.size();
  }
  EXPECT_EQ(configured, 9u);

  const Json& principals = generated.estate["tenants"][0]["principals"];
  const Json& creds = config["azure_cred"];
  ASSERT_EQ(creds.size(), principals.size());
  std::size_t p = 0;
  for (const auto& [name, entry] : creds.items()) {
    EXPECT_EQ(entry["arm_application_id"], principals[p]["appId"]);
    EXPECT_EQ(generated.secrets.at(entry["arm_application_secret_env"]), principals[p]["secret"]);
    EXPECT_EQ(entry["arm_directory_id"], generated.estate["tenants"][0]["tenantId"]);
    ++p;
  }
}

TEST(EstateGenerator, AssociationsHoldBothWaysAndEveryShapeOccurs) {
  const EstateParams params = mixedEstate();
  const Json estate = generateEstate(params).estate;
  EXPECT_NO_THROW(validateEstate(estate));

  std::map<std::string, std::string> subnetTable;  // subnet id -> its routeTable id
  std::map<std::string, std::string> subnetVnet;   // subnet id -> VNet id
  std::map<std::string, std::string> vnetRegion;
  int vnets = 0, tables = 0;
  for (const auto& sub : estate["subscriptions"]) {
    for (const auto& vnet : sub["virtualNetworks"]) {
      ++vnets;
      vnetRegion[vnet["id"]] = vnet["location"];
      for (const auto& subnet : vnet["properties"]["subnets"]) {
        subnetVnet[subnet["id"]] = vnet["id"];
        if (subnet["properties"].contains("routeTable")) {
          subnetTable[subnet["id"]] = subnet["properties"]["routeTable"]["id"];
        }
      }
    }
  }
  std::set<std::string> shapes;
  std::size_t bound = 0;
  for (const auto& sub : estate["subscriptions"]) {
    for (const auto& table : sub["routeTables"]) {
      ++tables;
      const std::string name = table["name"];
      const Json& properties = table["properties"];
      const Json& routes = properties["routes"];
      EXPECT_TRUE(routes.empty() || routes.size() == 5u) << name;
      if (routes.empty()) shapes.insert("empty");
      for (const auto& route : routes) {
        const std::string prefix = route["properties"]["addressPrefix"];
        if (prefix.find(':') != std::string::npos) shapes.insert("ipv6");
        if (prefix == "0.0.0.0/0") shapes.insert("default route");
        if (std::isalpha(static_cast<unsigned char>(prefix[0]))) shapes.insert("service tag");
        EXPECT_EQ(route["properties"].contains("nextHopIpAddress"),
                  route["properties"]["nextHopType"] == "VirtualAppliance");
      }
      if (name.rfind("corvanta-", 0) == 0 || name.rfind("org_", 0) == 0) shapes.insert("copy");
      if (name.find("-corvanta-default") != std::string::npos) shapes.insert("default table");
      if (!properties.contains("subnets")) {
        shapes.insert("unassociated");
        continue;
      }
      std::set<std::string> vnetsOfTable;
      for (const auto& ref : properties["subnets"]) {
        const std::string subnet = ref["id"];
        ++bound;
        ASSERT_TRUE(subnetVnet.count(subnet)) << name << " names a missing subnet " << subnet;
        EXPECT_EQ(subnetTable[subnet], table["id"]) << subnet;
        EXPECT_EQ(vnetRegion[subnetVnet[subnet]], table["location"]) << name;
        vnetsOfTable.insert(subnetVnet[subnet]);
        if (subnet.find("/subnets/AzureFirewallSubnet") != std::string::npos) {
          shapes.insert("reserved");
        }
      }
      if (vnetsOfTable.size() > 1) shapes.insert("two VNets");
      if (vnetsOfTable.size() == 1 && properties["subnets"].size() == 2) shapes.insert("shared");
    }
  }
  EXPECT_EQ(vnets, params.vnets);
  EXPECT_EQ(tables, params.routeTables);
  EXPECT_EQ(bound, subnetTable.size()) << "a subnet points to a table that does not list it";
  EXPECT_EQ(shapes, (std::set<std::string>{"copy", "default route", "default table", "empty",
                                           "ipv6", "reserved", "service tag", "shared", "two VNets",
                                           "unassociated"}));
}

TEST(EstateGenerator, RefusesParametersItCannotLayOut) {
  struct Case {
    const char* what;
    void (*change)(EstateParams&);
  };
  const Case cases[] = {
      {"negative count", [](EstateParams& p) { p.routeTables = -1; }},
      {"more configured VNets than VNets", [](EstateParams& p) { p.configuredVnets = 13; }},
      {"more gateways than VNets", [](EstateParams& p) { p.vpnGateways = 12; }},
      {"no region", [](EstateParams& p) { p.regions.clear(); }},
      {"too many subnets", [](EstateParams& p) { p.subnetsPerVnet = 13; }},
      {"share above one", [](EstateParams& p) { p.interesting = 1.5; }},
      {"migrated beyond configured", [](EstateParams& p) { p.migratedVnets = 5; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EstateParams params;
    c.change(params);
    EXPECT_THROW(generateEstate(params), std::invalid_argument);
  }
}

}  // namespace
}  // namespace fakearm
