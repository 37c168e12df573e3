// Listings against the loopback Azure (fakearm's EstateServer): the next page travels while
// the current one is read, and reads are paced on the server's read budget.  Whatever the
// pages do (arrive late, out of step, break off, fail), a listing is complete, in Azure's
// order and free of duplicates, or fails cleanly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/azure_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "fakearm/estate_generator.hpp"
#include "fakearm/estate_server.hpp"
#include "support/fake_time.hpp"
#include "support/scoped_azure_settings.hpp"

namespace collab::azure {
namespace {

using fakearm::Fault;
using std::chrono::milliseconds;

constexpr const char* kListAll = "routeTables.listAll";

// A generated estate of one subscription served by an EstateServer, the client layer pointed
// at it with the retry layer on a fake clock.
class Listing {
 public:
  /// `serverClock`, when given, runs the server's throttling; `time`, when given, is the retry
  /// layer's fake clock and sleeper.
  Listing(int tables, int pageSize, fakearm::ServerOptions options = {},
          std::function<std::chrono::steady_clock::time_point()> serverClock = nullptr,
          std::shared_ptr<kx::test::FakeTime> time = nullptr)
      : time_(time ? std::move(time) : std::make_shared<kx::test::FakeTime>()) {
    if (serverClock) options.clock = std::move(serverClock);
    fakearm::EstateParams params;
    params.vnets = 4;
    params.configuredVnets = 1;
    params.routeTables = tables;
    params.routesPerTable = 3;
    generated_ = fakearm::generateEstate(params);
    const fakearm::Json& estate = generated_.estate;
    options.pageSizes[kListAll] = pageSize;
    server_.emplace(estate, std::move(options));
    endpoints_.emplace(kx::test::loopbackEndpoints(server_->baseUrl()));
    subscription_ = estate["subscriptions"][0]["subscriptionId"];
    for (const auto& table : estate["subscriptions"][0]["routeTables"]) {
      names_.push_back(table["name"]);
    }
    const fakearm::Json& principal = estate["tenants"][0]["principals"][0];
    credential_.emplace(AzureCredential::fromClientSecret(
        estate["tenants"][0]["tenantId"], principal["appId"], principal["secret"], subscription_,
        ClientSecretCredentialOptions{transport_, {}, {}, std::chrono::minutes(5)}));
  }

  fakearm::EstateServer& server() { return *server_; }
  std::string firstPage() const {
    return "/subscriptions/" + subscription_ +
           "/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  }
  const std::vector<std::string>& names() const { return names_; }
  std::size_t pages(int pageSize) const { return (names_.size() + pageSize - 1) / pageSize; }

  /// A client built for one call, as the discovery builds them.
  NetworkManagementClient client(ReadPacing pacing = {}, RetryPolicy policy = {}) {
    ArmPipelineOptions options;
    options.retry = time_->retryOptions(policy);
    options.pacing = pacing;
    return NetworkManagementClient(credential_->getCSC(), subscription_, options, transport_);
  }
  ArmPipeline pipeline() {
    ArmPipelineOptions options;
    options.retry = time_->retryOptions();
    return ArmPipeline(credential_->getCSC(), options, transport_);
  }

  /// Route-table listing requests the server saw, as path and query.
  std::vector<std::string> listRequests() const {
    std::vector<std::string> out;
    for (const auto& seen : server_->requestLog()) {
      if (seen.operation == kListAll) out.push_back(seen.target);
    }
    return out;
  }
  std::size_t throttled() const {
    std::size_t n = 0;
    for (const auto& seen : server_->requestLog()) n += seen.status == 429;
    return n;
  }

 private:
  fakearm::GeneratedEstate generated_;
  std::optional<fakearm::EstateServer> server_;
  std::optional<kx::test::ScopedEndpoints> endpoints_;
  std::shared_ptr<Transport> transport_ = std::make_shared<CurlTransport>();
  std::shared_ptr<kx::test::FakeTime> time_;
  std::string subscription_;
  std::vector<std::string> names_;
  std::optional<AzureCredential> credential_;
};

std::vector<std::string> namesOf(const std::vector<RouteTable>& tables) {
  std::vector<std::string> out;
  for (const auto& table : tables) out.push_back(table.name.value_or("None"));
  return out;
}

Fault fault(Fault::Action action, int nth, int times = 1) {
  Fault f;
  f.operation = kListAll;
  f.pathPattern = "skiptoken";  // the pages after the first, each fetched ahead of its turn
  f.action = action;
  f.nth = nth;
  f.times = times;
  return f;
}

Fault delayed(milliseconds by, int nth, int times = 1) {
  Fault f = fault(Fault::Action::Delay, nth, times);
  f.delay = by;
  return f;
}

Fault failed(int status, std::string code, int nth, int times = 1) {
  Fault f = fault(Fault::Action::Fail, nth, times);
  f.status = status;
  f.code = std::move(code);
  if (status == 429) f.retryAfterSeconds = 2;
  return f;
}

TEST(Listing, CompleteInOrderAndWithoutDuplicatesHoweverThePagesArrive) {
  constexpr int kTables = 45;
  constexpr int kPageSize = 4;  // 12 pages
  enum class Ends { Complete, ArmFailure, TransportFailure };
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    Ends ends;
    /// Requests beyond one per page (retries), or, for a failed listing, all of them.
    std::size_t requests;
  } cases[] = {
      {"every page ready before the one before it is read", {}, Ends::Complete, 0},
      {"every page late", {delayed(milliseconds(15), 1, 0)}, Ends::Complete, 0},
      {"the first page late", {[] {
         Fault f = delayed(milliseconds(150), 1);
         f.pathPattern = "routeTables\\?";
         return f;
       }()},
       Ends::Complete, 0},
      {"one page very late, the next ones early",
       {delayed(milliseconds(200), 5)}, Ends::Complete, 0},
      {"a page dropped unanswered", {fault(Fault::Action::Drop, 3)}, Ends::Complete, 1},
      {"a page broken off half-way", {fault(Fault::Action::Truncate, 6)}, Ends::Complete, 1},
      {"the last page broken off twice", {fault(Fault::Action::Truncate, 11, 2)}, Ends::Complete,
       2},
      {"a page throttled", {failed(429, "SubscriptionRequestsThrottled", 4)}, Ends::Complete, 1},
      {"a page unavailable twice", {failed(503, "ServiceUnavailable", 2, 2)}, Ends::Complete, 2},
      // Page 4 (the third after the first) fails on every attempt: 3 pages, then 5 attempts.
      {"a page broken off on every attempt", {fault(Fault::Action::Truncate, 3, 0)},
       Ends::TransportFailure, 3 + 5},
      {"a page refused", {failed(400, "BadRequest", 3)}, Ends::ArmFailure, 3 + 1},
  };
  Listing listing(kTables, kPageSize);
  const std::size_t pages = listing.pages(kPageSize);
  ASSERT_EQ(pages, 12u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    listing.server().clearFaults();
    listing.server().clearRequestLog();
    for (const Fault& f : c.faults) listing.server().addFault(f);
    std::optional<std::vector<RouteTable>> tables;
    Ends ended = Ends::Complete;
    try {
      tables = listing.client(ReadPacing{}, RetryPolicy{.maxAttempts = 5}).route_tables.list_all();
    } catch (const ArmError& error) {
      ended = Ends::ArmFailure;
      EXPECT_EQ(error.code(), "BadRequest");
    } catch (const TransportError& error) {
      ended = Ends::TransportFailure;
      EXPECT_TRUE(error.retryable()) << error.what();
    }
    ASSERT_EQ(ended, c.ends);
    const std::vector<std::string> requests = listing.listRequests();
    if (c.ends != Ends::Complete) {
      // Nothing is asked for past the page that failed.
      EXPECT_EQ(requests.size(), c.requests);
      continue;
    }
    EXPECT_EQ(namesOf(*tables), listing.names());
    EXPECT_EQ(requests.size(), pages + c.requests);
    EXPECT_EQ(std::set<std::string>(requests.begin(), requests.end()).size(), pages)
        << "every page asked for, and only those";
  }
}

// The overlap itself: while the caller reads a page, the request for the next one has already
// reached the server; the last page starts nothing.
TEST(Listing, TheNextPageIsOnItsWayWhileThePageBeforeIsRead) {
  Listing listing(20, 5);  // 4 pages
  ArmPipeline arm = listing.pipeline();
  std::vector<bool> nextSent;
  arm.forEachPage(listing.firstPage(), [&](std::string_view, HttpResponse&& answer) {
    const std::size_t read = nextSent.size() + 1;
    std::optional<std::string> next = ArmPipeline::nextLinkOf(Json::parse(answer.body));
    if (next) {
      // Nothing in this thread moves the transfer on while it waits here.
      bool sent = false;
      for (int i = 0; i < 3000 && !sent; ++i) {
        sent = listing.listRequests().size() > read;
        if (!sent) std::this_thread::sleep_for(milliseconds(1));
      }
      nextSent.push_back(sent);
    }
    return next;
  });
  EXPECT_THAT(nextSent, ::testing::ElementsAre(true, true, true));
  EXPECT_EQ(listing.listRequests().size(), 4u);
}

// A caller that names another next link than the page's own gets that one; the transfer
// started for the page's own link is abandoned, and nothing is read twice.
TEST(Listing, ACallerChoosingAnotherNextLinkIsFollowed) {
  Listing listing(20, 5);  // 4 pages
  ArmPipeline arm = listing.pipeline();
  // Page 2's link, learnt from a first listing.
  std::vector<std::string> links;
  arm.forEachPage(listing.firstPage(), [&](std::string_view, HttpResponse&& answer) {
    auto next = ArmPipeline::nextLinkOf(Json::parse(answer.body));
    if (next) links.push_back(*next);
    return next;
  });
  ASSERT_EQ(links.size(), 3u);
  std::vector<std::string> bodies;
  arm.forEachPage(listing.firstPage(), [&](std::string_view, HttpResponse&& answer) {
    bodies.push_back(answer.body);
    // From the first page straight to the third, then as the pages say.
    if (bodies.size() == 1) return std::optional<std::string>(links[1]);
    return ArmPipeline::nextLinkOf(Json::parse(answer.body));
  });
  ASSERT_EQ(bodies.size(), 3u);
  std::vector<std::string> names;
  for (const auto& body : bodies) {
    const Json page = Json::parse(body);
    for (const auto& table : page["value"]) names.push_back(table["name"]);
  }
  std::vector<std::string> expected = listing.names();
  expected.erase(expected.begin() + 5, expected.begin() + 10);
  EXPECT_EQ(names, expected);
}

// A run needing several times the read budget (250 reads, refilled 25 a second) keeps to the
// refill rate instead of bouncing off 429s.  Server and retry layer share one fake clock that
// only the pipeline's sleeps move, so the test never sleeps.
TEST(Listing, ReadsArePacedOnTheRemainingReadBudget) {
  constexpr int kTables = 50;
  constexpr int kListings = 12;  // 600 reads, one page of one table each
  constexpr double kRefill = 25;
  struct Case {
    const char* name;
    int reserve;
    bool throttled;
  } cases[] = {{"paced", 20, false}, {"not paced", 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto fakeNow = std::make_shared<kx::test::FakeTime>();
    const auto origin = fakeNow->now();
    fakearm::ServerOptions options;
    options.throttle = fakearm::ThrottleOptions{};
    options.throttle->reads = 250;
    options.throttle->readRefillPerSecond = kRefill;
    Listing listing(kTables, 1, options, [fakeNow, origin] {
      return std::chrono::steady_clock::time_point{} + (fakeNow->now() - origin);
    }, fakeNow);
    for (int run = 0; run < kListings; ++run) {
      auto client = listing.client(ReadPacing{c.reserve, kRefill});
      ASSERT_EQ(namesOf(client.route_tables.list_all()), listing.names()) << "listing " << run;
    }
    const std::size_t reads = listing.listRequests().size();
    EXPECT_EQ(listing.throttled() > 0, c.throttled);
    EXPECT_EQ(reads - listing.throttled(), std::size_t{kTables} * kListings);
    if (!c.throttled) {
      const double seconds = std::chrono::duration<double>(fakeNow->now() - origin).count();
      EXPECT_LE(seconds, 1.1 * static_cast<double>(reads) / kRefill);
    }
  }
}

}  // namespace
}  // namespace collab::azure
