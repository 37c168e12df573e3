// --snapshot at the transport: sessions built on one shared folder, talking to the loopback
// Azure through the typed clients, fetch each page once; what must never come from the snapshot
// (token requests, Resource Graph queries, failed answers, budget headers) does not.
#include "run/snapshot_transport.hpp"

#include "collab/azure/arm_error.hpp"
#include "collab/azure/azure_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "discover_fixture.hpp"
#include "run/session.hpp"

namespace kxdiscover::test {
namespace {

namespace az = collab::azure;

class SnapshotTest : public DiscoverTest {
 protected:
  void SetUp() override {
    DiscoverTest::SetUp();
    fakearm::ServerOptions options;
    options.pageSizes["routeTables.listAll"] = 2;   // several pages, each with its next link
    options.throttle = fakearm::ThrottleOptions{};  // answers carry the budgets' headers
    serve(options);
  }

  RunOptions sessionOptions() const {
    RunOptions options;
    options.armEndpoint = server_->baseUrl();
    options.loginEndpoint = server_->baseUrl() + "/";
    options.snapshot = true;
    options.sharedStateDir = path("shared").string();
    return options;
  }

  az::AzureCredential credential() const {
    return az::AzureCredential::fromClientSecret("72f988bf-0000-4000-8000-00000000c0de",
                                                 "a0b1c2d3-0000-4000-8000-0000000000a1",
                                                 kSecrets.at("KX_TEST_READER_SECRET"), kProd);
  }

  std::size_t count(const char* operation) const { return server_->operationCount(operation); }
};

std::vector<std::string> namesOf(const std::vector<az::RouteTable>& tables) {
  std::vector<std::string> names;
  for (const auto& table : tables) names.push_back(table.name.value_or(""));
  return names;
}

TEST_F(SnapshotTest, EachPageIsFetchedOnceByAnySessionOfTheRun) {
  std::size_t pages = 0;
  std::vector<std::string> first;
  {
    AzureSession session(sessionOptions(), nullptr);
    az::NetworkManagementClient network(credential().getCSC(), kProd);
    first = namesOf(network.route_tables.list_all());
    pages = count("routeTables.listAll");
    ASSERT_GT(pages, 1u);
    for (int again = 0; again < 2; ++again) {
      EXPECT_EQ(namesOf(network.route_tables.list_all()), first);
      EXPECT_EQ(count("routeTables.listAll"), pages);
    }
    EXPECT_EQ(session.snapshotAnswers(), 2 * pages);
    EXPECT_EQ(session.requests(), 1 + pages) << "the token request and each page once";
  }
  // Another process of the run, on the same folder: its token is its own, its pages are not.
  AzureSession other(sessionOptions(), nullptr);
  az::NetworkManagementClient network(credential().getCSC(), kProd);
  EXPECT_EQ(namesOf(network.route_tables.list_all()), first);
  EXPECT_EQ(count("routeTables.listAll"), pages);
  EXPECT_EQ(count("token"), 2u);
  EXPECT_EQ(other.snapshotAnswers(), pages);
}

TEST_F(SnapshotTest, NeverAnswersWhatMustAskAzure) {
  AzureSession session(sessionOptions(), nullptr);
  const auto cred = credential();
  const std::string groups =
      server_->baseUrl() + "/subscriptions/" + kProd + "/resourcegroups?api-version=2021-04-01";
  az::ArmPipelineOptions noRetries;
  noRetries.retry.policy.maxAttempts = 1;
  az::ArmPipeline pipeline(cred.getCSC(), noRetries);

  // A failed answer is not kept: the next call asks again, and keeps the success.
  fakearm::Fault fault;
  fault.operation = "resourceGroups.list";
  server_->addFault(fault);
  EXPECT_THROW(pipeline.get(groups), az::ArmError);
  const az::HttpResponse fetched = pipeline.get(groups);
  const az::HttpResponse recalled = pipeline.get(groups);
  EXPECT_EQ(count("resourceGroups.list"), 2u);
  EXPECT_EQ(recalled.body, fetched.body);
  // The budget Azure reported then says nothing about now.
  EXPECT_TRUE(fetched.headers.contains("x-ms-ratelimit-remaining-subscription-reads"));
  EXPECT_FALSE(recalled.headers.contains("x-ms-ratelimit-remaining-subscription-reads"));
  EXPECT_EQ(recalled.headers.get("x-ms-request-id"), fetched.headers.get("x-ms-request-id"));

  // Token requests, Resource Graph queries and tenant-level reads always go to Azure.
  const std::string query = R"({"query": "Resources | limit 1"})";
  const struct {
    std::function<void()> call;
    const char* operation;
  } always[] = {
      {[&] { cred.getCSC()->getToken(true); }, "token"},
      {[&] {
         pipeline.post("/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
                       query);
       },
       "resourceGraph"},
      {[&] { pipeline.get("/subscriptions?api-version=2022-12-01"); }, "subscriptions.list"},
  };
  for (const auto& c : always) {
    SCOPED_TRACE(c.operation);
    const std::size_t before = count(c.operation);
    c.call();
    c.call();
    EXPECT_EQ(count(c.operation), before + 2);
  }
}

TEST_F(SnapshotTest, AnAbandonedFetchLeavesNoPageAndNoLock) {
  auto pages = std::make_shared<PageStore>(path("shared"));
  auto curl = std::make_shared<az::CurlTransport>();
  SnapshotTransport snapshot(curl, pages, nullptr);
  az::HttpRequest request;
  request.method = "GET";
  request.url =
      server_->baseUrl() + "/subscriptions/" + kProd + "/resourcegroups?api-version=2021-04-01";
  request.headers.set("Authorization", "Bearer " + std::string("not-issued"));  // answered 401
  snapshot.start(request).reset();
  const std::string key = "GET " + request.url + "\n";
  EXPECT_TRUE(pages->lock(key, /*wait=*/false)) << "the page's lock was kept";
  EXPECT_FALSE(pages->load(key));
  EXPECT_EQ(snapshot.send(request).status, 401);
  EXPECT_FALSE(pages->load(key)) << "a failed answer was kept";
  EXPECT_EQ(snapshot.answered(), 0u);
}

}  // namespace
}  // namespace kxdiscover::test
