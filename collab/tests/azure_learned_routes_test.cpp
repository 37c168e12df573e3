// A gateway's learned routes, asked for and waited for: against the loopback Azure (answered
// at once, after several 202s, never, refused), against a server that names somewhere else to
// poll, and replayed from a recording without waiting.  The routes' reader over Azure's
// optional members.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

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
const std::string kGatewayId = "/subscriptions/" + kSubscription +
                               "/resourceGroups/rg-hub/providers/Microsoft.Network/"
                               "virtualNetworkGateways/hub-vpn-gw";

Json testEstate(bool readOnly) {
  Json estate =
      fakearm::loadEstateFile(std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json");
  estate["tenants"][0]["principals"][0]["readOnly"] = readOnly;
  return estate;
}

// The estate's routes of the hub gateway, read member by member as the estate writes them.
std::vector<GatewayRoute> estateRoutes(const Json& estate) {
  std::vector<GatewayRoute> routes;
  for (const Json& r : estate["subscriptions"][0]["learnedRoutes"][kGatewayId]) {
    routes.push_back({r["localAddress"], r["network"], r["nextHop"], r["sourcePeer"], r["origin"],
                      r["asPath"], r["weight"].get<std::int64_t>()});
  }
  return routes;
}

// The client layer pointed at an EstateServer of the example estate, waits on a fake clock.
class LoopbackAzure {
 public:
  LoopbackAzure(fakearm::ServerOptions options, bool readOnly = false)
      : estate_(testEstate(readOnly)),
        server_(estate_, std::move(options)),
        endpoints_(kx::test::loopbackEndpoints(server_.baseUrl())) {
    const Json& principal = estate_["tenants"][0]["principals"][0];
    credential_.emplace(AzureCredential::fromClientSecret(
        estate_["tenants"][0]["tenantId"], principal["appId"], principal["secret"], kSubscription,
        ClientSecretCredentialOptions{transport_, {}, {}, std::chrono::minutes(5)}));
  }

  LearnedRoutes ask(OperationPolling polling, const std::string& gateway = "hub-vpn-gw",
                    std::shared_ptr<Transport> transport = nullptr) {
    ArmPipelineOptions options;
    options.retry = time_.retryOptions();
    return awaitLearnedRoutes(credential_->getCSC(), kSubscription, "rg-hub", gateway, polling,
                              options, transport ? transport : transport_);
  }

  const Json& estate() const { return estate_; }
  fakearm::EstateServer& server() { return server_; }
  kx::test::FakeTime& time() { return time_; }
  std::shared_ptr<Transport> transport() const { return transport_; }

 private:
  Json estate_;
  fakearm::EstateServer server_;
  kx::test::ScopedEndpoints endpoints_;
  std::shared_ptr<Transport> transport_ = std::make_shared<CurlTransport>();
  kx::test::FakeTime time_;
  std::optional<AzureCredential> credential_;
};

OperationPolling within(milliseconds limit) {
  OperationPolling polling;
  polling.timeLimit = limit;
  return polling;
}

TEST(LearnedRoutes, FollowTheOperationAsTheLoopbackAzureRunsIt) {
  struct Case {
    const char* label;
    bool atOnce = false;
    int pendingPolls = 0;
    int retryAfter = 10;
    milliseconds limit = seconds(120);
    bool readOnly = false;
    // Expected: the waits taken, and whether the routes came.
    std::vector<milliseconds> sleeps;
    bool completed = true;
    int refusedStatus = 0;
  };
  const Case cases[] = {
      {.label = "answered at once", .atOnce = true, .sleeps = {}},
      {.label = "the first poll answers", .sleeps = {seconds(10)}},
      {.label = "after several 202s",
       .pendingPolls = 3,
       .retryAfter = 2,
       .sleeps = {seconds(2), seconds(2), seconds(2), seconds(2)}},
      {.label = "Retry-After 0 still pauses",
       .pendingPolls = 1,
       .retryAfter = 0,
       .sleeps = {seconds(1), seconds(1)}},
      {.label = "never: a pause past the limit is not taken",
       .pendingPolls = -1,
       .limit = seconds(35),
       .sleeps = {seconds(10), seconds(10), seconds(10)},
       .completed = false},
      {.label = "a time limit of 0 takes only an immediate answer",
       .limit = seconds(0),
       .sleeps = {},
       .completed = false},
      {.label = "refused to a Reader", .readOnly = true, .sleeps = {}, .refusedStatus = 403},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fakearm::ServerOptions options;
    options.learnedRoutesAtOnce = c.atOnce;
    options.learnedRoutesPendingPolls = c.pendingPolls;
    options.learnedRoutesRetryAfterSeconds = c.retryAfter;
    LoopbackAzure azure(options, c.readOnly);

    if (c.refusedStatus) {
      try {
        azure.ask(within(c.limit));
        ADD_FAILURE() << "expected ArmError";
      } catch (const ArmError& error) {
        EXPECT_EQ(error.status(), c.refusedStatus);
        EXPECT_EQ(error.code(), "AuthorizationFailed");
        EXPECT_EQ(error.method(), "POST");
        EXPECT_NE(std::string(error.what()).find("getLearnedRoutes/action"), std::string::npos);
      }
    } else {
      const LearnedRoutes learned = azure.ask(within(c.limit));
      EXPECT_EQ(learned.completed, c.completed);
      EXPECT_EQ(learned.routes,
                c.completed ? estateRoutes(azure.estate()) : std::vector<GatewayRoute>{});
      EXPECT_EQ(learned.polls, static_cast<int>(c.sleeps.size()));
      milliseconds total{0};
      for (const auto pause : c.sleeps) total += pause;
      EXPECT_EQ(learned.waited, total);
    }
    EXPECT_EQ(azure.time().sleeps(), c.sleeps);
    // One action, then one poll per pause: nothing polled without waiting first.
    EXPECT_EQ(azure.server().operationCount("virtualNetworkGateways.getLearnedRoutes"), 1u);
    EXPECT_EQ(azure.server().operationCount("operationResults.get"), c.sleeps.size());
    for (const auto& seen : azure.server().requestLog()) {
      if (seen.operation == "operationResults.get") {
        EXPECT_EQ(seen.method, "GET");
      }
    }
  }
}

TEST(LearnedRoutes, AGatewayWithoutRoutesAndAMissingGateway) {
  LoopbackAzure azure({});
  // The estate's hub gateway has routes; a gateway named nowhere is ResourceNotFound.
  try {
    azure.ask({}, "no-such-gw");
    ADD_FAILURE() << "expected ArmError";
  } catch (const ArmError& error) {
    EXPECT_EQ(error.status(), 404);
    EXPECT_EQ(error.code(), "ResourceNotFound");
  }
  EXPECT_EQ(azure.server().operationCount("operationResults.get"), 0u);
}

TEST(LearnedRoutes, AReplayTakesTheRecordedPathWithoutWaiting) {
  for (const int pending : {2, -1}) {
    SCOPED_TRACE(pending);
    fakearm::ServerOptions options;
    options.learnedRoutesPendingPolls = pending;
    options.learnedRoutesRetryAfterSeconds = 10;
    LoopbackAzure azure(options);
    auto recorder = std::make_shared<RecordingTransport>(azure.transport(), "unused.json");
    const LearnedRoutes recorded = azure.ask(within(seconds(25)), "hub-vpn-gw", recorder);
    const std::size_t waitsRecorded = azure.time().sleeps().size();
    EXPECT_GT(waitsRecorded, 0u);
    azure.server().stop();

    const auto replay = std::make_shared<ReplayTransport>(recorder->cassette());
    const LearnedRoutes replayed = azure.ask(within(seconds(25)), "hub-vpn-gw", replay);
    EXPECT_EQ(replayed.completed, recorded.completed);
    EXPECT_EQ(replayed.routes, recorded.routes);
    EXPECT_EQ(replayed.polls, recorded.polls);
    EXPECT_EQ(replayed.waited, recorded.waited);
    EXPECT_EQ(azure.time().sleeps().size(), waitsRecorded) << "the replay slept";
    EXPECT_EQ(replay->remaining(), 0u);
  }
}

// A server that accepts the action and names, in its 202s, where to poll.
class PollTargets : public ::testing::Test {
 protected:
  void SetUp() override {
    elsewhere_.server().Get(".*", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"value": []})", "application/json");
    });
    elsewhere_.start();
    azure_.server().Post(".*", [&](const httplib::Request&, httplib::Response& res) {
      res.status = post_.status;
      if (post_.location) res.set_header("Location", *post_.location);
      res.set_header("Retry-After", "1");
      res.set_content(post_.body, "application/json");
    });
    azure_.server().Get(".*", [&](const httplib::Request&, httplib::Response& res) {
      res.status = poll_.status;
      if (poll_.location) res.set_header("Location", *poll_.location);
      res.set_content(poll_.body, "application/json");
    });
    azure_.start();
  }

  struct Answer {
    int status = 202;
    std::optional<std::string> location;
    std::string body;
  };

  ArmError refusal() {
    ArmPipelineOptions options;
    options.resourceManager = azure_.baseUrl();
    options.retry = time_.retryOptions();
    try {
      awaitLearnedRoutes(std::make_shared<StaticTokenCredential>("poll-token"), "s-1", "rg", "gw",
                         {}, options, std::make_shared<CurlTransport>());
    } catch (const ArmError& error) {
      return error;
    }
    ADD_FAILURE() << "expected ArmError";
    return ArmError("GET", "", HttpResponse{}, "", "");
  }

  kx::test::LoopbackServer azure_;
  kx::test::LoopbackServer elsewhere_;
  kx::test::FakeTime time_;
  Answer post_;
  Answer poll_;
};

TEST_F(PollTargets, TheTokenGoesToTheResourceManagerEndpointOnly) {
  const std::string home = azure_.baseUrl() + "/subscriptions/s-1/operationResults/1";
  const std::string foreign = elsewhere_.baseUrl() + "/subscriptions/s-1/operationResults/1";
  const struct {
    const char* label;
    Answer post;
    Answer poll;
    const char* code;
    std::size_t polls;  // GETs the Resource Manager endpoint saw
  } cases[] = {
      {"the 202 names another server", {202, foreign, ""}, {}, "ForeignLocation", 0},
      {"a later 202 names another server",
       {202, home, ""},
       {202, foreign, ""},
       "ForeignLocation",
       1},
      {"a user-info trick",
       {202, azure_.baseUrl() + "@" + elsewhere_.baseUrl().substr(7), ""},
       {},
       "ForeignLocation",
       0},
      {"no Location at all", {202, std::nullopt, ""}, {}, "MissingLocation", 0},
      {"a final answer that is no route list",
       {202, home, ""},
       {200, std::nullopt, "<html>"},
       "InvalidResponseBody",
       1},
      {"a refused poll",
       {202, home, ""},
       {403, std::nullopt, R"({"error":{"code":"AuthorizationFailed","message":"no"}})"},
       "AuthorizationFailed",
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    azure_.clearRequests();
    post_ = c.post;
    poll_ = c.poll;
    const ArmError error = refusal();
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(std::string(error.what()).find("poll-token"), std::string::npos);
    std::size_t gets = 0;
    for (const auto& seen : azure_.requests()) gets += seen.method == "GET";
    EXPECT_EQ(gets, c.polls);
  }
  EXPECT_EQ(elsewhere_.requestCount(), 0u);
}

TEST(GatewayRouteList, AzuresOptionalMembersStayAbsent) {
  const struct {
    const char* body;
    std::vector<GatewayRoute> routes;
  } cases[] = {
      {R"({})", {}},
      {R"({"value": null})", {}},
      {R"({"value": [{}]})", {GatewayRoute{}}},
      {R"({"value": [{"network": "10.1.0.0/16", "asPath": "", "nextHop": null, "weight": 32768,
                      "origin": "EBgp", "unknown": {"x": 1}}]})",
       {GatewayRoute{.network = "10.1.0.0/16", .origin = "EBgp", .as_path = "", .weight = 32768}}},
      {R"({"value": [{"localAddress": "10.0.0.254", "sourcePeer": "10.0.0.254",
                      "nextHop": "10.0.0.254", "weight": -1}, {"network": "::/0"}]})",
       {GatewayRoute{.local_address = "10.0.0.254",
                     .next_hop = "10.0.0.254",
                     .source_peer = "10.0.0.254",
                     .weight = -1},
        GatewayRoute{.network = "::/0"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(parseGatewayRouteList(c.body), c.routes);
  }
}

TEST(GatewayRouteList, WhatCannotBeReadIsNamedByItsPath) {
  const struct {
    const char* body;
    const char* path;
  } cases[] = {
      {"<html>gateway timeout</html>", ""},
      {"[]", ""},
      {R"({"value": {}})", "value"},
      {R"({"value": [1]})", "value[0]"},
      {R"({"value": [{}, {"origin": 5}]})", "value[1].origin"},
      {R"({"value": [{"weight": "32768"}]})", "value[0].weight"},
      {R"({"value": [{"weight": 1.5}]})", "value[0].weight"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    try {
      parseGatewayRouteList(c.body);
      ADD_FAILURE() << "expected MalformedResponseError";
    } catch (const MalformedResponseError& error) {
      EXPECT_EQ(error.path(), c.path);
      EXPECT_EQ(error.kind(), "learned-routes answer");
    }
  }
}

}  // namespace
}  // namespace collab::azure
