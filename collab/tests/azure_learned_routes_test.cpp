// A gateway's learned routes, asked for and waited for: against the loopback Azure (answered
// at once, after several 202s, never, refused), replayed without waiting, against a server
// naming somewhere else to poll; the routes' reader over Azure's optional members.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_parse.hpp"
#include "collab/azure/azure_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/learned_routes.hpp"
#include "collab/azure/recording_transport.hpp"
#include "collab/azure/replay_transport.hpp"
#include "fakearm/estate_server.hpp"
#include "support/fake_time.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"

namespace collab::azure {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kSubscription = "5e4d3c2b-1a09-4f8e-9d7c-6b5a4f3e2d1c";

Json exampleEstate(bool readOnly) {
  Json estate =
      fakearm::loadEstateFile(std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json");
  estate["tenants"][0]["principals"][0]["readOnly"] = readOnly;
  return estate;
}

// The example estate served, the client layer pointed at it and pausing on a fake clock.
struct LoopbackAzure {
  LoopbackAzure(bool atOnce, int pendingPolls, int retryAfter = 10, bool readOnly = false)
      : estate(exampleEstate(readOnly)),
        server(estate,
               [&] {
                 fakearm::ServerOptions options;
                 options.learnedRoutesAtOnce = atOnce;
                 options.learnedRoutesPendingPolls = pendingPolls;
                 options.learnedRoutesRetryAfterSeconds = retryAfter;
                 return options;
               }()),
        endpoints(kx::test::loopbackEndpoints(server.baseUrl())) {
    const Json& principal = estate["tenants"][0]["principals"][0];
    credential.emplace(AzureCredential::fromClientSecret(
        estate["tenants"][0]["tenantId"], principal["appId"], principal["secret"], kSubscription,
        ClientSecretCredentialOptions{transport, {}, {}, std::chrono::minutes(5)}));
  }

  LearnedRoutes ask(milliseconds limit, std::shared_ptr<Transport> via = nullptr) {
    OperationPolling polling;
    polling.timeLimit = limit;
    return awaitLearnedRoutes(credential->getCSC(), kSubscription, "rg-hub", "hub-vpn-gw", polling,
                              {time.retryOptions(), std::nullopt, {}}, via ? via : transport);
  }

  Json estate;
  fakearm::EstateServer server;
  kx::test::ScopedEndpoints endpoints;
  std::shared_ptr<Transport> transport = std::make_shared<CurlTransport>();
  kx::test::FakeTime time;
  std::optional<AzureCredential> credential;
};

TEST(LearnedRoutes, FollowTheOperationAsTheLoopbackAzureRunsIt) {
  const struct {
    const char* label;
    bool atOnce, readOnly;
    int pendingPolls, retryAfter, limit;  // seconds
    std::vector<int> pauses;              // seconds; one poll after each
    bool completed;
  } cases[] = {
      {"answered at once", true, false, 0, 10, 120, {}, true},
      {"the first poll answers", false, false, 0, 10, 120, {10}, true},
      {"after several 202s", false, false, 3, 2, 120, {2, 2, 2, 2}, true},
      {"Retry-After 0 still pauses", false, false, 1, 0, 120, {1, 1}, true},
      {"never: a pause past the limit is not taken", false, false, -1, 10, 35, {10, 10, 10}, false},
      {"refused to a Reader", false, true, 0, 10, 120, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LoopbackAzure azure(c.atOnce, c.pendingPolls, c.retryAfter, c.readOnly);
    try {
      const LearnedRoutes learned = azure.ask(seconds(c.limit));
      EXPECT_FALSE(c.readOnly);
      EXPECT_EQ(learned.completed, c.completed);
      // Which member is which: GatewayRouteList below, and the command's tests.
      EXPECT_EQ(learned.routes.size(),
                c.completed ? azure.estate["subscriptions"][0]["learnedRoutes"].front().size() : 0);
    } catch (const ArmError& error) {
      EXPECT_TRUE(c.readOnly) << error.what();
      EXPECT_EQ(error.status(), 403);
    }
    std::vector<milliseconds> pauses(c.pauses.begin(), c.pauses.end());
    for (auto& pause : pauses) pause *= 1000;
    EXPECT_EQ(azure.time.sleeps(), pauses);
    EXPECT_EQ(azure.server.operationCount("virtualNetworkGateways.getLearnedRoutes"), 1u);
    EXPECT_EQ(azure.server.operationCount("operationResults.get"), pauses.size());
  }
}

TEST(LearnedRoutes, AReplayTakesTheRecordedPathWithoutPausing) {
  for (const int pending : {2, -1}) {
    SCOPED_TRACE(pending);
    LoopbackAzure azure(false, pending);
    // Saved when the recorder goes; only its cassette in memory is replayed.
    const auto file = std::filesystem::temp_directory_path() /
                      ("kx-learned-routes-" + std::to_string(::getpid()) + ".json");
    auto recorder = std::make_shared<RecordingTransport>(azure.transport, file.string());
    const LearnedRoutes recorded = azure.ask(seconds(25), recorder);
    const std::size_t pauses = azure.time.sleeps().size();
    azure.server.stop();

    const auto replay = std::make_shared<ReplayTransport>(recorder->cassette());
    const LearnedRoutes replayed = azure.ask(seconds(25), replay);
    EXPECT_EQ(replayed.completed, recorded.completed);
    EXPECT_EQ(replayed.routes, recorded.routes);
    EXPECT_EQ(replayed.polls, recorded.polls);
    EXPECT_GT(pauses, 0u);
    EXPECT_EQ(azure.time.sleeps().size(), pauses) << "the replay paused";
    EXPECT_EQ(replay->remaining(), 0u);
    recorder.reset();
    std::filesystem::remove(file);
  }
}

TEST(LearnedRoutes, TheTokenGoesToTheResourceManagerEndpointOnly) {
  kx::test::LoopbackServer azure, elsewhere;
  elsewhere.start();
  std::string postLocation, pollLocation;  // of the 202 answers
  azure.server().Post(".*", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 202;
    if (!postLocation.empty()) res.set_header("Location", postLocation);
  });
  azure.server().Get(".*", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 202;
    res.set_header("Location", pollLocation);
  });
  azure.start();
  const std::string home = azure.baseUrl() + "/subscriptions/s-1/operationResults/1";
  const std::string foreign = elsewhere.baseUrl() + "/subscriptions/s-1/operationResults/1";
  for (const auto& [post, poll, code] :
       {std::tuple{foreign, home, "ForeignLocation"}, std::tuple{home, foreign, "ForeignLocation"},
        std::tuple{std::string(), home, "MissingLocation"}}) {
    SCOPED_TRACE(post + " then " + poll);
    std::tie(postLocation, pollLocation) = std::tie(post, poll);
    kx::test::FakeTime time;
    try {
      awaitLearnedRoutes(std::make_shared<StaticTokenCredential>("poll-token"), "s-1", "rg", "gw",
                         {}, {time.retryOptions(), azure.baseUrl(), {}},
                         std::make_shared<CurlTransport>());
      ADD_FAILURE() << "expected ArmError";
    } catch (const ArmError& error) {
      EXPECT_EQ(error.code(), code);
    }
  }
  EXPECT_EQ(elsewhere.requestCount(), 0u);
}

TEST(GatewayRouteList, OptionalMembersStayAbsentAndMistypedOnesAreNamed) {
  const struct {
    const char* body;
    std::optional<std::vector<GatewayRoute>> routes;  // absent: malformed at `path`
    const char* path;
  } cases[] = {
      {R"({})", std::vector<GatewayRoute>{}, ""},
      {R"({"value": [{}]})", std::vector<GatewayRoute>{GatewayRoute{}}, ""},
      {R"({"value": [{"network": "10.1.0.0/16", "asPath": "", "nextHop": null, "weight": 7}]})",
       std::vector{GatewayRoute{.network = "10.1.0.0/16", .as_path = "", .weight = 7}}, ""},
      {"<html>gateway timeout</html>", std::nullopt, ""},
      {R"({"value": {}})", std::nullopt, "value"},
      {R"({"value": [{}, {"origin": 5}]})", std::nullopt, "value[1].origin"},
      {R"({"value": [{"weight": "32768"}]})", std::nullopt, "value[0].weight"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    try {
      EXPECT_EQ(parseGatewayRouteList(c.body), c.routes);
    } catch (const MalformedResponseError& error) {
      EXPECT_FALSE(c.routes) << error.what();
      EXPECT_EQ(error.path(), c.path);
    }
  }
}

}  // namespace
}  // namespace collab::azure
