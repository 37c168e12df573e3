#pragma once
// A served estate with the whole client layer pointed at it: endpoints, a curl transport, and
// credentials and tokens of the estate's own principals.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "fakearm/estate_server.hpp"
#include "netscout/net_scout.hpp"
#include "support/scoped_azure_settings.hpp"

namespace fakearm::test {

inline Json exampleEstate() {
  return loadEstateFile(std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json");
}

class FakeArmTest : public ::testing::Test {
 protected:
  void serve(Json estate, ServerOptions options = {},
             collab::azure::CurlTransportOptions curl = {}) {
    estate_ = std::move(estate);
    server_.emplace(estate_, std::move(options));
    endpoints_.emplace(kx::test::loopbackEndpoints(server_->baseUrl()));
    transport_.emplace(std::make_shared<collab::azure::CurlTransport>(std::move(curl)));
  }

  const Json& principal(int index) const { return estate_["tenants"][0]["principals"][index]; }
  std::string tenant() const { return estate_["tenants"][0]["tenantId"]; }
  std::string subscription(int index) const {
    return estate_["subscriptions"][index]["subscriptionId"];
  }
  collab::azure::AzureCredential credential(int principalIndex = 0, int subscriptionIndex = 0) {
    return collab::azure::AzureCredential::fromClientSecret(
        tenant(), principal(principalIndex)["appId"], principal(principalIndex)["secret"],
        subscription(subscriptionIndex));
  }
  std::string token(int principalIndex = 0) {
    auto token = netscout::NetScout::getAccessToken(tenant(), principal(principalIndex)["appId"],
                                                    principal(principalIndex)["secret"]);
    EXPECT_TRUE(token) << "no token for principal " << principalIndex;
    return token.value_or("");
  }
  /// One request through the default transport, without the pipeline's retries.
  collab::azure::HttpResponse raw(const std::string& method, const std::string& target,
                                  const std::string& bearer = {}, const std::string& body = {}) {
    collab::azure::HttpRequest request;
    request.method = method;
    request.url = target.rfind("http", 0) == 0 ? target : server_->baseUrl() + target;
    if (!bearer.empty()) request.headers.set("Authorization", "Bearer " + bearer);
    if (!body.empty()) request.headers.set("Content-Type", "application/json");
    request.body = body;
    return collab::azure::defaultTransport()->send(request);
  }
  /// The ARM error code of an answer, "" when it has none.
  static std::string errorCode(const collab::azure::HttpResponse& answer) {
    Json body = Json::parse(answer.body, nullptr, false);
    return body.is_object() && body.contains("error") && body["error"].is_object()
               ? body["error"].value("code", "")
               : "";
  }

  Json estate_;
  std::optional<EstateServer> server_;
  std::optional<kx::test::ScopedEndpoints> endpoints_;
  std::optional<kx::test::ScopedDefaultTransport> transport_;
};

}  // namespace fakearm::test
