// Discovers the first subscription of the demo estate (fakearm/estates/demo.json, configured by
// examples/demo/discovery.yaml) the way the discovery command runs it, over the real client
// layer and a loopback Azure, and compares what an operator gets with reviewed golden files in
// netscout/tests/data/golden/demo/:
//   kx.log, kx.alert.log   the two log files, each line as "[level] message" (the time masked)
//   <vnet>.tf              the HCL document of each VNet's discovered route tables
// Every HCL document is also read back by HashiCorp's parser and must agree with toDict().
//
// After an intended change of the output, regenerate the files and review the diff line by line:
//   KX_UPDATE_GOLDEN=1 build/default/netscout/netscout_tests --gtest_filter='WholeSubscription*'
//   git diff netscout/tests/data/golden
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "basekit/common.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/config.hpp"
#include "collab/log.hpp"
#include "collab/logconf.hpp"
#include "collab/text_form.hpp"
#include "fakearm/estate_server.hpp"
#include "netscout/net_scout.hpp"
#include "support/hcl_parser.hpp"
#include "support/scoped_azure_settings.hpp"

namespace netscout {
namespace {

namespace fs = std::filesystem;
namespace az = collab::azure;
using basekit::Common;
using collab::Json;

const fs::path kSource = KX_SOURCE_DIR;
const fs::path kGolden = kSource / "netscout/tests/data/golden/demo";
// The size the demo's VNets configure as spoke_gw_size.
const std::string kGatewaySize = "Standard_D3_v2";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A log file with each line's time replaced by nothing: "[level] message".  A line without the
// configured prefix is kept whole, so the comparison shows it.
std::string maskedLog(const fs::path& path) {
  static const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\[\w+\] .*)$)");
  std::istringstream in(readFile(path));
  std::string out, line;
  std::smatch m;
  while (std::getline(in, line))
    out += (std::regex_match(line, m, prefix) ? m[1].str() : line) + "\n";
  return out;
}

// The document as the HCL parser should read it back, built from toDict() rather than from the
// HCL text: the two renderings must agree.
Json expectedReadBack(const pathbook::CvtPathbooks& books) {
  Json tables = Json::object();
  books.forEach([&](const pathbook::Pathbook& table) {
    Json dict = table.toDict();
    Json routes = Json::object();
    for (auto& [id, route] : dict["routes"].items()) {
      if (route["next_hop_in_ip_address"].is_null()) route.erase("next_hop_in_ip_address");
      routes[id] = route;
    }
    Json entry = {{"Main", dict["Main"]},
                  {"ctrl_managed", collab::textForm(dict["ctrl_managed"])},
                  {"region", Common::REGION.at(dict["region"].get<std::string>())},
                  {"disable_bgp_propagation", dict["disable_bgp_propagation"]},
                  {"routes", routes},
                  {"tags", dict["tags"]}};
    if (table.subnet_group_use_only) entry["subnet_group_use_only"] = "True";
    tables[*table.getName()] = entry;
  });
  return {{"route_tables", tables}};
}

class WholeSubscription : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRegion_ = Common::REGION;
    savedReserved_ = Common::AZURE_SUBNET;
    savedLogging_ = collab::logconf::get().logging_config;
    for (const char* name : kLoggers) {
      auto logger = collab::getLogger(name);
      savedLoggers_.push_back({logger->sinks(), logger->level()});
    }
    out_ = fs::temp_directory_path() / ("kx-golden-" + std::to_string(::getpid()));
    fs::remove_all(out_);
    if (update_) fs::create_directories(kGolden);
  }
  void TearDown() override {
    for (std::size_t i = 0; i < std::size(kLoggers); ++i) {
      auto logger = collab::getLogger(kLoggers[i]);
      logger->sinks() = savedLoggers_[i].sinks;
      logger->set_level(savedLoggers_[i].level);
    }
    collab::logconf::get().logging_config = savedLogging_;
    Common::REGION = savedRegion_;
    Common::AZURE_SUBNET = savedReserved_;
    fs::remove_all(out_);
  }

  // Writes `actual` as the golden file `name` when regenerating; otherwise compares.
  void checkGolden(const std::string& name, const std::string& actual) {
    produced_.insert(name);
    if (update_) {
      std::ofstream(kGolden / name, std::ios::binary) << actual;
      return;
    }
    ASSERT_TRUE(fs::exists(kGolden / name)) << "no golden file " << name;
    EXPECT_EQ(readFile(kGolden / name), actual) << "golden file " << name;
  }

  static constexpr const char* kLoggers[] = {"basekit", "pathbook", "netscout", "alert"};
  struct SavedLogger {
    std::vector<spdlog::sink_ptr> sinks;
    spdlog::level::level_enum level;
  };
  collab::OrderedMap<std::string> savedRegion_;
  std::vector<std::string> savedReserved_;
  Json savedLogging_;
  std::vector<SavedLogger> savedLoggers_;
  fs::path out_;
  const bool update_ = std::getenv("KX_UPDATE_GOLDEN") != nullptr;
  std::set<std::string> produced_;
};

TEST_F(WholeSubscription, DemoEstateLogsAndTablesMatchTheReviewedFiles) {
  Common::setDataPath((kSource / "data").string());
  Common::loadInputJson();
  const fakearm::Json estate = fakearm::loadEstateFile(kSource / "fakearm/estates/demo.json");
  fakearm::EstateServer server(estate);
  kx::test::ScopedEndpoints endpoints(kx::test::loopbackEndpoints(server.baseUrl()));
  kx::test::ScopedDefaultTransport transport(std::make_shared<az::CurlTransport>());

  // Configuration, subscription map and the two log files, as the command sets them up.
  const std::string configPath = (kSource / "examples/demo/discovery.yaml").string();
  collab::YamlContext::get().set(collab::load_from_yaml(configPath));
  // The demo configuration uses only keys the loader knows.
  EXPECT_TRUE(collab::YamlContext::get().document().warnings().empty());
  Common::expectYamlType(collab::YamlContext::get(), std::string(collab::kDiscoveryConfigKind));
  Json data = Common::convert_yaml_to_json(configPath);
  const Json subscriptionMap = Common::getAzureSubscriptionInfo(data);
  data["log_output"] = out_.string();
  Common::intLogLocationMgmtVnetCidr(data).apply();

  // The first subscription, with the secret its service principal has in the estate (the
  // command reads it from the variable the credential entry names).
  const Json& account = data["account_info"][0];
  const std::string subId = account["subscription_id"];
  const Json record = Common::getSubscription(subscriptionMap, subId, account).value();
  std::string secret;
  for (const auto& principal : estate["tenants"][0]["principals"]) {
    if (principal["appId"] == record["app_id"]) secret = principal["secret"];
  }
  ASSERT_FALSE(secret.empty()) << "the estate has no principal " << record["app_id"];
  const az::AzureCredential cred =
      az::AzureCredential::fromClientSecret(record["dir_id"], record["app_id"], secret, subId);

  Common::logSubscription(subId);
  az::NetworkManagementClient network(cred.getCSC(), cred.getSubId());
  const Json vnetsInYaml = Common::getSubscriptionVnets(account);
  std::set<std::string> configured;
  for (const auto& [name, entry] : vnetsInYaml.items()) configured.insert(name);
  NetScout::list_vnet(network, configured);
  NetScout::discoverCpuQuotaInRegion(network, configured, cred, kGatewaySize);

  const std::vector<az::VirtualNetwork> azureVnets = network.virtual_networks.list_all();
  std::vector<std::string> regions;
  for (const auto& vnet : azureVnets) {
    if (configured.contains(vnet.name) &&
        std::find(regions.begin(), regions.end(), vnet.location) == regions.end())
      regions.push_back(vnet.location);
  }
  for (const auto& region : regions)
    NetScout::discover_route_table_without_subnet_in_region(network, region);

  std::vector<std::string> missing;
  for (const auto& [name, entry] : vnetsInYaml.items()) {
    auto found = std::find_if(azureVnets.begin(), azureVnets.end(),
                              [&](const az::VirtualNetwork& v) { return v.name == name; });
    if (found == azureVnets.end()) {
      missing.push_back(name);
      continue;
    }
    const az::VirtualNetwork& vnet = *found;
    Json options = Json::object();
    options["subscriptionMap"] = subscriptionMap;
    Common::readGlobalConfigOption(data, options);
    Common::readAccountOption(account, options);
    Common::readVnetOption(vnetsInYaml, vnet, options);
    options["filter_cidrs"] = Common::getFilterCidrs(account);
    options["route_table_tags"] = entry["route_table_tags"];
    options["default_route_table"] = Common::getPreStageDefaultPathbook(data);

    Common::logVnetHeader(vnet);
    NetScout::discoverSpokeGw(cred, vnet);
    NetScout::discoverVnet(vnet, cred);
    const collab::Subnets subnets = NetScout::discoverSubnets(vnet, options);
    NetScout::validateSubnetGroups(subnets.subnetMap(), options);
    Common::logPathbookHeader();
    for (const auto& [vnetName, books] : NetScout::discover_route_tables(cred, options, vnet)) {
      SCOPED_TRACE(vnetName);
      std::ostringstream hcl;
      books.toHcl(hcl);
      checkGolden(vnetName + ".tf", hcl.str());
      EXPECT_EQ(kx::test::unordered(kx::test::parseHcl(hcl.str())),
                kx::test::unordered(expectedReadBack(books)));
    }
  }
  EXPECT_EQ(missing, std::vector<std::string>{"vnet-analytics-eus"});

  checkGolden("kx.log", maskedLog(out_ / "log/kx.log"));
  checkGolden("kx.alert.log", maskedLog(out_ / "log/kx.alert.log"));
  // No golden file is left that the run no longer produces.
  for (const auto& file : fs::directory_iterator(kGolden)) {
    const std::string name = file.path().filename().string();
    if (produced_.contains(name)) continue;
    if (update_)
      fs::remove(file.path());
    else
      ADD_FAILURE() << "golden file " << name << " was not produced";
  }
}

}  // namespace
}  // namespace netscout
