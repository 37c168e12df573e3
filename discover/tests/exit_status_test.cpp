// Every exit status of kx-discover: help and version, usage and configuration errors, a VNet
// that fails half-way and a subscription whose token cannot be had while the rest completes,
// and a run interrupted with Ctrl-C.
#include <csignal>
#include <thread>

#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

TEST_F(DiscoverTest, AnswersEachCommandLineWithItsExitStatus) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* config;  // replaces discovery.yaml when set
    int status;
    const char* says;  // on stdout or stderr
  };
  const Case cases[] = {
      {"help", {"--help"}, nullptr, 0, "Examples:"},
      {"version", {"--version"}, nullptr, 0, "kx-discover 0.1.0"},
      {"no configuration", {}, nullptr, 2, "a configuration file is required"},
      {"unknown option", {"--frobnicate", "discovery.yaml"}, nullptr, 2, "--frobnicate"},
      {"check-access without a configuration",
       {"check-access"},
       nullptr,
       2,
       "a configuration file is required: kx-discover check-access CONFIG.yaml"},
      {"check-access with a replay",
       {"check-access", "--replay", "discovery.yaml", "discovery.yaml"},
       nullptr,
       2,
       "--replay"},
      {"record and replay",
       {"--record", "a.json", "--replay", "discovery.yaml", "discovery.yaml"},
       nullptr,
       2,
       "exclude each other"},
      {"clear-text endpoint",
       {"--arm-endpoint", "http://management.example.com", "discovery.yaml"},
       nullptr,
       2,
       "plain http is refused"},
      {"unknown subscription",
       {"--subscription", "1234", "discovery.yaml"},
       nullptr,
       2,
       "--subscription 1234: discovery.yaml has no account_info entry"},
      {"a learned-routes time limit without learned routes",
       {"--learned-routes-timeout", "30", "discovery.yaml"},
       nullptr,
       2,
       "only --learned-routes asks for"},
      {"missing file", {"absent.yaml"}, nullptr, 1, "absent.yaml"},
      {"another kind",
       {"discovery.yaml"},
       "kind: inventory\n",
       1,
       "**Alert** Expect YAML for discovery, got inventory instead!"},
      {"no credentials",
       {"discovery.yaml"},
       "kind: discovery\nlog_output: ./out\n",
       1,
       "**Error** YAML missing 'azure_cred' definition"},
      {"YAML 1.1 boolean",
       {"discovery.yaml"},
       "kind: discovery\nconfig:\n  configure_gw_name: yes\n",
       1,
       "config.configure_gw_name"},
  };
  const std::string original = readFile(path("discovery.yaml"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(path("discovery.yaml")) << (c.config ? c.config : original.c_str());
    const ProgramResult r = run(c.args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
}

TEST_F(DiscoverTest, HelpExplainsEveryOption) {
  const ProgramResult r = run({"--help"});
  for (const char* option :
       {"--arm-endpoint", "--login-endpoint", "--ca-file", "--record", "--replay", "--data-dir",
        "--subscription", "--json", "--quiet", "--version", "--help", "--learned-routes",
        "--learned-routes-timeout", "--auth", "check-access", "Exit status"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

TEST_F(DiscoverTest, AFailedVnetOrSubscriptionIsReportedAndTheRestCompletes) {
  fakearm::Fault unavailable;  // the first VNet listing: retried once
  unavailable.operation = "virtualNetworks.listAll";
  unavailable.status = 503;
  unavailable.code = "ServiceUnavailable";
  unavailable.retryAfterSeconds = 0;
  fakearm::Fault forbidden;  // spoke-a's route tables, after its gateway and subnet steps
  forbidden.operation = "routeTables.listAll";
  forbidden.nth = 3;  // after the unused-table check and hub-vnet
  forbidden.status = 403;
  forbidden.code = "AuthorizationFailed";
  serve();
  server_->addFault(unavailable);
  server_->addFault(forbidden);

  auto env = kSecrets;
  env["KX_TEST_NARROW_SECRET"] = "not-the-narrow-secret";
  // One process: the faults above count requests in the order a single process sends them.
  const ProgramResult r = run({"--jobs", "1", "--json", "report.json", "discovery.yaml"}, env);
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("VNet spoke-a: discover_route_tables failed: ARM GET"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("HTTP 403 AuthorizationFailed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("subscription " + kDev + ": token failed:"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("not-the-narrow-secret"), std::string::npos);
  EXPECT_NE(r.out.find("discovery completed with failures"), std::string::npos) << r.out;

  const auto log = logLines(path("out/log/kx.log"));
  EXPECT_NE(std::find_if(log.begin(), log.end(),
                         [](const std::string& line) {
                           return line.starts_with(
                               "[error]   **Error** VNet spoke-a not "
                               "discovered: discover_route_tables failed");
                         }),
            log.end());

  EXPECT_EQ(reportProblems(path("report.json")), "");
  const Json rep = report();
  EXPECT_EQ(rep["status"], "failed");
  EXPECT_EQ(rep["summary"]["azure_retries"], 1);
  const Json& prod = rep["subscriptions"][0]["vnets"];
  EXPECT_EQ(prod[0]["status"], "completed");
  EXPECT_EQ(prod[1]["status"], "failed");
  EXPECT_EQ(prod[1]["failed_step"], "discover_route_tables");
  EXPECT_EQ(prod[1]["terraform_file"], nullptr);
  EXPECT_EQ(prod[2]["status"], "completed");
  const Json& dev = rep["subscriptions"][1];
  EXPECT_EQ(dev["status"], "failed");
  EXPECT_EQ(dev["failures"][0]["step"], "token");
  EXPECT_EQ(dev["vnets"][0]["status"], "skipped");
  EXPECT_EQ(rep["failures"].size(), 2u);

  // What completed is whole; the failed VNet left no file.
  EXPECT_TRUE(parseTerraform(path("out/terraform/prod/hub-vnet.tfvars")).is_object());
  EXPECT_TRUE(parseTerraform(path("out/terraform/prod/spoke-b.tfvars")).is_object());
  EXPECT_FALSE(fs::exists(path("out/terraform/prod/spoke-a.tfvars")));
  EXPECT_FALSE(fs::exists(path("out/terraform/dev")));
}

TEST_F(DiscoverTest, CtrlCStopsTheRunWithCompleteFilesAndAnInterruptedReport) {
  serve();
  // spoke-a's gateway listing, so Ctrl-C arrives while it is under way
  server_->addFault(delayFault("resourceGroups.list", 2, 1, std::chrono::milliseconds(1500)));

  // One process, so that the slow request is spoke-a's (workers: worker_test.cpp).
  Program program(dir_, arguments({"--jobs", "1", "--json", "report.json", "discovery.yaml"}),
                  kSecrets);
  const fs::path first = path("out/terraform/prod/hub-vnet.tfvars");
  for (int i = 0; i < 600 && !fs::exists(first); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(fs::exists(first)) << "the run did not reach its second VNet";
  ::kill(program.pid(), SIGINT);
  const ProgramResult r = program.wait();

  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.out.find("discovery interrupted"), std::string::npos) << r.out;
  EXPECT_EQ(reportProblems(path("report.json")), "");
  const Json rep = report();
  EXPECT_EQ(rep["status"], "interrupted");
  EXPECT_EQ(rep["interrupted"], true);
  EXPECT_EQ(rep["subscriptions"][0]["vnets"][0]["status"], "completed");
  EXPECT_NE(rep["subscriptions"][0]["vnets"][1]["status"], "completed");
  EXPECT_EQ(rep["subscriptions"][1]["status"], "skipped");

  EXPECT_TRUE(parseTerraform(first).is_object());
  for (const auto& entry : fs::recursive_directory_iterator(path("out"))) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    EXPECT_NE(entry.path().filename(), "spoke-a.tfvars");
  }
  const auto log = logLines(path("out/log/kx.log"));
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("**Alert** run interrupted (signal 2)"), std::string::npos)
      << log.back();
}

}  // namespace
}  // namespace kxdiscover::test
