// The subscription listing and the learned-routes request, against a loopback server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_requests.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/errors.hpp"
#include "support/fake_time.hpp"
#include "support/loopback_server.hpp"
#include "support/scoped_azure_settings.hpp"

namespace collab::azure {
namespace {

using kx::test::LoopbackServer;
using ::testing::HasSubstr;

constexpr const char* kToken = "eyJ0eXAi.requests-token.sig";

class ArmRequestsTest : public ::testing::Test {
 protected:
  ArmPipelineOptions options() {
    ArmPipelineOptions o;
    o.resourceManager = server_.baseUrl();
    o.retry = time_.retryOptions();
    return o;
  }
  std::shared_ptr<Transport> transport() { return std::make_shared<CurlTransport>(); }

  LoopbackServer server_;
  kx::test::FakeTime time_;
};

TEST_F(ArmRequestsTest, SubscriptionsOfEveryPageInOrder) {
  server_.server().Get("/subscriptions/", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(
        R"({"value":[{"id":"/subscriptions/s-1","subscriptionId":"s-1","displayName":"Prod","state":"Enabled",)"
        R"("subscriptionPolicies":{"quotaId":"EnterpriseAgreement_2014-09-01","spendingLimit":"Off"}},)"
        R"({"id":"/subscriptions/s-2","subscriptionId":"s-2","displayName":"Dev","state":"Warned"}],)"
        R"("nextLink":")" +
            server_.baseUrl() + R"(/subscriptions?api-version=2015-01-01&$skiptoken=abc"})",
        "application/json");
  });
  server_.server().Get("/subscriptions", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"value":[{"subscriptionId":"s-3","displayName":"Lab"}]})",
                    "application/json");
  });
  server_.start();

  Json entries = requestSubscriptions(kToken, options(), transport());

  std::vector<std::string> seen;
  for (const auto& entry : entries) {
    seen.push_back(entry.at("displayName").get<std::string>() + ":" +
                   entry.at("subscriptionId").get<std::string>());
  }
  EXPECT_THAT(seen, ::testing::ElementsAre("Prod:s-1", "Dev:s-2", "Lab:s-3"));
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/subscriptions/?api-version=2015-01-01");
  EXPECT_EQ(requests[0].header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(requests[1].target, "/subscriptions?api-version=2015-01-01&$skiptoken=abc");
}

TEST_F(ArmRequestsTest, SubscriptionAnswersThatCannotBeUsedFail) {
  // Each case is one answer of the endpoint.
  struct Case {
    int status;
    std::string body;
    std::string code;  // ARM code of the expected ArmError; "" for a missing-key failure
  };
  const std::vector<Case> cases = {
      {401,
       R"({"error":{"code":"ExpiredAuthenticationToken","message":"The access token expiry UTC time is earlier than current UTC time."}})",
       "ExpiredAuthenticationToken"},
      {403, R"({"error":{"code":"AuthorizationFailed","message":"denied"}})",
       "AuthorizationFailed"},
      {200, "<html>proxy login</html>", "InvalidResponseBody"},
      {200, "", "InvalidResponseBody"},
      {200, R"({"count":0})", ""},
  };
  std::size_t current = 0;
  server_.server().Get("/subscriptions/", [&](const httplib::Request&, httplib::Response& res) {
    res.status = cases[current].status;
    res.set_content(cases[current].body, "application/json");
  });
  server_.start();

  for (current = 0; current < cases.size(); ++current) {
    const Case& c = cases[current];
    SCOPED_TRACE(c.body);
    if (c.code.empty()) {
      try {
        requestSubscriptions(kToken, options(), transport());
        ADD_FAILURE() << "expected MissingKeyError";
      } catch (const MissingKeyError& error) {
        EXPECT_EQ(error.key(), "value");
      }
      continue;
    }
    try {
      requestSubscriptions(kToken, options(), transport());
      ADD_FAILURE() << "expected ArmError";
    } catch (const ArmError& error) {
      EXPECT_EQ(error.status(), c.status);
      EXPECT_EQ(error.code(), c.code);
      EXPECT_THAT(error.what(), ::testing::Not(HasSubstr(kToken)));
    }
  }
}

TEST_F(ArmRequestsTest, LearnedRoutesAnswers) {
  const std::string gatewayPath =
      "/subscriptions/s-1/resourceGroups/rg%28net%29.prod/providers/Microsoft.Network/"
      "virtualNetworkGateways/vpn-gw/getLearnedRoutes";
  struct Case {
    const char* label;
    int status;
    std::string body;
    std::optional<Json> result;  // for a success
    std::string code;            // for a failure
  };
  const std::vector<Case> cases = {
      {"accepted", 202, "", std::nullopt, ""},
      {"final answer", 200,
       R"({"value":[{"localAddress":"10.0.0.254","network":"10.1.0.0/16","nextHop":"","sourcePeer":"10.0.0.254","origin":"Network","asPath":"","weight":32768}]})",
       Json::parse(
           R"({"value":[{"localAddress":"10.0.0.254","network":"10.1.0.0/16","nextHop":"","sourcePeer":"10.0.0.254","origin":"Network","asPath":"","weight":32768}]})"),
       ""},
      {"expired token", 401,
       R"({"error":{"code":"InvalidAuthenticationToken","message":"The access token is invalid."}})",
       std::nullopt, "InvalidAuthenticationToken"},
      {"no gateway", 404,
       R"({"error":{"code":"ResourceNotFound","message":"The Resource 'Microsoft.Network/virtualNetworkGateways/vpn-gw' under resource group 'rg(net).prod' was not found."}})",
       std::nullopt, "ResourceNotFound"},
      {"not JSON", 200, "<html>gateway timeout page</html>", std::nullopt, "InvalidResponseBody"},
  };
  std::size_t current = 0;
  server_.server().Post(".*", [&](const httplib::Request&, httplib::Response& res) {
    res.status = cases[current].status;
    if (res.status == 202) {
      res.set_header("Location", server_.baseUrl() +
                                     "/subscriptions/s-1/providers/Microsoft.Network/"
                                     "locations/westus/operationResults/op-1");
      res.set_header("Retry-After", "10");
    }
    if (!cases[current].body.empty()) res.set_content(cases[current].body, "application/json");
  });
  server_.start();

  for (current = 0; current < cases.size(); ++current) {
    const Case& c = cases[current];
    SCOPED_TRACE(c.label);
    server_.clearRequests();
    if (c.code.empty()) {
      EXPECT_EQ(
          requestLearnedRoutes(kToken, "s-1", "rg(net).prod", "vpn-gw", options(), transport()),
          c.result);
    } else {
      try {
        requestLearnedRoutes(kToken, "s-1", "rg(net).prod", "vpn-gw", options(), transport());
        ADD_FAILURE() << "expected ArmError";
      } catch (const ArmError& error) {
        EXPECT_EQ(error.status(), c.status);
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(error.method(), "POST");
      }
    }
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u) << "the action is sent once, and not polled";
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, gatewayPath + "?api-version=2020-11-01");
    EXPECT_EQ(requests[0].header("Authorization"), std::string("Bearer ") + kToken);
    EXPECT_EQ(requests[0].header("Content-Length"), "0");
    EXPECT_TRUE(requests[0].body.empty());
  }
}

TEST_F(ArmRequestsTest, LearnedRoutesWithTheDriversCredentialMap) {
  server_.server().Post(".*",
                        [](const httplib::Request&, httplib::Response& res) { res.status = 202; });
  server_.start();
  kx::test::ScopedEndpoints endpoints(kx::test::loopbackEndpoints(server_.baseUrl()));

  EXPECT_FALSE(
      requestLearnedRoutes(Json{{"subscription_id", "s-9"}, {"accessToken", kToken}}, "rg", "gw")
          .has_value());
  ASSERT_EQ(server_.requestCount(), 1u);
  EXPECT_THAT(server_.requests()[0].target, HasSubstr("/subscriptions/s-9/resourceGroups/rg/"));

  EXPECT_THROW(requestLearnedRoutes(Json{{"subscription_id", "s-9"}}, "rg", "gw"), MissingKeyError);
  EXPECT_THROW(
      requestLearnedRoutes(Json{{"subscription_id", 5}, {"accessToken", kToken}}, "rg", "gw"),
      WrongTypeError);
  EXPECT_EQ(server_.requestCount(), 1u);
}

}  // namespace
}  // namespace collab::azure
