// kx-discover against what a faulty or hostile endpoint or replay file may send: VNet names
// that are no safe text, resources without the members Azure's API reference makes optional,
// ids in another letter case, a listing whose next links never end, and cassettes that are no
// usable recording.  Each is confined to the resource it concerns, or refused with a clear word;
// the rest of the run completes.
#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

const std::string kProdGroup = "/subscriptions/" + kProd + "/resourceGroups/rg-spokes";
const std::string kNet = "/providers/Microsoft.Network/";

Json vnet(const std::string& name, const std::string& group, const std::string& prefix,
          Json subnets) {
  return Json{{"name", name},
              {"id", group + kNet + "virtualNetworks/" + name},
              {"type", "Microsoft.Network/virtualNetworks"},
              {"location", "eastus"},
              {"properties",
               {{"addressSpace", {{"addressPrefixes", {prefix}}}},
                {"subnets", std::move(subnets)},
                {"virtualNetworkPeerings", Json::array()}}}};
}

Json subnet(const std::string& vnetId, const std::string& name, const std::string& prefix,
            const std::optional<std::string>& table = std::nullopt) {
  Json properties{{"addressPrefix", prefix}, {"delegations", Json::array()}};
  if (table) properties["routeTable"] = {{"id", *table}};
  return Json{{"name", name}, {"id", vnetId + "/subnets/" + name}, {"properties", properties}};
}

const Json* vnetNamed(const Json& report, const std::string& name) {
  for (const Json& sub : report["subscriptions"]) {
    for (const Json& v : sub["vnets"]) {
      if (v["name"] == name) return &v;
    }
  }
  return nullptr;
}

bool logHas(const std::vector<std::string>& log, const std::string& text) {
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

TEST_F(DiscoverTest, HostileNamesAndIncompleteResourcesStayWithTheirOwnVnet) {
  Json estate = fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json");
  Json& prod = estate["subscriptions"][0];
  // Azure's list APIs spell the group segment as they like; this VNet comes lower-cased.
  const std::string quotedGroup = "/subscriptions/" + kProd + "/resourcegroups/rg-spokes";
  const std::string quotedId = quotedGroup + kNet + "virtualNetworks/it's";
  const std::string partialTable = kProdGroup + kNet + "routeTables/rt-partial";
  prod["virtualNetworks"].push_back(vnet("it's", quotedGroup, "10.7.0.0/16",
                                         {subnet(quotedId, "GatewaySubnet", "10.7.255.0/27"),
                                          subnet(quotedId, "web", "10.7.1.0/24", partialTable)}));
  prod["virtualNetworks"].push_back(vnet("..", kProdGroup, "10.8.0.0/16", Json::array()));
  // Its gateway is found only if the quote reaches Resource Graph as data.
  prod["virtualNetworkGateways"].push_back(
      {{"name", "quoted-gw"},
       {"id", kProdGroup + kNet + "virtualNetworkGateways/quoted-gw"},
       {"type", "Microsoft.Network/virtualNetworkGateways"},
       {"location", "eastus"},
       {"properties",
        {{"gatewayType", "Vpn"},
         {"ipConfigurations",
          {{{"name", "default"},
            {"id", kProdGroup + kNet + "virtualNetworkGateways/quoted-gw/ipConfigurations/default"},
            {"properties", {{"subnet", {{"id", quotedId + "/subnets/GatewaySubnet"}}}}}}}}}}});
  // A gateway still being provisioned: no type, and one of its ip configurations without a
  // subnet.  Listed after the quoted VNet's own, it is the one VNet discovery reports there.
  const std::string newGw = kProdGroup + kNet + "virtualNetworkGateways/new-gw";
  prod["virtualNetworkGateways"].push_back(
      {{"name", "new-gw"},
       {"id", newGw},
       {"type", "Microsoft.Network/virtualNetworkGateways"},
       {"properties",
        {{"ipConfigurations",
          {{{"name", "a"}, {"id", newGw + "/ipConfigurations/a"}, {"properties", Json::object()}},
           {{"name", "b"},
            {"id", newGw + "/ipConfigurations/b"},
            {"properties", {{"subnet", {{"id", quotedId + "/subnets/GatewaySubnet"}}}}}}}}}}});
  // A table of the quoted VNet whose routes lack what Azure may leave out, and a table
  // without a location used by no configured VNet.
  prod["routeTables"].push_back(
      {{"name", "rt-partial"},
       {"id", partialTable},
       {"type", "Microsoft.Network/routeTables"},
       {"location", "eastus"},
       {"properties",
        {{"routes",
          {{{"name", "no-prefix"}, {"properties", {{"nextHopType", "Internet"}}}},
           {{"properties", {{"addressPrefix", "10.70.0.0/16"}, {"nextHopType", "VnetLocal"}}}}}},
         {"subnets", {{{"id", quotedId + "/subnets/web"}}}}}}});
  prod["routeTables"].push_back({{"name", "rt-adrift"},
                                 {"id", kProdGroup + kNet + "routeTables/rt-adrift"},
                                 {"type", "Microsoft.Network/routeTables"},
                                 {"properties", Json::object()}});
  server_.emplace(estate);

  std::string config = readFile(path("discovery.yaml"));
  const std::string anchor = "      spoke-b:\n";
  config.insert(config.find(anchor) + anchor.size(), "      \"it's\":\n      \"..\":\n");
  std::ofstream(path("discovery.yaml")) << config;

  const ProgramResult r = run({"--json", "report.json", "discovery.yaml"});
  EXPECT_EQ(r.status, 3) << r.err;  // ".." alone failed
  EXPECT_NE(r.err.find("VNet ..: "), std::string::npos) << r.err;

  EXPECT_EQ(reportProblems(path("report.json")), "");
  const Json rep = report();
  for (const char* name : {"hub-vnet", "spoke-a", "spoke-b", "it's", "dev-vnet"}) {
    SCOPED_TRACE(name);
    const Json* v = vnetNamed(rep, name);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ((*v)["status"], "completed") << (*v)["failure"];
  }
  ASSERT_NE(vnetNamed(rep, ".."), nullptr);
  EXPECT_EQ((*vnetNamed(rep, ".."))["status"], "failed");
  EXPECT_EQ(rep["outputs"]["terraform"].size(), 5u);

  const Json& quoted = *vnetNamed(rep, "it's");
  EXPECT_EQ(quoted["id"], quotedId);  // as Azure wrote it
  EXPECT_EQ(quoted["gateways"]["vng"]["name"], "new-gw");
  EXPECT_EQ(quoted["gateways"]["vng"]["type"], nullptr);
  // A name is data in a file name and in HCL as well.
  const Json hcl = parseTerraform(path("out/terraform/prod/it's.tfvars"));
  EXPECT_TRUE(hcl["route_tables"].contains("corvanta-rt-partial")) << hcl.dump();
  ASSERT_EQ(quoted["route_tables"].size(), 1u);
  std::vector<std::string> prefixes;
  for (const auto& [key, route] : quoted["route_tables"][0]["definition"]["routes"].items())
    prefixes.push_back(route["address_prefix"]);
  EXPECT_NE(std::find(prefixes.begin(), prefixes.end(), "10.70.0.0/16"), prefixes.end());
  ASSERT_EQ(quoted["errors"].size(), 1u);
  EXPECT_EQ(quoted["errors"][0]["text"],
            "**Error** route table rt-partial route no-prefix has no addressPrefix -- skipped");

  const auto log = logLines(path("out/log/kx.log"));
  EXPECT_TRUE(logHas(log, "[info] - vnet it's has VNG - Vpn"));
  EXPECT_TRUE(logHas(log, "[info]   new-gw None (rg-spokes)"));
  EXPECT_FALSE(logHas(log, "rt-adrift"));  // no location: in no region checked
  const auto alerts = logLines(path("out/log/kx.alert.log"));
  EXPECT_TRUE(logHas(alerts, "**Alert** VNet .. (rg-spokes): name gives no derived gateway name"));
}

TEST_F(DiscoverTest, NextLinksWithoutEndAndAFailedQuotaCheckAreReportedAndTheRestCompletes) {
  serve();
  fakearm::Fault endless;
  endless.operation = "virtualNetworks.listAll";
  endless.pathPattern = kDev;
  endless.times = 0;
  endless.action = fakearm::Fault::Action::EndlessPages;
  server_->addFault(endless);
  fakearm::Fault noQuota;  // and prod's quota check fails at its (only) region
  noQuota.operation = "serviceLimits.list";
  noQuota.status = 403;
  noQuota.code = "AuthorizationFailed";
  server_->addFault(noQuota);

  const ProgramResult r = run({"--json", "report.json", "discovery.yaml"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("subscription " + kDev + ": list_vnet failed: ARM GET /subscriptions/" +
                       kDev + "/providers/Microsoft.Network/virtualNetworks?"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("TooManyPages: the listing still had a next link after 5000 pages"),
            std::string::npos)
      << r.err;
  std::size_t devListings = 0;
  for (const auto& request : server_->requestLog())
    devListings += request.target.find(kDev) != std::string::npos &&
                   request.operation == "virtualNetworks.listAll";
  EXPECT_EQ(devListings, 5000u);  // not one page more
  const Json rep = report();
  const Json& prod = rep["subscriptions"][0];
  EXPECT_EQ(prod["status"], "completed");
  EXPECT_EQ(rep["subscriptions"][1]["status"], "failed");
  // The region the failed quota check did not reach is named, not lost.
  EXPECT_EQ(prod["quota_unchecked_regions"], Json::array({"eastus"}));
  EXPECT_EQ(prod["failures"][0]["step"], "vCPU quota");
  EXPECT_NE(prod["alerts"].dump().find("**Alert** vCPU quota not checked in eastus: the quota "
                                       "check ended at a failure"),
            std::string::npos)
      << prod["alerts"];
  EXPECT_EQ(reportProblems(path("report.json")), "");
}

TEST_F(DiscoverTest, CassettesThatAreNoUsableRecordingAreRefused) {
  const std::string exchange =
      R"({"request": {"method": "GET", "path": "/never-asked"}, "response": {"status": 200, "json": )";
  const struct {
    const char* what;
    std::string cassette;
    const char* says;
  } cases[] = {
      {"nested 65,000 deep",
       R"({"format": "kx-arm-cassette", "version": 1, "exchanges": [)" + exchange +
           std::string(65000, '[') + std::string(65000, ']') + "}}]}",
       "nests deeper than 256 levels"},
      {"a later version", R"({"format": "kx-arm-cassette", "version": 99, "exchanges": []})",
       "version 99, this program replays version 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(path("bad.cassette.json")) << c.cassette;
    const ProgramResult r = run({"--replay", "bad.cassette.json", "discovery.yaml"}, {});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("is not a usable cassette"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace kxdiscover::test
