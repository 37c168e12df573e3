// kx-discover --learned-routes as a process against the loopback Azure: the gateways' routes
// answered at once, refused to a Reader, never answered within the time limit; and a polled
// run recorded and replayed with the server gone (that a replay takes none of the recorded
// pauses is checked in the client layer's tests).
#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

Json testEstate(bool readOnly) {
  Json estate = fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json");
  estate["tenants"][0]["principals"][0]["readOnly"] = readOnly;
  return estate;
}

// The hub gateway's routes of the estate, in the report's words.
Json hubRoutes() {
  const Json estate = testEstate(false);
  Json routes = Json::array();
  for (const auto& [gateway, list] : estate["subscriptions"][0]["learnedRoutes"].items())
    for (const Json& r : list)
      routes.push_back({{"prefix", r["network"]},
                        {"next_hop", r["nextHop"]},
                        {"origin", r["origin"]},
                        {"as_path", r["asPath"]},
                        {"weight", r["weight"]},
                        {"source_peer", r["sourcePeer"]},
                        {"local_address", r["localAddress"]}});
  return routes;
}

// The `learned_routes` of each configured VNet the report holds, by name.
std::map<std::string, Json> learnedRoutesByVnet(const Json& report) {
  std::map<std::string, Json> out;
  for (const Json& subscription : report["subscriptions"])
    for (const Json& vnet : subscription["vnets"])
      if (vnet.contains("learned_routes")) out[vnet["name"]] = vnet["learned_routes"];
  return out;
}

TEST_F(DiscoverTest, LearnedRoutesOnRequestNeverFailTheRun) {
  const struct {
    const char* label;
    std::vector<std::string> args;
    bool atOnce;
    bool readOnly;
    std::string status;                 // of both gateways' entries; "" when nothing is asked
    std::vector<std::string> findings;  // in the alert log, each once per gateway
  } cases[] = {
      {"not asked", {}, true, false, "", {}},
      {"answered at once", {"--learned-routes"}, true, false, "completed", {}},
      {"refused to a Reader",
       {"--learned-routes"},
       false,
       true,
       "refused",
       {"not read: the principal may not ask for them (HTTP 403 AuthorizationFailed); it needs "
        "Network Contributor on resource group rg",
        ", or a custom role with "
        "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action"}},
      // Never answered, and Azure's Retry-After (10 s) lies beyond the limit: no poll.
      {"never answered",
       {"--learned-routes", "--learned-routes-timeout", "5"},
       false,
       false,
       "timed_out",
       {"not read: Azure had not answered after 5 s of waiting, the time limit"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fakearm::ServerOptions options;
    options.learnedRoutesAtOnce = c.atOnce;
    options.learnedRoutesPendingPolls = -1;
    server_.emplace(testEstate(c.readOnly), options);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--json", "report.json", "--html", "report.html", "discovery.yaml"});
    const ProgramResult r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;

    const Json rep = report();
    EXPECT_EQ(reportProblems(path("report.json")), "");
    EXPECT_EQ(rep["summary"]["vnets_discovered"], 4);
    EXPECT_EQ(rep["outputs"]["terraform"].size(), 4u);
    const bool asked = !c.status.empty();
    EXPECT_EQ(server_->operationCount("virtualNetworkGateways.getLearnedRoutes"), asked ? 2u : 0u);
    EXPECT_EQ(server_->operationCount("operationResults.get"), 0u);

    // The gateway the VNet discovery reports, where there is one: hub-vnet's VPN gateway and
    // spoke-b's ExpressRoute gateway (which has learned none).
    auto entry = [&](const char* name, const char* group, Json routes) {
      return Json::array({Json{{"name", name},
                               {"resource_group", group},
                               {"status", c.status},
                               {"routes", c.status == "completed" ? routes : Json()}}});
    };
    std::map<std::string, Json> expected{
        {"hub-vnet", entry("hub-vpn-gw", "rg-hub", hubRoutes())},
        {"spoke-a", Json::array()},
        {"spoke-b", entry("spoke-b-er-gw", "rg.(legacy)", Json::array())},
        {"dev-vnet", Json::array()}};
    std::map<std::string, Json> got = learnedRoutesByVnet(rep);
    for (auto& [vnet, list] : got) {
      for (Json& gateway : list) {
        for (const char* key : {"id", "type", "message"}) gateway.erase(key);
      }
      if (!asked) expected[vnet] = nullptr;
    }
    EXPECT_EQ(got, expected);

    const std::string alerts = readFile(path("out/log/kx.alert.log"));
    for (const std::string& finding : c.findings)
      EXPECT_EQ(occurrences(alerts, finding), 2u) << finding << "\n" << alerts;
    EXPECT_EQ(occurrences(readFile(path("report.html")), "<table class=\"routes learned\">"),
              asked ? 2u : 0u);
    fs::remove_all(path("out"));
  }
}

TEST_F(DiscoverTest, APolledRunReplaysWithTheServerGone) {
  fakearm::ServerOptions options;
  // Each gateway's operation answers its first poll, a second after it was accepted.
  options.learnedRoutesRetryAfterSeconds = 1;
  serve(options);
  const ProgramResult recorded = run({"--learned-routes", "--record", "run.cassette.json", "--json",
                                      "report.json", "discovery.yaml"});
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  EXPECT_EQ(server_->operationCount("operationResults.get"), 2u);
  EXPECT_EQ(learnedRoutesByVnet(report())["hub-vnet"][0]["routes"], hubRoutes());
  server_.reset();

  const ProgramResult replayed = run({"--learned-routes", "--replay", "run.cassette.json", "--json",
                                      "replayed.json", "--quiet", "discovery.yaml"},
                                     /*env=*/{});
  ASSERT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(comparable(report("replayed.json")), comparable(report()));
}

}  // namespace
}  // namespace kxdiscover::test
