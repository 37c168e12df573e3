#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/arm_requests.hpp"
#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/recording_transport.hpp"
#include "collab/azure/replay_transport.hpp"
#include "collab/json_nesting.hpp"
#include "support/arm_json.hpp"
#include "support/fake_time.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"
#include "support/test_certificate.hpp"

namespace collab::azure {
namespace {

using kx::test::LoopbackServer;
using ::testing::HasSubstr;

constexpr const char* kSecret = "Zq8~rT.cassette-secret_value";
constexpr const char* kToken = "eyJhbGciOi.cassette-access-token.sig";

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What one scripted session against Azure observed: every answer, or the error text.
struct Observed {
  std::vector<std::string> outcomes;
  friend bool operator==(const Observed&, const Observed&) = default;
};

std::string describe(const HttpResponse& response) {
  // JSON bodies compare as JSON: a cassette keeps them as JSON, not byte for byte.
  Json body = Json::parse(response.body, nullptr, false);
  return std::to_string(response.status) + " " +
         (body.is_discarded() ? response.body : body.dump()) +
         " rid=" + response.headers.get("x-ms-request-id").value_or("-");
}

// The calls a discovery run would make: token, a paged listing, a Resource Graph query, a
// learned-routes POST, the same GET twice (different answers), and a failing call.
Observed runSession(const std::string& baseUrl, std::shared_ptr<Transport> transport,
                    kx::test::FakeTime& time) {
  ClientSecretCredentialOptions credentialOptions;
  credentialOptions.transport = transport;
  credentialOptions.endpoints = kx::test::loopbackEndpoints(baseUrl);
  credentialOptions.retry = time.retryOptions();
  auto credential =
      std::make_shared<ClientSecretCredential>("tenant-r", "app-r", kSecret, credentialOptions);
  ArmPipelineOptions options;
  options.resourceManager = baseUrl;
  options.retry = time.retryOptions();
  ArmPipeline arm(credential, options, transport);

  Observed observed;
  observed.outcomes.push_back(
      arm.listAll(
             "/subscriptions/s1/providers/Microsoft.Network/routeTables?api-version=2024-05-01")
          .dump());
  observed.outcomes.push_back(describe(arm.post(
      "/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
      R"({"subscriptions":["s1"],"query":"Resources | project id","options":{"resultFormat":"objectArray"}})")));
  observed.outcomes.push_back(describe(arm.post(
      "/subscriptions/s1/resourceGroups/rg/providers/Microsoft.Network/virtualNetworkGateways/gw/"
      "getLearnedRoutes?api-version=2020-11-01")));
  observed.outcomes.push_back(describe(arm.get("/counter?api-version=1")));
  observed.outcomes.push_back(describe(arm.get("/counter?api-version=1")));
  try {
    arm.get("/subscriptions/s1/resourcegroups/missing?api-version=2021-04-01");
  } catch (const ArmError& error) {
    observed.outcomes.push_back(error.what());
  }
  observed.outcomes.push_back("token " + credential->getToken().token);
  return observed;
}

class CassetteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server_.server();
    s.Post(R"(/tenant-r/oauth2/token)", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Set-Cookie", "fpc=AkG2; path=/; secure; HttpOnly");
      res.set_content(
          std::string(
              R"({"token_type":"Bearer","expires_in":"3599","expires_on":"1700003599","access_token":")") +
              kToken + "\"}",
          "application/json");
    });
    s.Get("/subscriptions/s1/providers/Microsoft.Network/routeTables",
          [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("x-ms-request-id", "rid-page-1");
            res.set_content(
                kx::test::listPage({kx::test::routeTableJson("s1", "rg", "rt1", 2)},
                                   server_.baseUrl() + "/next?api-version=2024-05-01&$skiptoken=t1")
                    .dump(),
                "application/json");
          });
    s.Get("/next", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          kx::test::listPage({kx::test::routeTableJson("s1", "rg", "rt2", 1)}, "").dump(),
          "application/json");
    });
    s.Post("/providers/Microsoft.ResourceGraph/resources",
           [](const httplib::Request&, httplib::Response& res) {
             res.set_content(
                 R"({"totalRecords":1,"count":1,"resultTruncated":"false","data":[{"id":"/x"}]})",
                 "application/json");
           });
    s.Post(".*/getLearnedRoutes", [](const httplib::Request&, httplib::Response& res) {
      res.status = 202;
      res.set_header("Location", "https://management.azure.com/operationResults/1");
      res.set_header("Retry-After", "10");
    });
    s.Get("/counter", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content("call " + std::to_string(++counter_), "text/plain");
    });
    s.Get("/subscriptions/s1/resourcegroups/missing", [](const httplib::Request&,
                                                         httplib::Response& res) {
      res.status = 404;
      res.set_header("x-ms-request-id", "rid-404");
      res.set_content(
          R"({"error":{"code":"ResourceGroupNotFound","message":"Resource group 'missing' could not be found."}})",
          "application/json");
    });
    server_.start();
  }

  std::string cassette(const std::string& name) const { return dir_.file(name); }

  kx::test::TempDir dir_;
  LoopbackServer server_;
  kx::test::FakeTime time_;
  int counter_ = 0;
};

TEST_F(CassetteTest, RecordedSessionReplaysIdenticallyWithTheServerStopped) {
  Observed live;
  {
    auto recorder = std::make_shared<RecordingTransport>(std::make_shared<CurlTransport>(),
                                                         cassette("run.json"));
    live = runSession(server_.baseUrl(), recorder, time_);
    recorder->save();
  }
  server_.stop();

  // Another endpoint, no server at all: only the cassette answers.
  auto replay = std::make_shared<ReplayTransport>(cassette("run.json"));
  Observed replayed = runSession("https://127.0.0.1:9", replay, time_);

  ASSERT_EQ(live.outcomes.size(), replayed.outcomes.size());
  for (std::size_t i = 0; i + 1 < live.outcomes.size(); ++i) {
    EXPECT_EQ(replayed.outcomes[i], live.outcomes[i]) << "call " << i;
  }
  EXPECT_EQ(live.outcomes.back(), std::string("token ") + kToken);
  EXPECT_EQ(replayed.outcomes.back(), std::string("token ") + kRedactedToken);
  EXPECT_EQ(replay->remaining(), 0u);
  EXPECT_EQ(live.outcomes[3], "200 call 1 rid=-");
  EXPECT_EQ(live.outcomes[4], "200 call 2 rid=-");
}

TEST_F(CassetteTest, ATokenRecordedLongAgoIsFreshWhenReplayed) {
  // The server's token expired in 2023.  Replayed as recorded, it would be expired on arrival
  // and the credential would ask again for a token the cassette holds only once.
  auto recorder = std::make_shared<RecordingTransport>(std::make_shared<CurlTransport>(),
                                                       cassette("old.json"));
  ClientSecretCredentialOptions options;  // the real clock
  options.transport = recorder;
  options.endpoints = kx::test::loopbackEndpoints(server_.baseUrl());
  ClientSecretCredential("tenant-r", "app-r", kSecret, options).getToken();

  auto replay = std::make_shared<ReplayTransport>(recorder->cassette());
  options.transport = replay;
  ClientSecretCredential credential("tenant-r", "app-r", "not-needed", options);
  const AccessToken first = credential.getToken();
  EXPECT_EQ(first.token, kRedactedToken);
  EXPECT_GT(first.expiresOn, std::chrono::system_clock::now() + std::chrono::minutes(55));
  EXPECT_EQ(credential.getToken().token, kRedactedToken);  // reused, not asked for again
  EXPECT_EQ(replay->remaining(), 0u);
}

TEST_F(CassetteTest, CassetteIsReadableAndOrdered) {
  {
    RecordingTransport recorder(std::make_shared<CurlTransport>(), cassette("order.json"));
    HttpRequest first{"GET",
                      server_.baseUrl() + "/counter?api-version=1",
                      {{"Zeta", "z"}, {"Alpha", "a"}, {"Authorization", "Bearer abcdefgh"}},
                      ""};
    recorder.send(first);
    recorder.send(first);
  }  // saved on destruction
  std::string text = readText(cassette("order.json"));
  EXPECT_EQ(text.find("abcdefgh"), std::string::npos) << "the bearer token was recorded";
  EXPECT_EQ(text.rfind("{\n  \"format\": \"kx-arm-cassette\",\n  \"version\": 1,\n", 0), 0u)
      << text;
  Json doc = Json::parse(text);
  ASSERT_EQ(doc["exchanges"].size(), 2u);
  const Json& request = doc["exchanges"][0]["request"];
  EXPECT_EQ(request["method"], "GET");
  EXPECT_EQ(request["path"], "/counter?api-version=1");
  std::vector<std::string> names;
  for (auto it = request["headers"].begin(); it != request["headers"].end(); ++it) {
    names.push_back(it.key());
  }
  EXPECT_THAT(names, ::testing::ElementsAre("alpha", "zeta"));
  EXPECT_EQ(doc["exchanges"][0]["response"]["text"], "call 1");
  EXPECT_EQ(doc["exchanges"][1]["response"]["text"], "call 2");
}

TEST_F(CassetteTest, NoCassetteHoldsTheSecretOrTheToken) {
  {
    auto recorder =
        std::make_shared<RecordingTransport>(std::make_shared<CurlTransport>(), cassette("a.json"));
    runSession(server_.baseUrl(), recorder, time_);
  }
  {
    // The default-transport route a driver would use.
    kx::test::ScopedDefaultTransport scoped(std::make_shared<RecordingTransport>(
        std::make_shared<CurlTransport>(), cassette("b.json")));
    kx::test::ScopedEndpoints endpoints(kx::test::loopbackEndpoints(server_.baseUrl()));
    ClientSecretCredential credential("tenant-r", "app-r", kSecret);
    ArmPipeline(std::make_shared<ClientSecretCredential>("tenant-r", "app-r", kSecret))
        .get("/counter?api-version=1");
  }
  std::vector<std::string> forbidden = {
      kSecret,  kToken,     "cassette-secret", "cassette-access-token",
      "Zq8~rT", "fpc=AkG2", "Bearer eyJ"};
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().extension() != ".json") continue;
    ++files;
    std::string text = readText(entry.path().string());
    SCOPED_TRACE(entry.path().string());
    EXPECT_THAT(text, HasSubstr("client_secret=REDACTED"));
    for (const auto& secret : forbidden) EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    EXPECT_EQ(Json::parse(text).dump().find("authorization"), std::string::npos);
  }
  EXPECT_EQ(files, 2);
}

TEST(CassetteScrubbing, ABearerTokenSetDirectlyIsScrubbedWhereverTheServerEchoesIt) {
  // No token request is recorded: the only place the recorder meets the token is the
  // Authorization header it drops.  The server hands it back in headers, bodies and next links,
  // raw and percent-encoded as a URL carries it.
  const std::string token = "eyJ0eXAiOiJKV1Qi.direct+token/value==";
  LoopbackServer server;
  auto echoed = [](const httplib::Request& req) {
    std::string auth = req.get_header_value("Authorization");
    return auth.substr(auth.find(' ') + 1);
  };
  server.server().Get("/subscriptions/", [&](const httplib::Request& req, httplib::Response& res) {
    std::string seen = echoed(req);
    res.set_header("x-ms-echo", "Bearer " + seen);
    res.set_header("Location", server.baseUrl() + "/op/" + seen);
    Json page = {{"value", {{{"subscriptionId", "s1"}, {"note", "sent with " + seen}}}},
                 {"nextLink", server.baseUrl() + "/subscriptions/?api-version=2015-01-01&page=" +
                                  httplib::detail::encode_query_param(seen)}};
    if (req.has_param("page")) page.erase("nextLink");
    res.set_content(page.dump(), "application/json");
  });
  server.server().Get("/text", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_content("your token: " + echoed(req), "text/plain");
  });
  server.start();
  kx::test::TempDir dir;
  auto recorder =
      std::make_shared<RecordingTransport>(std::make_shared<CurlTransport>(), dir.file("c.json"));
  ArmPipelineOptions options;
  options.resourceManager = server.baseUrl();
  EXPECT_EQ(requestSubscriptions(token, options, recorder).size(), 2u);
  ArmPipeline(std::make_shared<StaticTokenCredential>(token), options, recorder).get("/text");
  recorder->save();

  std::string text = readText(dir.file("c.json"));
  EXPECT_THAT(text, HasSubstr("your token: REDACTED"));
  for (const std::string& form :
       {token, std::string("direct+token"), httplib::detail::encode_query_param(token),
        std::string("direct%2Btoken")}) {
    EXPECT_EQ(text.find(form), std::string::npos) << form << " in\n" << text;
  }
}

TEST_F(CassetteTest, ReplayNamesWhatItLacksAndReplaysRepeatsInOrder) {
  Json cassetteDoc;
  {
    RecordingTransport recorder(std::make_shared<CurlTransport>(), cassette("small.json"));
    HttpRequest get{"GET", server_.baseUrl() + "/counter?api-version=1", {}, ""};
    recorder.send(get);
    recorder.send(get);
    HttpRequest post{
        "POST",
        server_.baseUrl() + "/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
        {{"Content-Type", "application/json"}},
        R"({"query":"a"})"};
    recorder.send(post);
    cassetteDoc = recorder.cassette();
  }
  ReplayTransport replay(cassetteDoc);
  HttpRequest get{"GET", "https://elsewhere.example/counter?api-version=1", {}, ""};
  EXPECT_EQ(replay.send(get).body, "call 1");
  EXPECT_EQ(replay.send(get).body, "call 2");
  try {
    replay.send(get);
    FAIL() << "a third answer was invented";
  } catch (const ReplayMissError& error) {
    EXPECT_FALSE(error.retryable());
    EXPECT_THAT(error.what(), HasSubstr("GET /counter?api-version=1"));
    EXPECT_THAT(error.what(), HasSubstr("already replayed"));
  }
  try {
    replay.send({"GET", "https://x/subscriptions?api-version=2015-01-01&sig=abc", {}, ""});
    FAIL() << "an unrecorded request was answered";
  } catch (const ReplayMissError& error) {
    EXPECT_THAT(
        error.what(),
        HasSubstr("no recorded answer for GET /subscriptions?api-version=2015-01-01&sig=REDACTED"));
    EXPECT_THAT(error.what(), ::testing::Not(HasSubstr("abc")));
  }
  HttpRequest otherQuery{
      "POST",
      "https://x/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
      {{"Content-Type", "application/json"}},
      R"({"query":"b"})"};
  EXPECT_THROW(
      {
        try {
          replay.send(otherQuery);
        } catch (const ReplayMissError& error) {
          EXPECT_THAT(error.what(), HasSubstr("different body"));
          throw;
        }
      },
      ReplayMissError);
  otherQuery.body = R"({"query":"a"})";
  EXPECT_EQ(Json::parse(replay.send(otherQuery).body)["count"], 1);
  EXPECT_EQ(replay.remaining(), 0u);
}

TEST_F(CassetteTest, RecordedTransportFailuresReplayAsFailures) {
  int closedPort = 0;
  {
    LoopbackServer closed;
    closed.start();
    closedPort = closed.port();
  }
  RecordingTransport recorder(std::make_shared<CurlTransport>(), cassette("fail.json"));
  HttpRequest request{"GET", "http://127.0.0.1:" + std::to_string(closedPort) + "/x", {}, ""};
  EXPECT_THROW(recorder.send(request), TransportError);
  ReplayTransport replay(recorder.cassette());
  try {
    replay.send(request);
    FAIL() << "no error";
  } catch (const ReplayMissError&) {
    FAIL() << "the failure was recorded";
  } catch (const TransportError& error) {
    EXPECT_TRUE(error.retryable());
  }
}

TEST(ReplayTransport, RejectsFilesThatAreNotCassettes) {
  kx::test::TempDir dir;
  std::ofstream(dir.file("bad.json")) << R"({"exchanges": 3})";
  EXPECT_THROW(ReplayTransport(dir.file("bad.json")), std::runtime_error);
  EXPECT_THROW(ReplayTransport(dir.file("absent.json")), std::runtime_error);

  // A damaged exchange is named when the cassette is loaded, not met as a JSON library
  // exception in the middle of a replayed run.
  const Json request = {{"method", "GET"}, {"path", "/x"}};
  const std::pair<Json, const char*> damaged[] = {
      {Json::array({3}), "exchange 1: it is not an object"},
      {{{"request", request}}, "exchange 1: no 'response' (and no 'error')"},
      {{{"request", {{"method", "GET"}}}, {"response", {{"status", 200}}}},
       "exchange 1: request: no 'path'"},
      {{{"request", request}, {"response", {{"status", "200"}}}},
       "response: 'status' is not a whole number"},
      {{{"request", request}, {"response", {{"status", 2000}}}},
       "response: 'status' is not an HTTP status"},
      {{{"request", request}, {"response", {{"status", 200}, {"headers", {{"a", 1}}}}}},
       "response: a header value is not text"},
      {{{"request", request}, {"error", {{"retryable", "yes"}}}},
       "error: 'retryable' is not true or false"},
  };
  for (const auto& [exchange, message] : damaged) {
    Json exchanges = exchange.is_array() ? exchange : Json::array({exchange});
    Json doc = {{"format", "kx-arm-cassette"}, {"version", 1}, {"exchanges", exchanges}};
    SCOPED_TRACE(doc.dump());
    try {
      ReplayTransport replay(doc, "c.json");
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr(message));
    }
  }
  EXPECT_THROW(ReplayTransport(Json{{"format", 1}, {"exchanges", Json::array()}}),
               std::runtime_error);
}

// A cassette of another version, or nested deeper than a replay can copy and compare (the
// JSON library recurses per level there), is refused as not usable when it is loaded, whether
// or not the run would ever ask for the exchange that holds it.
TEST(ReplayTransport, RefusesOtherVersionsAndNestingBeyondTheBound) {
  kx::test::TempDir dir;
  const std::string exchange =
      R"({"request": {"method": "GET", "path": "/never-asked"}, "response": {"status": 200, "json": )";
  const auto cassetteText = [&](const std::string& version, const std::string& body) {
    return R"({"format": "kx-arm-cassette", )" + version + R"("exchanges": [)" + exchange + body +
           "}}]}";
  };
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  struct Case {
    const char* what;
    std::string text;
    const char* refusal;  // nullptr: loads
  };
  const Case cases[] = {
      {"version 1", cassetteText(R"("version": 1, )", "{}"), nullptr},
      {"version 99", cassetteText(R"("version": 99, )", "{}"), "version 99"},
      {"version as text", cassetteText(R"("version": "1", )", "{}"), "version \"1\""},
      {"no version", cassetteText("", "{}"), "version missing"},
      {"nested within the bound", cassetteText(R"("version": 1, )", nested(kMaxJsonNesting - 4)),
       nullptr},
      {"nested 65,000 deep", cassetteText(R"("version": 1, )", nested(65000)),
       "nests deeper than 256 levels"},
      {"brackets in a text do not nest",
       cassetteText(R"("version": 1, )", "\"" + std::string(5000, '[') + "\""), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(dir.file("c.json")) << c.text;
    try {
      ReplayTransport replay(dir.file("c.json"));
      EXPECT_EQ(c.refusal, nullptr) << "loaded";
      EXPECT_EQ(replay.remaining(), 1u);
    } catch (const std::runtime_error& error) {
      ASSERT_NE(c.refusal, nullptr) << error.what();
      EXPECT_THAT(error.what(), HasSubstr("is not a usable cassette"));
      EXPECT_THAT(error.what(), HasSubstr(c.refusal));
    }
  }
}

TEST(JsonNesting, CountsBracketsOutsideTextsAndStopsPastTheBound) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"3", 0},
      {"[]", 1},
      {R"({"a": [1, {"b": []}], "c": {}})", 4},
      {R"(["]]]", "[[[[", "\"[[["])", 1},
      {R"({"a\\": [[]]})", 3},
      {"]]][[", 2},  // the parser refuses it; only the depth reached counts here
  };
  for (const auto& [text, depth] : cases) EXPECT_EQ(jsonNestingDepth(text), depth) << text;
  EXPECT_EQ(jsonNestingDepth(std::string(100000, '['), 10), 11u);
}

}  // namespace
}  // namespace collab::azure
