// Every wait of the client layer goes through the transport, whose owner (the run, on Ctrl-C)
// may cut it short: the wait before a retry of an ARM call or a token request that Azure asked
// for with Retry-After, and the wait before a paced read.  Against the loopback Azure; a slow
// answer cut short is the run's test (hostile_outputs_test).
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "fakearm/estate_generator.hpp"
#include "fakearm/estate_server.hpp"
#include "support/scoped_azure_settings.hpp"

namespace collab::azure {
namespace {

using std::chrono::milliseconds;

// A real transport whose waits are refused: each is noted, then ended as a stop request ends
// the run's waits.
class StoppingTransport final : public Transport {
 public:
  HttpResponse send(const HttpRequest& request) override { return curl_.send(request); }
  std::unique_ptr<PendingSend> start(const HttpRequest& request) override {
    return curl_.start(request);
  }
  void wait(milliseconds delay) override {
    waits.push_back(delay);
    throw TransportError("WAIT", "", "stopped", false);
  }
  std::vector<milliseconds> waits;

 private:
  CurlTransport curl_;
};

class StoppableWaits : public ::testing::Test {
 protected:
  void SetUp() override {
    fakearm::EstateParams params;
    params.vnets = 4;
    params.configuredVnets = 1;
    params.routeTables = 2;
    estate_ = fakearm::generateEstate(params).estate;
  }
  void serve(fakearm::ServerOptions options = {}) {
    server_.emplace(estate_, std::move(options));
    endpoints_.emplace(kx::test::loopbackEndpoints(server_->baseUrl()));
  }
  std::shared_ptr<TokenCredential> credential(std::shared_ptr<Transport> transport) {
    const auto& principal = estate_["tenants"][0]["principals"][0];
    return std::make_shared<ClientSecretCredential>(
        estate_["tenants"][0]["tenantId"], principal["appId"], principal["secret"],
        ClientSecretCredentialOptions{std::move(transport), {}, {}, std::chrono::minutes(5)});
  }
  std::string listing() const {
    return "/subscriptions/" + estate_["subscriptions"][0]["subscriptionId"].get<std::string>() +
           "/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  }

  fakearm::Json estate_;
  std::optional<fakearm::EstateServer> server_;
  std::optional<kx::test::ScopedEndpoints> endpoints_;
};

TEST_F(StoppableWaits, RetryWaitsGoThroughTheTransportWhichMayEndThem) {
  struct Case {
    const char* operation;
    int status;
  };
  for (const Case& c : {Case{"routeTables.listAll", 429}, Case{"token", 503}}) {
    SCOPED_TRACE(c.operation);
    serve();
    fakearm::Fault busy;
    busy.operation = c.operation;
    busy.status = c.status;
    busy.retryAfterSeconds = 90;
    busy.times = 0;
    server_->addFault(busy);
    auto transport = std::make_shared<StoppingTransport>();
    ArmPipeline pipeline(credential(transport), {}, transport);
    EXPECT_THROW(pipeline.get(listing()), TransportError);
    EXPECT_EQ(transport->waits, std::vector<milliseconds>{std::chrono::seconds(90)});
    // The wait ended the call: the request Azure asked to repeat later was not repeated.
    EXPECT_EQ(server_->operationCount(c.operation), 1u);
  }
}

TEST_F(StoppableWaits, APacedReadWaitsThroughTheTransport) {
  fakearm::ServerOptions options;
  options.throttle.emplace();
  options.throttle->reads = 6;  // the first answer reports 5 reads left, under the reserve
  serve(options);
  auto transport = std::make_shared<StoppingTransport>();
  ArmPipeline pipeline(credential(transport), {}, transport);
  pipeline.get(listing());
  EXPECT_TRUE(transport->waits.empty());
  EXPECT_THROW(pipeline.get(listing()), TransportError);
  ASSERT_EQ(transport->waits.size(), 1u);
  EXPECT_GT(transport->waits[0], milliseconds(0));
  EXPECT_EQ(server_->operationCount("routeTables.listAll"), 1u);
}

}  // namespace
}  // namespace collab::azure
