// kx-discover over the test estate: the logs it writes, read line by line against reviewed
// golden files; its Terraform files through the HCL parser; its report against the schema;
// a recorded run replayed with the server gone; and no secret or token in anything it leaves.
#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

const std::string kGolden = kSource + "/discover/tests/data/golden/";

TEST_F(DiscoverTest, WritesTheGoldenLogsTerraformFilesAndAValidReport) {
  serve();
  const ProgramResult r = run({"--json", "report.json", "discovery.yaml"});
  ASSERT_EQ(r.status, 0) << r.err;

  expectSameLines(logLines(path("out/log/kx.log")), kGolden + "kx.log");
  expectSameLines(logLines(path("out/log/kx.alert.log")), kGolden + "kx.alert.log");

  EXPECT_NE(r.out.find("discovery completed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("4 discovered, 1 not found"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("11 kept, 6 refused"), std::string::npos) << r.out;
  // Not a terminal: one plain line per step, and the missing VNet named.
  EXPECT_NE(r.err.find("subscription 1/2 " + kProd + ", VNet 2/4 spoke-a: discover_route_tables"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("warning: VNet ghost-vnet not found"), std::string::npos) << r.err;

  const Json rep = report();
  EXPECT_EQ(reportProblems(path("report.json")), "");
  EXPECT_EQ(rep["status"], "completed");
  EXPECT_EQ(rep["summary"]["routes_refused"], 6);
  EXPECT_EQ(rep["summary"]["azure_retries"], 0);
  const Json& spokeA = rep["subscriptions"][0]["vnets"][1];
  ASSERT_EQ(spokeA["name"], "spoke-a");
  EXPECT_EQ(spokeA["gateways"]["spoke_gateway_found"], true);
  EXPECT_EQ(spokeA["refused_routes"][3],
            Json::parse(R"({"route_table": "rt-web", "prefix": "2001:db8:1234:5678:9abc::/80",
                            "next_hop_type": "VirtualAppliance", "next_hop_ip": "2001:db8::4",
                            "reason": "Filter CIDR 2001:db8::/32"})"));
  EXPECT_EQ(rep["subscriptions"][0]["vnets"][2]["gateways"]["vng"]["type"], "ExpressRoute");
  EXPECT_EQ(rep["subscriptions"][0]["vnets"][3]["status"], "not_found");

  const std::size_t files = expectTerraformMatchesReport(rep);
  EXPECT_EQ(files, 4u);
  EXPECT_EQ(rep["outputs"]["terraform"].size(), files);

  // The schema is no formality: a report missing an identity or with a wrong type fails it.
  Json broken = rep;
  broken["subscriptions"][0]["vnets"][0].erase("id");
  broken["subscriptions"][0]["vnets"][1]["refused_routes"][0]["next_hop_ip"] = 4;
  std::ofstream(path("broken.json")) << broken.dump();
  const std::string problems = reportProblems(path("broken.json"));
  EXPECT_NE(problems.find("'id' is a required property"), std::string::npos) << problems;
  EXPECT_NE(problems.find("4 is not of type"), std::string::npos) << problems;
}

TEST_F(DiscoverTest, ARecordedRunReplaysWithoutServerOrSecrets) {
  serve();
  const ProgramResult recorded =
      run({"--record", "run.cassette.json", "--json", "report.json", "discovery.yaml"});
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  fs::rename(path("out"), path("recorded"));
  server_.reset();

  const ProgramResult replayed =
      run({"--replay", "run.cassette.json", "--json", "replayed.json", "--quiet", "discovery.yaml"},
          /*env=*/{});
  ASSERT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(replayed.out, "");
  EXPECT_EQ(replayed.err,
            "kx-discover: warning: VNet ghost-vnet not found in subscription " + kProd + "\n");

  for (const char* log : {"log/kx.log", "log/kx.alert.log"}) {
    SCOPED_TRACE(log);
    EXPECT_EQ(logLines(path("out/") / log), logLines(path("recorded/") / log));
  }
  for (const char* file : {"prod/hub-vnet.tfvars", "prod/spoke-a.tfvars", "prod/spoke-b.tfvars",
                           "dev/dev-vnet.tfvars"}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(readFile(path("out/terraform/") / file),
              readFile(path("recorded/terraform/") / file));
  }
  EXPECT_EQ(comparable(report("replayed.json")), comparable(report("report.json")));
}

TEST_F(DiscoverTest, NoOutputHoldsTheSecretsOrAToken) {
  serve();
  // A token this server issues, to be sure the pattern below finds its tokens.
  collab::azure::ClientSecretCredentialOptions options;
  options.transport = std::make_shared<collab::azure::CurlTransport>();
  options.endpoints = collab::azure::AzureEndpoints{server_->baseUrl(), server_->baseUrl() + "/",
                                                    "https://management.core.windows.net/"};
  collab::azure::ClientSecretCredential credential("72f988bf-0000-4000-8000-00000000c0de",
                                                   "a0b1c2d3-0000-4000-8000-0000000000a1",
                                                   kSecrets.at("KX_TEST_READER_SECRET"), options);
  ASSERT_TRUE(std::regex_match(credential.getToken().token, kIssuedToken));

  const ProgramResult r =
      run({"--record", "run.cassette.json", "--json", "report.json", "discovery.yaml"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> secrets;
  for (const auto& [variable, secret] : kSecrets) secrets.push_back(secret);
  // The logs, four Terraform files, report, cassette, ...
  EXPECT_GE(expectNoSecretOrToken(dir_, r, secrets), 10u);
}

}  // namespace
}  // namespace kxdiscover::test
