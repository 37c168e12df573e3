// kx-discover --learned-routes as a process against the loopback Azure: the gateways' routes
// answered at once, refused to a Reader, never answered within the time limit, and a run
// whose operations were polled recorded and replayed with the server gone (that a replay takes
// none of the recorded pauses is checked in the client layer's tests).
#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

const std::string kHubGateway = "/subscriptions/" + kProd +
                                "/resourceGroups/rg-hub/providers/Microsoft.Network/"
                                "virtualNetworkGateways/hub-vpn-gw";

Json testEstate(bool readOnly) {
  Json estate = fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json");
  estate["tenants"][0]["principals"][0]["readOnly"] = readOnly;
  return estate;
}

// The hub gateway's routes of the estate in the report's words.
Json hubRoutesOf(const Json& estate) {
  Json routes = Json::array();
  for (const Json& r : estate["subscriptions"][0]["learnedRoutes"][kHubGateway]) {
    routes.push_back(Json{{"prefix", r["network"]},
                          {"next_hop", r["nextHop"]},
                          {"origin", r["origin"]},
                          {"as_path", r["asPath"]},
                          {"weight", r["weight"]},
                          {"source_peer", r["sourcePeer"]},
                          {"local_address", r["localAddress"]}});
  }
  return routes;
}

const Json& vnetNamed(const Json& report, const std::string& name) {
  for (const Json& subscription : report["subscriptions"]) {
    for (const Json& vnet : subscription["vnets"]) {
      if (vnet["name"] == name) return vnet;
    }
  }
  static const Json kNone;
  ADD_FAILURE() << "no VNet " << name << " in the report";
  return kNone;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(DiscoverTest, LearnedRoutesOnRequestNeverFailTheRun) {
  struct Case {
    const char* label;
    std::vector<std::string> args;
    bool atOnce;
    int pendingPolls;
    bool readOnly;
    std::string status;   // of both gateways' entries; "" when nothing is asked
    std::string finding;  // in the alert log once per gateway; "" for none
  };
  const Case cases[] = {
      {"not asked", {}, true, 0, false, "", ""},
      {"answered at once", {"--learned-routes"}, true, 0, false, "completed", ""},
      {"refused to a Reader",
       {"--learned-routes"},
       false,
       0,
       true,
       "refused",
       "the principal may not ask for them (HTTP 403 AuthorizationFailed); it needs Network "
       "Contributor on resource group "},
      // Azure's Retry-After (10 s) is beyond the limit: given up without a poll.
      {"never answered",
       {"--learned-routes", "--learned-routes-timeout", "5"},
       false,
       -1,
       false,
       "timed_out",
       "Azure had not answered after 5 s of waiting, the time limit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fakearm::ServerOptions options;
    options.learnedRoutesAtOnce = c.atOnce;
    options.learnedRoutesPendingPolls = c.pendingPolls;
    const Json estate = testEstate(c.readOnly);
    server_.emplace(estate, options);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--json", "report.json", "--html", "report.html", "discovery.yaml"});
    const ProgramResult r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;

    const Json rep = report();
    EXPECT_EQ(reportProblems(path("report.json")), "");
    EXPECT_EQ(rep["summary"]["vnets_discovered"], 4);
    EXPECT_EQ(rep["outputs"]["terraform"].size(), 4u);
    for (const Json& file : rep["outputs"]["terraform"])
      EXPECT_TRUE(fs::is_regular_file(path(file.get<std::string>()))) << file;
    const bool asked = !c.status.empty();
    EXPECT_EQ(server_->operationCount("virtualNetworkGateways.getLearnedRoutes"), asked ? 2u : 0u);
    EXPECT_EQ(server_->operationCount("operationResults.get"), 0u);

    // The gateways the VNet discovery reports, and no entry where there is none.
    for (const char* quiet : {"spoke-a", "dev-vnet"})
      EXPECT_EQ(vnetNamed(rep, quiet)["learned_routes"], asked ? Json::array() : Json()) << quiet;
    const struct {
      const char* vnet;
      const char* gateway;
      const char* group;
      Json routes;
    } gateways[] = {{"hub-vnet", "hub-vpn-gw", "rg-hub", hubRoutesOf(estate)},
                    {"spoke-b", "spoke-b-er-gw", "rg.(legacy)", Json::array()}};
    const std::string alerts = readFile(path("out/log/kx.alert.log"));
    for (const auto& g : gateways) {
      SCOPED_TRACE(g.vnet);
      const Json& vnet = vnetNamed(rep, g.vnet);
      EXPECT_EQ(vnet["status"], "completed");
      if (!asked) {
        EXPECT_TRUE(vnet["learned_routes"].is_null());
        continue;
      }
      ASSERT_EQ(vnet["learned_routes"].size(), 1u);
      const Json& entry = vnet["learned_routes"][0];
      EXPECT_EQ(entry["name"], g.gateway);
      EXPECT_EQ(entry["resource_group"], g.group);
      EXPECT_EQ(entry["status"], c.status);
      EXPECT_EQ(entry["routes"], c.status == "completed" ? g.routes : Json());
      if (!c.finding.empty()) {
        EXPECT_EQ(occurrences(alerts, c.finding), 2u) << alerts;
        const std::string line = "**Alert** learned routes of gateway " + std::string(g.gateway);
        EXPECT_EQ(occurrences(alerts, line), 1u) << alerts;
        bool inReport = false;
        for (const Json& alert : vnet["alerts"])
          inReport |= alert["text"].get<std::string>().starts_with(line);
        EXPECT_TRUE(inReport) << vnet["alerts"];
      }
    }
    if (c.status == "refused") {
      EXPECT_NE(alerts.find("resource group rg.(legacy), or a custom role with "
                            "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action"),
                std::string::npos);
    }

    const std::string page = readFile(path("report.html"));
    EXPECT_EQ(occurrences(page, "<table class=\"routes learned\">"), asked ? 2u : 0u);
    EXPECT_EQ(occurrences(page, "<tr class=\"learned-route\">"),
              c.status == "completed" ? hubRoutesOf(estate).size() : 0u);
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
  std::vector<std::string> secrets;
  for (const auto& [variable, secret] : kSecrets) secrets.push_back(secret);
  expectNoSecretOrToken(dir_, recorded, secrets);
  const Json rep = report();
  EXPECT_EQ(vnetNamed(rep, "hub-vnet")["learned_routes"][0]["routes"],
            hubRoutesOf(testEstate(false)));
  server_.reset();

  const ProgramResult replayed = run({"--learned-routes", "--replay", "run.cassette.json", "--json",
                                      "replayed.json", "--quiet", "discovery.yaml"},
                                     /*env=*/{});
  ASSERT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(comparable(report("replayed.json")), comparable(rep));
}

}  // namespace
}  // namespace kxdiscover::test
