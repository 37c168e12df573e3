// Listing a subscription's route tables through the typed client, against the plain fetch of
// the same pages.  A loopback server holds 5,000 route tables of 25 routes each in pages of
// 100, real ARM JSON shape.  `BM_RouteTablesListAll` builds a NetworkManagementClient and
// calls `route_tables.list_all()` (fetch, page parsing, typed objects); `BM_PlainPageFetch`
// fetches the same pages through the same pipeline and transport and only finds each next link
// by a text search.  The difference is the cost of reading the pages into typed objects.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/arm_json.hpp"
#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"

namespace {

using namespace collab::azure;

constexpr int kTables = 5000;
constexpr int kPerPage = 100;
constexpr int kRoutes = 25;
constexpr int kPages = kTables / kPerPage;
const char* const kSubscription = "8f1c2b3a-4d5e-6f70-8192-a3b4c5d6e7f8";

class Fixture {
 public:
  static Fixture& instance() {
    static Fixture fixture;
    return fixture;
  }
  const std::string& base() const { return base_; }
  std::string firstPath() const {
    return std::string("/subscriptions/") + kSubscription +
           "/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  }

 private:
  Fixture() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    base_ = "http://127.0.0.1:" + std::to_string(port_);
    for (int p = 0; p < kPages; ++p) {
      collab::Json values = collab::Json::array();
      for (int t = 0; t < kPerPage; ++t) {
        values.push_back(kx::test::routeTableJson(kSubscription, "rg-" + std::to_string(t % 7),
                                                  "rt-" + std::to_string(p * kPerPage + t),
                                                  kRoutes));
      }
      std::optional<std::string> next;
      if (p + 1 < kPages) {
        next = base_ + "/page?api-version=2024-05-01&$skiptoken=" + std::to_string(p + 1);
      }
      pages_.push_back(kx::test::listPage(std::move(values), next).dump());
    }
    server_.Get(
        std::string("/subscriptions/") + kSubscription + "/providers/Microsoft.Network/routeTables",
        [this](const httplib::Request&, httplib::Response& res) {
          res.set_content(pages_[0], "application/json");
        });
    server_.Get("/page", [this](const httplib::Request& req, httplib::Response& res) {
      res.set_content(pages_.at(std::stoul(req.get_param_value("$skiptoken"))), "application/json");
    });
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Fixture() {
    server_.stop();
    thread_.join();
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::string base_;
  std::vector<std::string> pages_;
};

// Identity encoding: a compressing loopback server would measure its own encoder.
std::shared_ptr<Transport> transport() {
  CurlTransportOptions options;
  options.acceptCompressed = false;
  return std::make_shared<CurlTransport>(options);
}

ArmPipelineOptions pipelineOptions() {
  ArmPipelineOptions options;
  options.resourceManager = Fixture::instance().base();
  return options;
}

std::optional<std::string> nextLinkByText(const std::string& body) {
  static const std::string key = "\"nextLink\":\"";
  std::size_t at = body.rfind(key);
  if (at == std::string::npos) return std::nullopt;
  at += key.size();
  return body.substr(at, body.find('"', at) - at);
}

void tablesPerSecond(benchmark::State& state) {
  state.counters["tables"] = benchmark::Counter(static_cast<double>(state.iterations()) * kTables,
                                                benchmark::Counter::kIsRate);
}

void BM_RouteTablesListAll(benchmark::State& state) {
  Fixture::instance();
  auto credential = std::make_shared<StaticTokenCredential>("bench-token");
  auto shared = transport();
  for (auto _ : state) {
    // Built per call, as the discovery operations do.
    NetworkManagementClient client(credential, kSubscription, pipelineOptions(), shared);
    std::vector<RouteTable> tables = client.route_tables.list_all();
    if (tables.size() != static_cast<std::size_t>(kTables)) state.SkipWithError("lost tables");
    benchmark::DoNotOptimize(tables.data());
  }
  tablesPerSecond(state);
}
BENCHMARK(BM_RouteTablesListAll)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainPageFetch(benchmark::State& state) {
  Fixture& fixture = Fixture::instance();
  ArmPipeline arm(std::make_shared<StaticTokenCredential>("bench-token"), pipelineOptions(),
                  transport());
  for (auto _ : state) {
    std::size_t bytes = 0;
    arm.forEachPage(fixture.firstPath(), [&](std::string_view, HttpResponse&& page) {
      bytes += page.body.size();
      return nextLinkByText(page.body);
    });
    benchmark::DoNotOptimize(bytes);
  }
  tablesPerSecond(state);
}
BENCHMARK(BM_PlainPageFetch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
