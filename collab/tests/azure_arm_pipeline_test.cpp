#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/errors.hpp"
#include "support/arm_json.hpp"
#include "support/captured_log.hpp"
#include "support/fake_time.hpp"
#include "support/loopback_server.hpp"
#include "support/raw_loopback_server.hpp"

namespace collab::azure {
namespace {

using kx::test::LoopbackServer;
using std::chrono::milliseconds;
using ::testing::HasSubstr;
using ::testing::Not;

// Hands out "token-1" and, on every forced refresh, the next number.
class CountingCredential : public TokenCredential {
 public:
  AccessToken getToken(bool forceRefresh) override {
    ++calls;
    if (forceRefresh) ++refreshes;
    return {"token-" + std::to_string(1 + refreshes), std::chrono::system_clock::time_point::max()};
  }
  int calls = 0;
  int refreshes = 0;
};

constexpr const char* kRouteTables =
    "/subscriptions/sub1/providers/Microsoft.Network/routeTables?api-version=2024-05-01";

class ArmPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override { credential_ = std::make_shared<CountingCredential>(); }

  ArmPipeline pipeline(RetryPolicy policy = {}) {
    ArmPipelineOptions options;
    options.retry = time_.retryOptions(policy);
    options.resourceManager = server_.baseUrl();
    return ArmPipeline(credential_, options, std::make_shared<CurlTransport>());
  }

  static void answer(httplib::Response& res, int status, const std::string& body,
                     const std::string& type = "application/json") {
    res.status = status;
    res.set_content(body, type.c_str());
  }

  LoopbackServer server_;
  kx::test::FakeTime time_;
  std::shared_ptr<CountingCredential> credential_;
};

TEST_F(ArmPipelineTest, FollowsNextLinksVerbatimAndKeepsAzureOrder) {
  // Each case ends the listing differently: "" (Capacity), null, or no member at all.
  const std::vector<std::string> endings = {R"(, "nextLink": "")", R"(, "nextLink": null)", ""};
  server_.server().Get(
      R"(/c(\d)/subscriptions/sub1/providers/Microsoft.Network/routeTables)",
      [&](const httplib::Request& req, httplib::Response& res) {
        std::string c = req.matches[1];
        Json page = kx::test::listPage(
            {kx::test::routeTableJson("sub1", "rg1", "rt-a", 2),
             kx::test::routeTableJson("sub1", "rg1", "rt-b", 1)},
            server_.baseUrl() + "/c" + c + "/page2?api-version=2024-05-01&$skiptoken=eyJu%3D%3D");
        answer(res, 200, page.dump());
      });
  server_.server().Get(R"(/c(\d)/page2)", [&](const httplib::Request& req, httplib::Response& res) {
    std::string c = req.matches[1];
    Json page = kx::test::listPage(
        {kx::test::routeTableJson("sub1", "rg2", "rt-c", 0)},
        server_.baseUrl() + "/c" + c + "/page3?api-version=2024-05-01&$skiptoken=2");
    answer(res, 200, page.dump());
  });
  server_.server().Get(R"(/c(\d)/page3)", [&](const httplib::Request& req, httplib::Response& res) {
    answer(res, 200,
           R"({"value": [)" + kx::test::routeTableJson("sub1", "rg3", "rt-d", 3).dump() + "]" +
               endings.at(std::stoi(req.matches[1])) + "}");
  });
  server_.start();

  for (std::size_t c = 0; c < endings.size(); ++c) {
    SCOPED_TRACE(endings[c]);
    server_.clearRequests();
    const std::string prefix = "/c" + std::to_string(c);
    Json items = pipeline().listAll(prefix + kRouteTables);

    std::vector<std::string> names;
    for (const auto& item : items) names.push_back(item.at("name"));
    EXPECT_THAT(names, ::testing::ElementsAre("rt-a", "rt-b", "rt-c", "rt-d"));
    auto seen = server_.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].target, prefix + kRouteTables);
    EXPECT_EQ(seen[1].target, prefix + "/page2?api-version=2024-05-01&$skiptoken=eyJu%3D%3D");
    EXPECT_EQ(seen[2].target, prefix + "/page3?api-version=2024-05-01&$skiptoken=2");
    std::set<std::string> requestIds;
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (const auto& request : seen) {
      EXPECT_EQ(request.header("Authorization"), "Bearer token-1");
      EXPECT_EQ(request.header("Accept"), "application/json");
      EXPECT_TRUE(std::regex_match(request.header("x-ms-client-request-id"), uuid));
      requestIds.insert(request.header("x-ms-client-request-id"));
    }
    EXPECT_EQ(requestIds.size(), 3u) << "each page is its own logical call";
  }
}

TEST_F(ArmPipelineTest, PageHandlerReceivesTheRawBodyAndDecidesTheNextLink) {
  const std::string first = R"({"value":[{"name":"a"}],"nextLink":"/second?api-version=1"})";
  const std::string second = R"({ "value" : [ ] })";
  server_.server().Get(
      "/first", [&](const httplib::Request&, httplib::Response& res) { answer(res, 200, first); });
  server_.server().Get("/second", [&](const httplib::Request&, httplib::Response& res) {
    answer(res, 200, second);
  });
  server_.start();
  std::vector<std::string> bodies;
  pipeline().forEachPage("/first", [&](std::string_view, HttpResponse&& page) {
    bodies.push_back(std::move(page.body));
    return bodies.size() == 1 ? std::optional<std::string>("/second?api-version=1") : std::nullopt;
  });
  EXPECT_THAT(bodies, ::testing::ElementsAre(first, second));
}

TEST_F(ArmPipelineTest, ANextLinkAlreadyFetchedStopsTheListing) {
  server_.server().Get("/loop", [&](const httplib::Request&, httplib::Response& res) {
    answer(res, 200, R"({"value":[1],"nextLink":")" + server_.baseUrl() + R"(/loop?x=1"})");
  });
  server_.start();
  try {
    pipeline().listAll("/loop?x=1");
    FAIL() << "no error";
  } catch (const ArmError& error) {
    EXPECT_EQ(error.code(), "RepeatedNextLink");
  }
  EXPECT_EQ(server_.requestCount(), 1u);
}

// Next links that never repeat would be followed for ever: a listing stops at its page limit
// with an error naming it, and one that ends at the limit is whole.
TEST_F(ArmPipelineTest, AListingEndsWithAClearErrorAtItsPageLimit) {
  int lastPage = 0;  // /list?page=1, then /next?page=2..lastPage; 0: without end
  const auto page = [&](const httplib::Request& req, httplib::Response& res) {
    const int n = std::stoi(req.get_param_value("page"));
    const bool more = lastPage == 0 || n < lastPage;
    answer(res, 200,
           R"({"value":[)" + std::to_string(n) + "]" +
               (more ? R"(,"nextLink":")" + server_.baseUrl() +
                           "/next?page=" + std::to_string(n + 1) + R"("})"
                     : std::string("}")));
  };
  server_.server().Get("/list", page);
  server_.server().Get("/next", page);
  server_.start();
  struct Case {
    int pages;
    int maxPages;
    bool ends;
  };
  for (const Case c : {Case{0, 25, false}, Case{25, 25, true}, Case{26, 25, false}}) {
    SCOPED_TRACE(std::to_string(c.pages) + " pages, at most " + std::to_string(c.maxPages));
    lastPage = c.pages;
    server_.clearRequests();
    ArmPipelineOptions options;
    options.retry = time_.retryOptions({});
    options.resourceManager = server_.baseUrl();
    options.maxPages = c.maxPages;
    ArmPipeline arm(credential_, options, std::make_shared<CurlTransport>());
    try {
      const Json items = arm.listAll("/list?page=1");
      EXPECT_TRUE(c.ends);
      EXPECT_EQ(items.size(), static_cast<std::size_t>(c.pages));
    } catch (const ArmError& error) {
      EXPECT_FALSE(c.ends) << error.what();
      EXPECT_EQ(error.code(), "TooManyPages");
      EXPECT_TRUE(error.path().starts_with("/list?")) << error.path();  // by its first page
      EXPECT_THAT(error.what(), HasSubstr("after 25 pages"));
    }
    // Not one request beyond the limit, not even the page fetched ahead.
    EXPECT_EQ(server_.requestCount(), static_cast<std::size_t>(c.maxPages));
  }
}

TEST_F(ArmPipelineTest, ThrottledCallWaitsForRetryAfterThenSucceeds) {
  int calls = 0;
  server_.server().Get("/subscriptions", [&](const httplib::Request&, httplib::Response& res) {
    if (++calls == 1) {
      res.set_header("Retry-After", "7");
      answer(res, 429,
             R"({"error":{"code":"SubscriptionRequestsThrottled","message":"slow down"}})");
      return;
    }
    answer(res, 200, R"({"value":[]})");
  });
  server_.start();
  kx::test::CapturedLog log("netscout");

  HttpResponse response = pipeline().get("/subscriptions?api-version=2015-01-01");

  EXPECT_EQ(response.status, 200);
  EXPECT_THAT(time_.sleeps(), ::testing::ElementsAre(milliseconds(7000)));
  auto warnings = log.at(spdlog::level::warn);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0],
            "ARM GET /subscriptions?api-version=2015-01-01 answered HTTP 429; retrying in 7.0 s "
            "(attempt 2 of 5)");
  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header("x-ms-client-request-id"), seen[1].header("x-ms-client-request-id"))
      << "retries belong to the same logical call";
}

TEST_F(ArmPipelineTest, ServerErrorsUntilTheBudgetIsSpentGiveOneClearError) {
  server_.server().Get("/busy", [&](const httplib::Request&, httplib::Response& res) {
    res.set_header("x-ms-request-id", "req-42");
    res.set_header("x-ms-correlation-request-id", "corr-7");
    answer(res, 500, R"({"error":{"code":"InternalServerError","message":"try later"}})");
  });
  server_.start();
  RetryPolicy policy;
  policy.maxAttempts = 4;
  policy.baseDelay = milliseconds(800);
  kx::test::CapturedLog log("netscout");
  try {
    pipeline(policy).get("/busy?api-version=1&$skiptoken=abc");
    FAIL() << "no error";
  } catch (const ArmError& error) {
    EXPECT_EQ(error.status(), 500);
    EXPECT_EQ(error.code(), "InternalServerError");
    EXPECT_EQ(error.armMessage(), "try later");
    EXPECT_EQ(error.attempts(), 4);
    EXPECT_EQ(error.path(), "/busy?api-version=1&$skiptoken=REDACTED");
    EXPECT_EQ(std::string(error.what()),
              "ARM GET /busy?api-version=1&$skiptoken=REDACTED: HTTP 500 InternalServerError: "
              "try later (after 4 attempts) [x-ms-request-id: req-42, "
              "x-ms-correlation-request-id: corr-7]");
  }
  EXPECT_EQ(server_.requestCount(), 4u);
  EXPECT_THAT(time_.sleeps(),
              ::testing::ElementsAre(milliseconds(800), milliseconds(1600), milliseconds(3200)));
  EXPECT_EQ(log.at(spdlog::level::warn).size(), 3u);
}

TEST_F(ArmPipelineTest, AServerWaitBeyondTheBudgetFailsAtOnce) {
  server_.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    res.set_header("Retry-After", "3600");
    answer(res, 429, R"({"error":{"code":"TenantRequestsThrottled","message":"later"}})");
  });
  server_.start();
  try {
    pipeline().get("/slow");
    FAIL() << "no error";
  } catch (const ArmError& error) {
    EXPECT_EQ(error.status(), 429);
    EXPECT_EQ(error.code(), "TenantRequestsThrottled");
  }
  EXPECT_TRUE(time_.sleeps().empty());
  EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(ArmPipelineTest, ErrorBodiesOfEveryShapeGiveCodeAndMessage) {
  struct Case {
    int status;
    std::string body;
    std::string type;
    std::string code;
    std::string message;
  } cases[] = {
      {403,
       R"({"error":{"code":"AuthorizationFailed","message":"The client 'x' does not have authorization","target":null,"details":[]}})",
       "application/json", "AuthorizationFailed", "The client 'x' does not have authorization"},
      {404,
       R"({"error":{"code":"ResourceGroupNotFound","message":"Resource group 'rg' could not be found."}})",
       "application/json", "ResourceGroupNotFound", "Resource group 'rg' could not be found."},
      {400,
       R"({"error":"invalid_request","error_description":"AADSTS90002: Tenant 't' not found.\r\nTrace ID: 1\r\nCorrelation ID: 2"})",
       "application/json", "invalid_request", "AADSTS90002: Tenant 't' not found."},
      {409, "", "application/json", "", "(empty response body)"},
      {502, "<html><body>\n<h1>502 Bad Gateway</h1></body></html>", "text/html", "",
       "(non-JSON response body: <html><body> <h1>502 Bad Gateway</h1></body></html>)"},
      {400, R"({"error":{"code":"BadRe)", "application/json", "",
       R"((non-JSON response body: {"error":{"code":"BadRe))"},
      {400, R"({"unexpected": true})", "application/json", "",
       R"((response body without an error object: {"unexpected": true}))"},
      {400, R"({"error":{"code":"InvalidApiVersionParameter"}})", "application/json",
       "InvalidApiVersionParameter", "(error without a message)"},
  };
  server_.server().Get(R"(/e(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
    const Case& c = cases[std::stoi(req.matches[1])];
    res.status = c.status;
    if (!c.body.empty()) res.set_content(c.body, c.type.c_str());
  });
  server_.start();
  RetryPolicy once;
  once.maxAttempts = 1;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.body);
    const std::string path = "/e" + std::to_string(i) + "?api-version=2";
    try {
      pipeline(once).get(path);
      ADD_FAILURE() << "no error";
    } catch (const ArmError& error) {
      EXPECT_EQ(error.status(), c.status);
      EXPECT_EQ(error.code(), c.code);
      EXPECT_EQ(error.armMessage(), c.message);
      EXPECT_EQ(error.method(), "GET");
      EXPECT_THAT(error.what(), HasSubstr("GET " + path + ": HTTP " + std::to_string(c.status)));
      EXPECT_THAT(error.what(), Not(HasSubstr("token-1")));
    }
  }
}

TEST_F(ArmPipelineTest, MalformedOrTruncatedListPagesAreClearErrors) {
  struct Case {
    std::string body;
    std::string messagePart;
  } cases[] = {
      {R"({"value": [{"name": "rt1"}, {"name": )", "not valid JSON"},
      {"<html>maintenance</html>", "not valid JSON"},
      {"", "not valid JSON"},
      {R"({"values": []})", "no 'value' array"},
      {R"({"value": {"name": "rt1"}})", "no 'value' array"},
      {R"([{"name": "rt1"}])", "no 'value' array"},
      {R"({"value": [], "nextLink": 5})", "nextLink is a JSON number"},
  };
  server_.server().Get(R"(/m(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_header("x-ms-request-id", "rid-9");
    res.set_content(cases[std::stoi(req.matches[1])].body, "application/json");
  });
  server_.start();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].body);
    const std::string path = "/m" + std::to_string(i) + "?api-version=3";
    try {
      pipeline().listAll(path);
      ADD_FAILURE() << "no error";
    } catch (const ArmError& error) {
      EXPECT_EQ(error.status(), 200);
      EXPECT_EQ(error.code(), "InvalidResponseBody");
      EXPECT_THAT(error.armMessage(), HasSubstr(cases[i].messagePart));
      EXPECT_EQ(error.requestId(), "rid-9");
      EXPECT_EQ(error.path(), path);
    }
  }
}

TEST_F(ArmPipelineTest, DroppedConnectionIsRetried) {
  int calls = 0;
  server_.server().Get("/flaky", [&](const httplib::Request&, httplib::Response& res) {
    if (++calls == 1) {
      res.set_content_provider(500, "application/json",
                               [](size_t, size_t, httplib::DataSink& sink) {
                                 sink.write("{\"val", 5);
                                 return false;
                               });
      return;
    }
    answer(res, 200, R"({"value":[{"name":"x"}]})");
  });
  server_.start();
  Json items = pipeline().listAll("/flaky");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(time_.sleeps().size(), 1u);
  EXPECT_EQ(calls, 2);
}

TEST_F(ArmPipelineTest, UnauthorizedFetchesAFreshTokenOnceAndRetriesOnce) {
  server_.server().Get("/auth", [&](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Authorization") == "Bearer token-2") {
      answer(res, 200, "{}");
    } else {
      answer(
          res, 401,
          R"({"error":{"code":"ExpiredAuthenticationToken","message":"The access token expiry UTC time is earlier than current UTC time."}})");
    }
  });
  server_.server().Get("/never", [&](const httplib::Request&, httplib::Response& res) {
    answer(res, 401, R"({"error":{"code":"InvalidAuthenticationToken","message":"bad"}})");
  });
  server_.start();
  EXPECT_EQ(pipeline().get("/auth").status, 200);
  EXPECT_EQ(credential_->refreshes, 1);
  EXPECT_EQ(server_.requestCount(), 2u);

  server_.clearRequests();
  try {
    pipeline().get("/never");
    FAIL() << "no error";
  } catch (const ArmError& error) {
    EXPECT_EQ(error.status(), 401);
    EXPECT_EQ(error.code(), "InvalidAuthenticationToken");
    EXPECT_EQ(error.attempts(), 2);
    EXPECT_THAT(error.what(), Not(HasSubstr("token-")));
  }
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_TRUE(time_.sleeps().empty());

  // A token that cannot be refreshed is not sent twice.
  server_.clearRequests();
  ArmPipelineOptions options;
  options.resourceManager = server_.baseUrl();
  ArmPipeline fixed(std::make_shared<StaticTokenCredential>("fixed"), options);
  EXPECT_THROW(fixed.get("/never"), ArmError);
  EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(ArmPipelineTest, PostsAcceptedWithEmptyBodyAndSendsJsonBodies) {
  server_.server().Post(".*/getLearnedRoutes",
                        [&](const httplib::Request&, httplib::Response& res) {
                          res.status = 202;
                          res.set_header("Location", server_.baseUrl() + "/operationResults/1");
                        });
  server_.server().Post("/providers/Microsoft.ResourceGraph/resources",
                        [&](const httplib::Request& req, httplib::Response& res) {
                          answer(res, 200, R"({"totalRecords":0,"count":0,"data":[]})");
                          (void)req;
                        });
  server_.start();
  HttpResponse accepted = pipeline().post(
      "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworkGateways/gw/"
      "getLearnedRoutes?api-version=2020-11-01");
  EXPECT_EQ(accepted.status, 202);
  EXPECT_TRUE(accepted.body.empty());

  std::string query =
      R"({"subscriptions":["s"],"query":"Resources","options":{"resultFormat":"objectArray"}})";
  pipeline().post("/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01", query);

  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header("Content-Length"), "0");
  EXPECT_FALSE(seen[0].hasHeader("Content-Type"));
  EXPECT_EQ(seen[1].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[1].body, query);
}

TEST_F(ArmPipelineTest, CallsMarkedNotRepeatableRetryOnlyThrottling) {
  int calls = 0;
  server_.server().Post("/act", [&](const httplib::Request&, httplib::Response& res) {
    ++calls;
    if (calls == 1) {
      res.set_header("Retry-After", "1");
      answer(res, 429, "");
    } else {
      answer(res, 503, "");
    }
  });
  server_.start();
  EXPECT_THROW(pipeline().send("POST", "/act", std::nullopt, /*repeatable=*/false), ArmError);
  EXPECT_EQ(calls, 2);
}

TEST(ArmPipelineResend, EverySendIsAnAttemptTheRetryPolicyCountsAndLogs) {
  // After one answered call every request is read and its connection closed unanswered; the
  // first lost request went out on a kept-alive connection.  A repeatable call is sent exactly
  // `maxAttempts` times, each resend logged; a call marked not repeatable is sent once, and on
  // a connection of its own, so an idle connection the server dropped cannot lose it.
  struct Case {
    const char* method;
    bool repeatable;
    std::size_t sends;
    std::size_t warnings;
    bool onTheWarmConnection;
  } cases[] = {{"GET", true, 5, 4, true}, {"POST", false, 1, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    kx::test::RawLoopbackServer server([](const kx::test::RawRequest& seen) {
      return seen.target == "/warm" ? std::optional(kx::test::RawLoopbackServer::answer(200))
                                    : std::nullopt;
    });
    kx::test::FakeTime time;
    ArmPipelineOptions options;
    options.retry = time.retryOptions(RetryPolicy{.maxAttempts = 5});
    options.resourceManager = server.baseUrl();
    ArmPipeline arm(std::make_shared<CountingCredential>(), options,
                    std::make_shared<CurlTransport>());
    ASSERT_EQ(arm.get("/warm").status, 200);
    kx::test::CapturedLog log("netscout");
    EXPECT_THROW(arm.send(c.method, "/lost", std::nullopt, c.repeatable), TransportError);
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1 + c.sends);
    EXPECT_EQ(seen[1].connection == seen[0].connection, c.onTheWarmConnection);
    auto warnings = log.at(spdlog::level::warn);
    EXPECT_EQ(warnings.size(), c.warnings);
    if (!warnings.empty()) {
      EXPECT_THAT(warnings.back(), HasSubstr("(attempt 5 of 5)"));
    }
  }
}

TEST_F(ArmPipelineTest, TargetsMustBePathsOrAbsoluteUrls) {
  server_.start();
  auto arm = pipeline();
  EXPECT_EQ(arm.resolve("/subscriptions"), server_.baseUrl() + "/subscriptions");
  EXPECT_EQ(arm.resolve("https://management.azure.com/x?a=1"),
            "https://management.azure.com/x?a=1");
  EXPECT_THROW(arm.resolve("subscriptions"), InvalidValueError);
  EXPECT_THROW(ArmPipeline(nullptr), InvalidValueError);
}

}  // namespace
}  // namespace collab::azure
