// The run's request and retry counts, taken at the transport under the real pipeline and
// credential while the loopback Azure fails the first attempts.
#include "run/counting_transport.hpp"

#include <gtest/gtest.h>

#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

namespace az = collab::azure;

az::RetryOptions noWaiting() {
  az::RetryOptions retry;
  retry.sleeper = [](std::chrono::milliseconds) {};
  return retry;
}

fakearm::Fault unavailableOnce(const std::string& operation) {
  fakearm::Fault fault;
  fault.operation = operation;
  fault.status = 503;
  fault.code = "ServiceUnavailable";
  fault.retryAfterSeconds = 0;
  return fault;
}

TEST(CountingTransport, CountsRepeatsOfArmCallsAndTokenRequestsAsRetries) {
  const Json estate = fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json");
  fakearm::EstateServer server(estate);
  server.addFault(unavailableOnce("token"));
  server.addFault(unavailableOnce("resourceGroups.list"));

  std::size_t observed = 0;
  auto counter = std::make_shared<CountingTransport>(
      std::make_shared<az::CurlTransport>(), [] { return false; }, [&] { ++observed; });
  az::ClientSecretCredentialOptions options;
  options.transport = counter;
  options.endpoints = az::AzureEndpoints{server.baseUrl(), server.baseUrl() + "/",
                                         "https://management.core.windows.net/"};
  options.retry = noWaiting();
  const Json& principal = estate["tenants"][0]["principals"][0];
  auto credential = std::make_shared<az::ClientSecretCredential>(
      estate["tenants"][0]["tenantId"], principal["appId"], principal["secret"], options);
  az::ArmPipelineOptions arm;
  arm.retry = noWaiting();
  arm.resourceManager = server.baseUrl();
  az::ResourceManagementClient client(credential, kProd, arm, counter);

  EXPECT_EQ(client.resource_groups.list().size(), 3u);
  // token 503, token 200, resource groups 503, resource groups 200.
  EXPECT_EQ(counter->requests(), 4u);
  EXPECT_EQ(counter->retries(), 2u);
  EXPECT_EQ(observed, 4u);

  // A fresh token after a successful one is a new request, not a retry.
  credential->getToken(/*forceRefresh=*/true);
  EXPECT_EQ(counter->requests(), 5u);
  EXPECT_EQ(counter->retries(), 2u);
}

TEST(CountingTransport, SendsNothingOnceTheOperatorAskedToStop) {
  fakearm::EstateServer server(
      fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json"));
  CountingTransport counter(
      std::make_shared<az::CurlTransport>(), [] { return true; }, nullptr);
  az::HttpRequest request;
  request.method = "GET";
  request.url = server.baseUrl() + "/subscriptions?api-version=2015-01-01";
  try {
    counter.send(request);
    ADD_FAILURE() << "the request was sent";
  } catch (const az::TransportError& e) {
    EXPECT_FALSE(e.retryable()) << "the pipeline must not try again";
  }
  EXPECT_EQ(counter.requests(), 0u);
  EXPECT_TRUE(server.operationCounts().empty());
}

}  // namespace
}  // namespace kxdiscover::test
